// The file system seam over the Windows API: atomic writes, change watching, moves that replace.
#include "infra/windows/file_system_windows.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "infra/folder_security.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"

namespace ostrivel {

namespace fs = std::filesystem;

namespace {

// Narrow paths are in the active code page, as the rest of the agent's ANSI calls expect.
std::wstring widePath(const std::string& path) { return toWide(path, CP_ACP); }

struct ChangeNotificationTraits {
  using Handle = HANDLE;
  static Handle invalid() { return INVALID_HANDLE_VALUE; }
  static bool isValid(Handle h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void close(Handle h) { FindCloseChangeNotification(h); }
};
using ChangeNotification = ScopedHandle<ChangeNotificationTraits>;

constexpr DWORD kMoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;
// The rename of an atomic write returns only once it is on disk. The credential needs this: its
// claim is released right after it is saved, and after a power cut one of the two must remain.
// Records are few and small, so they get the same rather than a second kind of write; history
// moves do not.
constexpr DWORD kReplaceFlags = kMoveFlags | MOVEFILE_WRITE_THROUGH;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Folders too, and a reparse point as itself rather than what it names.
constexpr DWORD kHeldFlags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// An open folder, or file, that is no reparse point of any kind.
bool isEntry(HANDLE handle, bool folder) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
         ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folder;
}

// Where the system finds an open entry, every link on the way resolved ("\\?\C:\..."); empty
// when it cannot say.
std::wstring finalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    if (length == 0) {
      return {};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the size asked for, terminator included
  }
  return {};
}

// What a folder's listing says of one entry, without following it.
struct EntryAt {
  bool exists = false;
  bool folder = false;
  bool link = false;
};

EntryAt entryAt(const std::wstring& path) {
  // An entry that is no reparse point is no link: its attributes say so without opening the
  // folder that holds it (under Wine that listing costs four server round trips, the attributes
  // none). A reparse point needs the listing for its tag; a failure gets the listing's answer.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return {true, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, false};
  }
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return {};
  }
  FindClose(search);
  const bool reparse = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return {true, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
          reparse && reparseTagIsLink(found.dwReserved0)};
}

bool isRealFolder(const std::wstring& path) {
  const EntryAt entry = entryAt(path);
  return entry.exists && entry.folder && !entry.link;
}

std::wstring withBackslashes(std::wstring path) {
  std::replace(path.begin(), path.end(), L'/', L'\\');
  while (path.size() > 1 && path.back() == L'\\') {
    path.pop_back();
  }
  return path;
}

// "." and ".." lead somewhere else than the folders looked at on the way: such a path is refused
// as one that goes through a link would be.
bool stepsAside(const std::vector<std::wstring>& parts) {
  return std::any_of(parts.begin(), parts.end(),
                     [](const std::wstring& part) { return part == L"." || part == L".."; });
}

std::vector<std::wstring> components(const std::wstring& relative) {
  std::vector<std::wstring> parts;
  std::wstring part;
  for (const wchar_t c : relative) {
    if (c == L'\\') {
      if (!part.empty()) {
        parts.push_back(part);
      }
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) {
    parts.push_back(part);
  }
  return parts;
}

// FILETIME counts 100 ns steps since 1601-01-01 UTC.
std::int64_t unixMs(const FILETIME& time) {
  constexpr std::int64_t kEpochDifferenceMs = 11'644'473'600'000;
  const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10'000) - kEpochDifferenceMs;
}

bool writeWholeFile(HANDLE file, const std::string& content) {
  std::size_t written = 0;
  while (written < content.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(content.size() - written, 1u << 30));
    DWORD done = 0;
    if (!WriteFile(file, content.data() + written, chunk, &done, nullptr) || done == 0) {
      return false;
    }
    written += done;
  }
  return true;
}

ChangeNotification openChangeNotification(const std::string& directory) {
  return ChangeNotification(
      FindFirstChangeNotificationA(directory.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE));
}

