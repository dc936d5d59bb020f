// A pointer of its own for each thread, kept in a slot of the system's thread-local storage (the
// toolchain's emulated thread_local does not link into the DLL). Reading and writing it keeps the
// thread's last-error value, so it can be used between a failing call and the report of its error.
#pragma once

#include <windows.h>

namespace zyhok {

template <typename T>
class ThreadPointer {
 public:
  ThreadPointer() : slot_(TlsAlloc()) {}
  ThreadPointer(const ThreadPointer&) = delete;
  ThreadPointer& operator=(const ThreadPointer&) = delete;

  T* get() const {
    const DWORD error = GetLastError();
    T* const value = static_cast<T*>(TlsGetValue(slot_));
    SetLastError(error);
    return value;
  }
  void set(T* value) const {
    const DWORD error = GetLastError();
    TlsSetValue(slot_, value);
    SetLastError(error);
  }

 private:
  DWORD slot_;
};

}  // namespace zyhok
