// The registry store over the Windows registry: three scopes mapped onto three keys.
#include "infra/windows/registry_windows.h"

#include <cstring>

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/windows_api.h"

#include <sddl.h>

namespace ostrivel {

namespace {

constexpr DWORD kReadBufferSize = 2048;

HKEY hiveOf(const std::string& scope) { return scope == kScopeUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

std::string keyPathOf(const std::string& scope) {
  if (scope == kScopeUser) {
    return std::string(kUserKeyPath);
  }
  return std::string(kServiceKeyPath) + (scope == kScopeSecure ? "\\Secure" : "\\Parameters");
}

RegistryKey openForWrite(const std::string& scope) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(hiveOf(scope), keyPathOf(scope).c_str(), 0, KEY_SET_VALUE, &raw) != ERROR_SUCCESS) {
    return RegistryKey();
  }
  return RegistryKey(raw);
}

}  // namespace

bool RegistryWindows::ensureKey(const std::string& scope) {
  LocalMemory descriptor;
  SECURITY_ATTRIBUTES attributes{};
  SECURITY_ATTRIBUTES* security = nullptr;
  if (scope == kScopeSecure) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(kSecureKeySddl, SDDL_REVISION_1, &raw, nullptr)) {
      return false;
    }
    descriptor.reset(raw);
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = raw;
    attributes.bInheritHandle = FALSE;
    security = &attributes;
  }
  // The descriptor applies only when the key is created; an existing key keeps its own.
  HKEY raw = nullptr;
  if (RegCreateKeyExA(hiveOf(scope), keyPathOf(scope).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                      security, &raw, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegistryKey key(raw);
  return true;
}

std::optional<std::string> RegistryWindows::readString(const std::string& scope, const std::string& name) {
  char buffer[kReadBufferSize] = {};
  DWORD size = kReadBufferSize;
  // REG_SZ only: a DWORD under the same name, or a value too long for the buffer, is absent.
  if (RegGetValueA(hiveOf(scope), keyPathOf(scope).c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::string(buffer, strnlen(buffer, kReadBufferSize));
}

bool RegistryWindows::writeString(const std::string& scope, const std::string& name, const std::string& value) {
  const RegistryKey key = openForWrite(scope);
  if (!key) {
    return false;
  }
  // The terminating NUL is stored with the text, as REG_SZ readers expect.
  return RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool RegistryWindows::deleteValue(const std::string& scope, const std::string& name) {
  const RegistryKey key = openForWrite(scope);
  if (!key) {
    return false;
  }
  return RegDeleteValueA(key.get(), name.c_str()) == ERROR_SUCCESS;
}

}  // namespace ostrivel