// A replacing rename fails while another handle is open on the target (the uploader reading a
// partial record of the same name, a virus scanner): such holds last milliseconds, and giving
// up at once would lose the record. Other failures are final.
bool replaceWithRetry(const std::wstring& from, const std::wstring& to) {
  constexpr int kAttempts = 20;
  constexpr DWORD kPauseMs = 50;
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(from.c_str(), to.c_str(), kReplaceFlags)) {
      return true;
    }
    const DWORD error = GetLastError();
    if (attempt == kAttempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)) {
      return false;
    }
    Sleep(kPauseMs);
  }
}

void watchLoop(std::stop_token stop, const std::string& directory, ChangeNotification change,
               const std::function<void()>& callback) {
  // The stop request sets an event, so every wait below ends at once instead of polling.
  KernelHandle stopEvent(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!stopEvent) {
    return;
  }
  std::stop_callback wakeOnStop(stop, [&] { SetEvent(stopEvent.get()); });

  for (; !stop.stop_requested(); change = openChangeNotification(directory)) {
    if (!change) {
      // The folder may not exist yet, or be briefly locked: try again in a second.
      WaitForSingleObject(stopEvent.get(), 1000);
      continue;
    }
    const HANDLE handles[] = {stopEvent.get(), change.get()};
    for (;;) {
      const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
      if (woke != WAIT_OBJECT_0 + 1) {
        break;  // stopped, or the wait failed: a fresh handle replaces this one
      }
      try {
        callback();
      } catch (...) {
        // The callback's failure must not end the watch; the next change calls it again.
      }
      if (!FindNextChangeNotification(change.get())) {
        break;
      }
    }
  }
}

}  // namespace

FileSystemWindows::FileSystemWindows(std::string confinedRoot)
    : root(confinedRoot.empty() ? std::wstring() : withBackslashes(widePath(confinedRoot))) {}

FileSystemWindows::~FileSystemWindows() { unwatch(); }

std::optional<std::vector<std::wstring>> FileSystemWindows::belowRoot(const std::wstring& path) const {
  if (root.empty()) {
    return std::nullopt;
  }
  const std::wstring normal = withBackslashes(path);
  // Folder names compare without regard to case, as the file system does.
  if (normal.size() < root.size() || _wcsnicmp(normal.c_str(), root.c_str(), root.size()) != 0 ||
      (normal.size() > root.size() && normal[root.size()] != L'\\')) {
    return std::nullopt;
  }
  return components(normal.substr(root.size()));
}

bool FileSystemWindows::standsAt(HANDLE handle, const std::wstring& path) const {
  const auto parts = belowRoot(path);
  if (!parts) {
    return true;  // outside the data folder only the last name is the agent's business
  }
  const KernelHandle rootHandle(
      CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, kHeldFlags, nullptr));
  if (!rootHandle || !isEntry(rootHandle.get(), true)) {
    return false;
  }
  std::wstring expected = finalPathOf(rootHandle.get());
  for (const auto& part : *parts) {
    expected += L"\\" + part;
  }
  const std::wstring found = finalPathOf(handle);
  return !found.empty() && expected.size() == found.size() && _wcsicmp(expected.c_str(), found.c_str()) == 0;
}

bool FileSystemWindows::refused(const std::wstring& path) const {
  const std::wstring normal = withBackslashes(path);
  std::lock_guard lock(refusedMutex);
  return std::any_of(refusedFolders.begin(), refusedFolders.end(), [&](const std::wstring& folder) {
    return normal.size() >= folder.size() && _wcsnicmp(normal.c_str(), folder.c_str(), folder.size()) == 0 &&
           (normal.size() == folder.size() || normal[folder.size()] == L'\\');
  });
}

void FileSystemWindows::refuse(const std::vector<std::string>& unsecuredFolders) {
  std::vector<std::wstring> folders;
  for (const auto& folder : unsecuredFolders) {
    folders.push_back(withBackslashes(widePath(folder)));
  }
  std::lock_guard lock(refusedMutex);
  refusedFolders = std::move(folders);
}

