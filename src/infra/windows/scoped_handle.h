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

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr; }
  static void close(Handle h) { CloseServiceHandle(h); }
};
using ServiceHandle = ScopedHandle<ServiceHandleTraits>;

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr; }
  static void close(Handle h) { RegCloseKey(h); }
};
using RegistryKey = ScopedHandle<RegistryKeyTraits>;

struct EventSourceTraits {
  using Handle = HANDLE;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr; }
  static void close(Handle h) { DeregisterEventSource(h); }
};
using EventSourceHandle = ScopedHandle<EventSourceTraits>;

// Memory the API hands out with LocalAlloc (security descriptors, SDDL texts).
struct LocalMemoryTraits {
  using Handle = void*;
  static Handle invalid() { return nullptr; }
  static bool isValid(Handle h) { return h != nullptr; }
  static void close(Handle h) { LocalFree(h); }
};
using LocalMemory = ScopedHandle<LocalMemoryTraits>;

}  // namespace ostrivel
