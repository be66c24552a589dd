// A file system held in memory, with fault injection, for every test that touches files.
#pragma once

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <type_traits>

#include "infra/file_system.h"

namespace ostrivel::testing {

enum class FsOp { ensureDirectory, writeAtomic, read, remove, move, list, append };

// Paths are texts; a file's folder is the text before its last "\" or "/". Like a real file
// system, a file can only be written or moved into a folder that exists. Every operation holds
// the one lock, faults included.
class InMemoryFileSystem : public FileSystem {
 public:
  using Fault = std::function<bool(FsOp op, const std::string& path)>;

  void watch(const std::string& directory, std::function<void()> callback) override {
    ensureDirectory(directory);
    locked([&] { watchers.push_back(std::move(callback)); });
  }
  void unwatch() override {
    locked([&] { watchers.clear(); });
  }
  bool ensureDirectory(const std::string& directory) override {
    return locked([&] { return !failing(FsOp::ensureDirectory, trimmed(directory)) && addFolders(directory); });
  }
  bool writeAtomic(const std::string& path, const std::string& content) override {
    return put(FsOp::writeAtomic, path, content);
  }
  std::optional<std::string> read(const std::string& path) override {
    return locked([&] { return failing(FsOp::read, path) ? std::nullopt : contentOf(path); });
  }
  bool remove(const std::string& path) override {
    return locked([&] { return !failing(FsOp::remove, path) && files.erase(path) > 0; });
  }
  bool move(const std::string& from, const std::string& to) override {
    std::lock_guard lock(mutex);
    if (failing(FsOp::move, from) || !files.contains(from) || !directories.contains(folderOf(to))) return false;
    File moved = files[from];
    files.erase(from);
    files[to] = moved;
    return true;
  }
  std::vector<std::string> list(const std::string& directory) override {
    std::vector<std::string> out;
    for (const auto& [name, file] :
         locked([&] { return failing(FsOp::list, trimmed(directory)) ? Folder() : filesIn(directory); })) {
      if (!name.ends_with(".tmp")) out.push_back(name);
    }
    // Real directory listings promise no order; reversed, a caller that forgets to sort is caught.
    std::reverse(out.begin(), out.end());
    return out;
  }
  bool append(const std::string& path, const std::string& content) override { return put(FsOp::append, path, content); }
  std::vector<TemporaryFile> listTemporary(const std::string& directory) override {
    std::vector<TemporaryFile> out;
    for (const auto& [name, file] : locked([&] { return filesIn(directory); })) {
      if (name.ends_with(".tmp")) out.push_back({name, file.writtenAtMs});
    }
    return out;
  }

  // Test access, bypassing faults. putFile creates the folder; listTemporary reports writtenAtMs.
  void putFile(const std::string& path, const std::string& content, std::int64_t writtenAtMs = 0) {
    std::lock_guard lock(mutex);
    addFolders(folderOf(path));
    files[path] = {content, writtenAtMs};
  }
  std::optional<std::string> peek(const std::string& path) const {
    return locked([&] { return contentOf(path); });
  }
  bool exists(const std::string& path) const { return peek(path).has_value(); }
  // Sorted names of the files in a folder, temporary ones included.
  std::vector<std::string> names(const std::string& directory) const {
    std::vector<std::string> out;
    for (const auto& [name, file] : locked([&] { return filesIn(directory); })) out.push_back(name);
    return out;
  }

  // Returning true from the fault makes that operation fail; moves are asked with their source.
  void setFault(Fault faultIn) {
    locked([&] { fault = std::move(faultIn); });
  }
  // Calls every watch callback, as a change notification would.
  void fireWatch() {
    for (const auto& callback : locked([&] { return watchers; })) callback();
  }
  bool watching() const {
    return locked([&] { return !watchers.empty(); });
  }

 private:
  struct File {
    std::string content;
    std::int64_t writtenAtMs = 0;
  };
  using Folder = std::map<std::string, File>;  // by name

  template <typename Body>
  std::invoke_result_t<Body> locked(Body body) const {
    std::lock_guard lock(mutex);
    return body();
  }
  static std::string trimmed(std::string directory) {
    while (directory.size() > 1 && (directory.back() == '\\' || directory.back() == '/')) directory.pop_back();
    return directory;
  }
  static std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : trimmed(path.substr(0, slash));
  }
  bool failing(FsOp op, const std::string& path) const { return fault && fault(op, path); }
  bool addFolders(const std::string& directory) {
    for (std::string parent = trimmed(directory); !parent.empty(); parent = folderOf(parent))
      directories.insert(parent);
    return true;
  }
  std::optional<std::string> contentOf(const std::string& path) const {
    return files.contains(path) ? std::optional(files.at(path).content) : std::nullopt;
  }
  // writeAtomic replaces the content, append adds to it.
  bool put(FsOp op, const std::string& path, const std::string& content) {
    std::lock_guard lock(mutex);
    if (failing(op, path) || !directories.contains(folderOf(path))) return false;
    files[path].content = (op == FsOp::append ? files[path].content : "") + content;
    return true;
  }
  Folder filesIn(const std::string& directory) const {
    Folder out;
    for (const auto& [path, file] : files) {
      if (folderOf(path) == trimmed(directory)) out.emplace(path.substr(path.find_last_of("\\/") + 1), file);
    }
    return out;
  }

  mutable std::mutex mutex;
  std::set<std::string> directories;
  std::map<std::string, File> files;
  std::vector<std::function<void()>> watchers;
  Fault fault;
};

}  // namespace ostrivel::testing
