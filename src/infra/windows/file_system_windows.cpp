// The file system seam over the Windows API: atomic writes, change watching, moves that replace.
#include "infra/windows/file_system_windows.h"

#include <filesystem>
#include <system_error>

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
    if (MoveFileExW(from.c_str(), to.c_str(), kMoveFlags)) {
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

FileSystemWindows::~FileSystemWindows() { unwatch(); }

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
  std::error_code error;
  const fs::path path(widePath(directory));
  fs::create_directories(path, error);
  return !error && fs::is_directory(path, error);
}

bool FileSystemWindows::writeAtomic(const std::string& path, const std::string& content) {
  const std::uint64_t n = tmpCounter.fetch_add(1);
  const std::wstring tmp = widePath(path + "." + std::to_string(n) + ".tmp");
  {
    KernelHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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
  if (replaceWithRetry(tmp, widePath(path))) {
    return true;
  }
  DeleteFileW(tmp.c_str());
  return false;
}

std::optional<std::string> FileSystemWindows::read(const std::string& path) {
  // Shared for delete too, so a reader never blocks the writer's replacing rename.
  KernelHandle file(CreateFileW(widePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    return std::nullopt;
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
  std::error_code error;
  return fs::remove(fs::path(widePath(path)), error) && !error;
}

bool FileSystemWindows::move(const std::string& from, const std::string& to) {
  return MoveFileExW(widePath(from).c_str(), widePath(to).c_str(), kMoveFlags) != 0;
}

std::vector<std::string> FileSystemWindows::list(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(fs::path(widePath(directory)), error), end; !error && it != end;
       it.increment(error)) {
    std::error_code typeError;
    if (!it->is_regular_file(typeError) || it->path().extension() == L".tmp") {
      continue;
    }
    names.push_back(toNarrow(it->path().filename().wstring(), CP_ACP));
  }
  return names;
}

}  // namespace ostrivel