bool FileSystemWindows::throughRealFolders(const std::wstring& path, bool pathIsFolder) const {
  const auto parts = belowRoot(path);
  if (!parts) {
    return true;
  }
  if (refused(path)) {
    return false;
  }
  std::wstring current = root;
  if (stepsAside(*parts) || !isRealFolder(current)) {
    return false;
  }
  const std::size_t folders = pathIsFolder || parts->empty() ? parts->size() : parts->size() - 1;
  for (std::size_t i = 0; i < folders; ++i) {
    current += L"\\" + (*parts)[i];
    if (!isRealFolder(current)) {
      return false;
    }
  }
  return true;
}

void FileSystemWindows::watch(const std::string& directory, std::function<void()> callback) {
  ensureDirectory(directory);
  // Armed before watch returns, so no change made after it is missed.
  watchers.emplace_back([directory, change = openChangeNotification(directory),
                         callback = std::move(callback)](std::stop_token stop) mutable {
    watchLoop(stop, directory, std::move(change), callback);
  });
}

void FileSystemWindows::unwatch() {
  for (auto& watcher : watchers) {
    watcher.request_stop();
  }
  watchers.clear();  // joins each
}

bool FileSystemWindows::ensureDirectory(const std::string& directory) {
  const std::wstring wide = widePath(directory);
  const auto parts = belowRoot(wide);
  std::error_code error;
  if (!parts) {
    const fs::path path(wide);
    fs::create_directories(path, error);
    return !error && fs::is_directory(path, error) && !entryAt(withBackslashes(wide)).link;
  }
  // The folders above the root are the system's; from the root down each one is made or found
  // in turn, and none is ever created through a link.
  if (stepsAside(*parts) || refused(wide)) {
    return false;
  }
  if (!entryAt(root).exists) {
    fs::create_directories(fs::path(root), error);
  }
  std::wstring current = root;
  for (std::size_t i = 0;; ++i) {
    EntryAt entry = entryAt(current);
    if (!entry.exists) {
      if (!CreateDirectoryW(current.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        return false;
      }
      entry = entryAt(current);
    }
    if (!entry.exists || !entry.folder || entry.link) {
      return false;
    }
    if (i == parts->size()) {
      return true;
    }
    current += L"\\" + (*parts)[i];
  }
}

bool FileSystemWindows::writeAtomic(const std::string& path, const std::string& content) {
  const std::uint64_t n = tmpCounter.fetch_add(1);
  const std::wstring tmp = widePath(path + "." + std::to_string(n) + ".tmp");
  if (!throughRealFolders(widePath(path), false)) {
    return false;
  }
  {
    // A leftover of a killed writer goes first, and a link by that name goes as a link: the
    // temporary file is always a new one, never whatever a name pointed at. Shared for reading
    // only, so no other writer truncates or deletes it under this one.
    DeleteFileW(tmp.c_str());
    KernelHandle file(
        CreateFileW(tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      return false;
    }
    // Flushed before the rename: after a power cut NTFS may otherwise show the final name with
    // the metadata of the new file but zeros or nothing in place of its data.
    if (!writeWholeFile(file.get(), content) || !FlushFileBuffers(file.get())) {
      file.reset();
      DeleteFileW(tmp.c_str());
      return false;
    }
  }
  // A rename replaces the name it lands on, a link included, never what a link names.
  if (replaceWithRetry(tmp, widePath(path))) {
    return true;
  }
  DeleteFileW(tmp.c_str());
  return false;
}

std::optional<std::string> FileSystemWindows::read(const std::string& path) {
  const std::wstring wide = widePath(path);
  if (!throughRealFolders(wide, false)) {
    return std::nullopt;
  }
  // Shared for delete too, so a reader never blocks the writer's replacing rename. Opened as
  // itself: a link planted in the outbox would otherwise hand the uploader any file the
  // service may read.
  KernelHandle file(CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    return std::nullopt;
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    if (reparseTagIsLink(tag.ReparseTag)) {
      return std::nullopt;
    }
    // Data behind a reparse point of its own (a deduplicated or cloud file): read through it.
    file.reset(
        CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      return std::nullopt;
    }
  }
  std::string content;
  char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      return std::nullopt;
    }
    if (got == 0) {
      return content;
    }
    content.append(buffer, got);
  }
}

