// Host facts the entry point reads once at start: computer name, own path, OS version, ProgramData.
#include "measurement/windows/system_facts_windows.h"

#include "infra/windows/text_windows.h"
#include "infra/windows/windows_api.h"

namespace ostrivel {

std::string computerName() {
  char buffer[16] = {};
  DWORD size = sizeof buffer;
  if (!GetComputerNameA(buffer, &size)) {
    return "PC";
  }
  return std::string(buffer, size);
}

std::string executablePath() {
  // The ANSI call replaces what the code page cannot hold and cuts at the buffer silently: the
  // path would name a file that does not exist. A full buffer may be a cut one: grow and ask again.
  std::wstring buffer(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
      return {};
    }
    if (length < buffer.size()) {
      buffer.resize(length);
      return wideToUtf8(buffer);
    }
    buffer.resize(buffer.size() * 2);
  }
  return {};
}

std::string osVersionText() {
  // RtlGetVersion tells the truth where GetVersionEx answers what the manifest claims.
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (ntdll == nullptr) {
    return "Windows";
  }
  auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
  if (rtlGetVersion == nullptr) {
    return "Windows";
  }
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (rtlGetVersion(&info) != 0) {
    return "Windows";
  }
  return "Windows " + std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}

std::string programDataDir() {
  char buffer[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("ProgramData", buffer, sizeof buffer);
  if (length >= 1 && length < sizeof buffer) {
    return std::string(buffer, length);
  }
  return "C:\\ProgramData";
}

}  // namespace ostrivel
