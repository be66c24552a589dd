// The file system seam over the Windows API: atomic writes, change watching, moves that replace.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "infra/file_system.h"

namespace ostrivel {

// No operation follows a link at the end of its path: a link's bytes are never read, listed,
// moved or written through. Below confinedRoot (the data folder) the same holds for every folder
// on the way, the root included, so records and the credential go to real folders only. append
// also checks what it opened, by handle: a real folder, a file of one name, both where their
// names say below the root (a process with more rights than the folder's users appends there).
class FileSystemWindows : public FileSystem {
 public:
  explicit FileSystemWindows(std::string confinedRoot = {});
  FileSystemWindows(const FileSystemWindows&) = delete;
  FileSystemWindows& operator=(const FileSystemWindows&) = delete;
  ~FileSystemWindows() override;

  void watch(const std::string& directory, std::function<void()> callback) override;
  void unwatch() override;
  bool ensureDirectory(const std::string& directory) override;
  bool writeAtomic(const std::string& path, const std::string& content) override;
  std::optional<std::string> read(const std::string& path) override;
  bool remove(const std::string& path) override;
  bool move(const std::string& from, const std::string& to) override;
  std::vector<std::string> list(const std::string& directory) override;
  bool append(const std::string& path, const std::string& content) override;
  std::vector<TemporaryFile> listTemporary(const std::string& directory) override;

  // The folders the data folder's guard could not secure: nothing below the root is read,
  // written, listed or made in them, nor below them, until a later call leaves them out.
  void refuse(const std::vector<std::string>& unsecuredFolders);

 private:
  // True when path is outside the root, or when the root and every folder below it down to
  // path's own folder (path itself too, when it names a folder) are real folders.
  bool throughRealFolders(const std::wstring& path, bool pathIsFolder) const;
  // The path's components below the root; no value when it does not lie inside the root.
  std::optional<std::vector<std::wstring>> belowRoot(const std::wstring& path) const;
  bool refused(const std::wstring& path) const;
  // True when the open entry is, by its final path, the one path names below the root (every
  // folder on the way a real one); outside the root, always.
  bool standsAt(void* handle, const std::wstring& path) const;

  std::wstring root;
  mutable std::mutex refusedMutex;
  std::vector<std::wstring> refusedFolders;  // with backslashes, under refusedMutex
  std::list<std::jthread> watchers;
  std::atomic<std::uint64_t> tmpCounter{0};
};

}  // namespace ostrivel
