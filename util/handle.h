// One owning wrapper for every kind of Windows handle the library obtains.
//
// UniqueHandle<Traits> is move-only and closes its handle when destroyed or reset. Closing never
// disturbs the thread's last-error value, so an operation can capture an error, let its handles go out
// of scope, and still hand the error to its caller through GetLastError().
#pragma once

#include <windows.h>

#include <utility>

namespace zyhok {

template <typename Traits>
class UniqueHandle {
 public:
  using pointer = typename Traits::pointer;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(pointer handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueHandle() { reset(); }

  pointer get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != Traits::Invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  pointer release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  // Closes the current handle (keeping the last-error value) and takes ownership of `handle`.
  void reset(pointer handle = Traits::Invalid()) noexcept {
    pointer old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) {
      const DWORD saved = ::GetLastError();
      Traits::Close(old);
      ::SetLastError(saved);
    }
  }

  // Closes the current handle and returns the address of the member, for out-parameters.
  pointer* put() noexcept {
    reset();
    return &handle_;
  }

 private:
  pointer handle_;
};

namespace handle_traits {
struct ScHandle {
  using pointer = SC_HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::CloseServiceHandle(h); }
};
struct HKey {
  using pointer = HKEY;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::RegCloseKey(h); }
};
// Kernel object handles whose "no handle" value is INVALID_HANDLE_VALUE (CreateFileW and friends).
struct File {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(pointer h) noexcept { ::CloseHandle(h); }
};
// Kernel object handles whose "no handle" value is NULL (CreateMutexW, OpenProcess, ...).
struct Kernel {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::CloseHandle(h); }
};
// Search handles of FindFirstFileW.
struct Find {
  using pointer = HANDLE;
  static pointer Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static void Close(pointer h) noexcept { ::FindClose(h); }
};
struct Local {
  using pointer = HLOCAL;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::LocalFree(h); }
};
struct Sid {
  using pointer = PSID;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::FreeSid(h); }
};
struct Module {
  using pointer = HMODULE;
  static pointer Invalid() noexcept { return nullptr; }
  static void Close(pointer h) noexcept { ::FreeLibrary(h); }
};
}  // namespace handle_traits

using UniqueScHandle = UniqueHandle<handle_traits::ScHandle>;
using UniqueHKey = UniqueHandle<handle_traits::HKey>;
using UniqueFileHandle = UniqueHandle<handle_traits::File>;
using UniqueKernelHandle = UniqueHandle<handle_traits::Kernel>;
using UniqueFind = UniqueHandle<handle_traits::Find>;
using UniqueLocal = UniqueHandle<handle_traits::Local>;
using UniqueSid = UniqueHandle<handle_traits::Sid>;
using UniqueModule = UniqueHandle<handle_traits::Module>;

}  // namespace zyhok
