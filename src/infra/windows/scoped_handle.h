// One owner type for every kind of Windows handle, so no failure path can leak or double-close.
#pragma once

#include <utility>

#include "infra/windows/windows_api.h"

namespace ostrivel {

// Traits: `using Handle = ...;`, `static Handle invalid()`, `static bool isValid(Handle)`,
// `static void close(Handle)`.
template <typename Traits>
class ScopedHandle {
 public:
  using Handle = typename Traits::Handle;

  ScopedHandle() : handle(Traits::invalid()) {}
  explicit ScopedHandle(Handle owned) : handle(owned) {}
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : handle(other.release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ~ScopedHandle() { reset(); }

  Handle get() const { return handle; }
  explicit operator bool() const { return Traits::isValid(handle); }

  Handle release() { return std::exchange(handle, Traits::invalid()); }
  void reset(Handle owned = Traits::invalid()) {
    if (Traits::isValid(handle)) {
      Traits::close(handle);
    }
    handle = owned;
  }

 private:
  Handle handle;
};

// Kernel objects: processes, files, events. Both null and INVALID_HANDLE_VALUE mean "none",
// since the API returns one or the other depending on the call.
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { CloseHandle(h); }
};
using KernelHandle = ScopedHandle<KernelHandleTraits>;

// The common case: null means "none", and one function releases the handle.
template <typename H, auto Close>
struct NullHandleTraits {
  using Handle = H;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr; }
  static void close(Handle h) { Close(h); }
};

using ServiceHandle = ScopedHandle<NullHandleTraits<SC_HANDLE, CloseServiceHandle>>;
using RegistryKey = ScopedHandle<NullHandleTraits<HKEY, RegCloseKey>>;
using EventSourceHandle = ScopedHandle<NullHandleTraits<HANDLE, DeregisterEventSource>>;
// Memory the API hands out with LocalAlloc (security descriptors, SDDL texts).
using LocalMemory = ScopedHandle<NullHandleTraits<void*, LocalFree>>;

}  // namespace ostrivel
