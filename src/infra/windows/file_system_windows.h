// The file system seam over the Windows API: atomic writes, change watching, moves that replace.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <thread>

#include "infra/file_system.h"

namespace ostrivel {

class FileSystemWindows : public FileSystem {
 public:
  FileSystemWindows() = default;
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

 private:
  std::list<std::jthread> watchers;
  std::atomic<std::uint64_t> tmpCounter{0};
};

}  // namespace ostrivel
