// A file system held in memory, with fault injection, for every test that touches files.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "infra/file_system.h"

namespace ostrivel::testing {

enum class FsOp { ensureDirectory, writeAtomic, read, remove, move, list, append };

// Paths are texts; a file's folder is the text before its last "\" or "/". Like a real file
// system, a file can only be written or moved into a folder that exists.
class InMemoryFileSystem : public FileSystem {
 public:
  using Fault = std::function<bool(FsOp op, const std::string& path)>;

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

  // Test access, bypassing faults. putFile creates the folder.
  void putFile(const std::string& path, const std::string& content, std::int64_t writtenAtMs = 0);
  std::optional<std::string> peek(const std::string& path) const;
  bool exists(const std::string& path) const;
  bool directoryExists(const std::string& directory) const;
  // Sorted names of the files in a folder.
  std::vector<std::string> names(const std::string& directory) const;

  // Returning true from the fault makes that operation fail; moves are asked with their source.
  void setFault(Fault fault);
  // Calls every watch callback, as a change notification would.
  void fireWatch();
  bool watching() const;

 private:
  static std::string folderOf(const std::string& path);
  static std::string trimmed(const std::string& directory);
  bool failing(FsOp op, const std::string& path) const;

  mutable std::mutex mutex;
  std::set<std::string> directories;
  std::map<std::string, std::string> files;
  std::map<std::string, std::int64_t> writtenAt;  // as putFile was told; 0 otherwise
  std::vector<std::pair<std::string, std::function<void()>>> watchers;
  Fault fault;
};

}  // namespace ostrivel::testing
