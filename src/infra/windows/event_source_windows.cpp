// Registration of the "Ostrivel" event-log source, done by installation and undone by removal.
#include "infra/windows/event_source_windows.h"

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"

namespace ostrivel {

namespace {

std::string sourceKeyPath() {
  return "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + std::string(kProductName);
}

}  // namespace

bool registerEventSource(const std::string& executablePath) {
  HKEY raw = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, sourceKeyPath().c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegistryKey key(raw);
  // Stored with its terminating zero, as REG_EXPAND_SZ readers expect; wide, so that every
  // character of the UTF-8 path survives.
  const std::wstring path = utf8ToWide(executablePath);
  RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                 static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  const DWORD types = 7;  // error, warning, information
  RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  return true;
}

bool unregisterEventSource() { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, sourceKeyPath().c_str()) == ERROR_SUCCESS; }

}  // namespace ostrivel
