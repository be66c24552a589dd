// Registration of the "Ostrivel" event-log source, done by installation and undone by removal.
#include "infra/windows/event_source_windows.h"

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"

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
  // Stored with its terminating zero, as REG_EXPAND_SZ readers expect.
  RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                 reinterpret_cast<const BYTE*>(executablePath.c_str()),
                 static_cast<DWORD>(executablePath.size() + 1));
  const DWORD types = 7;  // error, warning, information
  RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
  return true;
}

bool unregisterEventSource() { return RegDeleteKeyA(HKEY_LOCAL_MACHINE, sourceKeyPath().c_str()) == ERROR_SUCCESS; }

}  // namespace ostrivel
