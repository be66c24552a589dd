// Finds a key's executable among the running processes, with its size and version strings.
#include "measurement/windows/apps_registry_windows.h"

#include <cwchar>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "infra/windows/windows_api.h"
#include "measurement/app_key.h"

#include <tlhelp32.h>

namespace ostrivel {

namespace {

constexpr DWORD kImageNameRoom = 1024;

// One snapshot for all keys: a lookup costs one walk of the processes however many keys are new.
// Paths found before a failure are kept.
void findRunning(const std::set<std::string>& keys, std::map<std::string, std::wstring>& paths) {
  KernelHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    return;
  }
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot.get(), &entry); more && paths.size() < keys.size();
       more = Process32Next(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == 0) {
      continue;
    }
    std::string key = appKey(entry.szExeFile);
    if (keys.count(key) == 0 || paths.count(key) > 0) {
      continue;
    }
    KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
    if (!process) {
      continue;
    }
    std::wstring path(kImageNameRoom, L'\0');
    DWORD length = kImageNameRoom;
    if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &length) && length > 0) {
      path.resize(length);
      paths.emplace(std::move(key), std::move(path));
    }
  }
}

std::uint64_t fileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    return 0;
  }
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

std::string versionString(const void* block, const std::wstring& query) {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(block, query.c_str(), &value, &length) || value == nullptr || length == 0) {
    return {};
  }
  // The length counts characters; a resource without its terminator must not be read past.
  const auto* text = static_cast<const wchar_t*>(value);
  return wideToUtf8(std::wstring_view(text, wcsnlen(text, length)));
}

void readVersionStrings(const std::wstring& path, AppInfo& info) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) {
    return;
  }
  // Eight-byte words keep the block aligned for the structures VerQueryValue walks.
  std::vector<std::uint64_t> block((size + 7) / 8, 0);
  if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
    return;
  }

  // The strings sit under the first language and code page the translation table names; US
  // English Unicode is only the guess for files without a table.
  std::wstring prefix = L"\\StringFileInfo\\040904b0\\";
  void* table = nullptr;
  UINT tableBytes = 0;
  if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &table, &tableBytes) && table != nullptr &&
      tableBytes >= 4) {
    const auto* words = static_cast<const WORD*>(table);
    wchar_t built[40];
    swprintf(built, 40, L"\\StringFileInfo\\%04x%04x\\", words[0], words[1]);
    prefix = built;
  }
  info.version = versionString(block.data(), prefix + L"ProductVersion");
  info.company = versionString(block.data(), prefix + L"CompanyName");
  info.description = versionString(block.data(), prefix + L"FileDescription");
  info.product = versionString(block.data(), prefix + L"ProductName");
  info.originalName = versionString(block.data(), prefix + L"OriginalFilename");
}

}  // namespace

AppsRegistryWindows::AppsRegistryWindows(const Clock& clock) : AppsRegistry(clock) {}

std::map<std::string, AppInfo> AppsRegistryWindows::lookup(const std::vector<std::string>& keys) {
  std::map<std::string, AppInfo> found;
  std::map<std::string, std::wstring> paths;
  try {
    findRunning(std::set<std::string>(keys.begin(), keys.end()), paths);
  } catch (...) {
    // Whatever was found before an allocation failed is still described.
  }
  for (const auto& [key, path] : paths) {
    AppInfo& info = found[key];
    try {
      info.path = wideToUtf8(path);
      info.size = fileSize(path);
      readVersionStrings(path, info);
    } catch (...) {
      // Whatever was gathered before an allocation failed still describes the application.
    }
  }
  return found;
}

}  // namespace ostrivel