bool FileSystemWindows::remove(const std::string& path) {
  const std::wstring wide = widePath(path);
  if (!throughRealFolders(wide, false)) {
    return false;
  }
  std::error_code error;
  return fs::remove(fs::path(wide), error) && !error;
}

bool FileSystemWindows::move(const std::string& from, const std::string& to) {
  const std::wstring source = widePath(from);
  const std::wstring target = widePath(to);
  // A link moved across volumes would be copied as the file it names.
  if (!throughRealFolders(source, false) || !throughRealFolders(target, false) ||
      entryAt(withBackslashes(source)).link) {
    return false;
  }
  return MoveFileExW(source.c_str(), target.c_str(), kMoveFlags) != 0;
}

std::vector<std::string> FileSystemWindows::list(const std::string& directory) {
  std::vector<std::string> names;
  const std::wstring wide = withBackslashes(widePath(directory));
  if (!throughRealFolders(wide, true) || entryAt(wide).link) {
    return names;
  }
  WIN32_FIND_DATAW found{};
  const HANDLE search =
      FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return names;
  }
  do {
    const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    const bool link =
        (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && reparseTagIsLink(found.dwReserved0);
    if (!folder && !link && fs::path(found.cFileName).extension() != L".tmp") {
      names.push_back(toNarrow(found.cFileName, CP_ACP));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool FileSystemWindows::append(const std::string& path, const std::string& content) {
  const std::wstring wide = withBackslashes(widePath(path));
  const auto slash = wide.find_last_of(L'\\');
  if (slash == std::wstring::npos || content.size() > MAXDWORD || !throughRealFolders(wide, false)) {
    return false;
  }
  // The folder opened as itself and held, shared for reading only, while the file is opened in
  // it: nobody renames, deletes or rewrites it meanwhile.
  const std::wstring folderPath = wide.substr(0, slash);
  const KernelHandle folder(CreateFileW(folderPath.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, kHeldFlags, nullptr));
  if (!folder || !isEntry(folder.get(), true) || !standsAt(folder.get(), folderPath)) {
    return false;
  }
  // Opened as itself too, and only ever made new: a link by that name is never gone through,
  // nor a file made where a link pointed.
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const auto open = [&](DWORD disposition) {
    return KernelHandle(CreateFileW(wide.c_str(), kAppend, kShareAll, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  };
  KernelHandle file = open(OPEN_EXISTING);
  if (!file && GetLastError() == ERROR_FILE_NOT_FOUND) {
    file = open(CREATE_NEW);
    if (!file && GetLastError() == ERROR_FILE_EXISTS) {
      file = open(OPEN_EXISTING);  // another writer made it first
    }
  }
  // A second name of a file, or a name that leads elsewhere, is where a planter wants the
  // lines of a more privileged process to land.
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file || !isEntry(file.get(), false) || !GetFileInformationByHandle(file.get(), &info) ||
      info.nNumberOfLinks != 1 || !standsAt(file.get(), wide)) {
    return false;
  }
  // An append-only handle writes at the end, whatever others appended meanwhile.
  return writeWholeFile(file.get(), content);
}

std::vector<TemporaryFile> FileSystemWindows::listTemporary(const std::string& directory) {
  std::vector<TemporaryFile> files;
  const std::wstring wide = withBackslashes(widePath(directory));
  if (!throughRealFolders(wide, true) || entryAt(wide).link) {
    return files;
  }
  WIN32_FIND_DATAW found{};
  const HANDLE search =
      FindFirstFileExW((wide + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) {
    return files;
  }
  do {
    // No reparse point of any kind: whatever is removed as a leftover must be a plain file.
    const bool plain = (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    if (plain && fs::path(found.cFileName).extension() == L".tmp") {
      files.push_back({toNarrow(found.cFileName, CP_ACP), unixMs(found.ftLastWriteTime)});
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return files;
}

}  // namespace ostrivel
