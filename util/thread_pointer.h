// A pointer of its own for each thread, kept in a slot of the system's thread-local storage (the
// toolchain's emulated thread_local does not link into the DLL). Reading and writing it keeps the
// thread's last-error value, so it can be used between a failing call and the report of its error.
//
// Declared at namespace scope, it is initialised as a constant, takes its slot at its first use and gives
// it back when the library unloads: a host that loads and unloads the plug-in again and again keeps all
// its slots. (A function-local static would be built behind the C++ runtime's guard, whose first use
// gives the calling thread state in the statically linked thread library, a slot and two handles that
// no unload gives back.)
#pragma once

#include <windows.h>

#include <atomic>

namespace zyhok {

template <typename T>
class ThreadPointer {
 public:
  constexpr ThreadPointer() = default;
  ~ThreadPointer() {
    if (slot_ != TLS_OUT_OF_INDEXES) TlsFree(slot_);
  }
  ThreadPointer(const ThreadPointer&) = delete;
  ThreadPointer& operator=(const ThreadPointer&) = delete;

  T* get() const {
    const DWORD error = GetLastError();
    T* const value = static_cast<T*>(TlsGetValue(Slot()));
    SetLastError(error);
    return value;
  }
  void set(T* value) const {
    const DWORD error = GetLastError();
    TlsSetValue(Slot(), value);
    SetLastError(error);
  }

 private:
  // The slot, taken at the first use; of two threads that race for it, the loser gives its own back.
  DWORD Slot() const {
    DWORD slot = slot_;
    if (slot != TLS_OUT_OF_INDEXES) return slot;
    const DWORD taken = TlsAlloc();
    if (slot_.compare_exchange_strong(slot, taken)) return taken;
    TlsFree(taken);
    return slot;
  }
  mutable std::atomic<DWORD> slot_{TLS_OUT_OF_INDEXES};
};

}  // namespace zyhok
