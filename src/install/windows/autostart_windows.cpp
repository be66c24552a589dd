// The machine-wide Run value that starts the logon check for every user.
#include "install/windows/autostart_windows.h"

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "install/service_texts.h"

namespace ostrivel {

namespace {

constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

RegistryKey openRunKey() {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, &raw) != ERROR_SUCCESS) {
    return RegistryKey();
  }
  return RegistryKey(raw);
}

}  // namespace

bool setAutostart(const std::string& executablePath) {
  RegistryKey key = openRunKey();
  if (!key) {
    return false;
  }
  // The path is UTF-8: the wide call keeps every character of it.
  const std::wstring command = utf8ToWide(autostartCommandLine(executablePath));
  const std::wstring name = utf8ToWide(kProductName);
  return RegSetValueExW(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                        static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool removeAutostart() {
  RegistryKey key = openRunKey();
  if (!key) {
    return false;
  }
  const std::string name(kProductName);
  const LSTATUS result = RegDeleteValueA(key.get(), name.c_str());
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}

}  // namespace ostrivel
