// A file system held in memory, with fault injection, for every test that touches files.
#include "support/in_memory_file_system.h"

#include <algorithm>

namespace ostrivel::testing {

std::string InMemoryFileSystem::trimmed(const std::string& directory) {
  std::string out = directory;
  while (out.size() > 1 && (out.back() == '\\' || out.back() == '/')) {
    out.pop_back();
  }
  return out;
}

std::string InMemoryFileSystem::folderOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : trimmed(path.substr(0, slash));
}

bool InMemoryFileSystem::failing(FsOp op, const std::string& path) const { return fault && fault(op, path); }

void InMemoryFileSystem::watch(const std::string& directory, std::function<void()> callback) {
  ensureDirectory(directory);
  std::lock_guard lock(mutex);
  watchers.emplace_back(trimmed(directory), std::move(callback));
}

void InMemoryFileSystem::unwatch() {
  std::lock_guard lock(mutex);
  watchers.clear();
}

bool InMemoryFileSystem::ensureDirectory(const std::string& directory) {
  std::lock_guard lock(mutex);
  const std::string dir = trimmed(directory);
  if (failing(FsOp::ensureDirectory, dir)) {
    return false;
  }
  for (std::string parent = dir; !parent.empty(); parent = folderOf(parent)) {
    directories.insert(parent);
  }
  return true;
}

bool InMemoryFileSystem::writeAtomic(const std::string& path, const std::string& content) {
  std::lock_guard lock(mutex);
  if (failing(FsOp::writeAtomic, path) || directories.count(folderOf(path)) == 0) {
    return false;
  }
  files[path] = content;
  return true;
}

std::optional<std::string> InMemoryFileSystem::read(const std::string& path) {
  std::lock_guard lock(mutex);
  if (failing(FsOp::read, path)) {
    return std::nullopt;
  }
  const auto file = files.find(path);
  return file == files.end() ? std::nullopt : std::optional<std::string>(file->second);
}

bool InMemoryFileSystem::remove(const std::string& path) {
  std::lock_guard lock(mutex);
  return !failing(FsOp::remove, path) && files.erase(path) > 0;
}

bool InMemoryFileSystem::append(const std::string& path, const std::string& content) {
  std::lock_guard lock(mutex);
  if (failing(FsOp::append, path) || directories.count(folderOf(path)) == 0) {
    return false;
  }
  files[path] += content;
  return true;
}

bool InMemoryFileSystem::move(const std::string& from, const std::string& to) {
  std::lock_guard lock(mutex);
  const auto file = files.find(from);
  if (failing(FsOp::move, from) || file == files.end() || directories.count(folderOf(to)) == 0) {
    return false;
  }
  std::string content = std::move(file->second);
  files.erase(file);
  files[to] = std::move(content);
  return true;
}

std::vector<std::string> InMemoryFileSystem::list(const std::string& directory) {
  std::lock_guard lock(mutex);
  const std::string dir = trimmed(directory);
  if (failing(FsOp::list, dir)) {
    return {};
  }
  std::vector<std::string> out;
  for (const auto& [path, content] : files) {
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    if (folderOf(path) == dir && !(name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0)) {
      out.push_back(name);
    }
  }
  // Real directory listings promise no order; reversed, a caller that forgets to sort is caught.
  std::reverse(out.begin(), out.end());
  return out;
}

std::vector<TemporaryFile> InMemoryFileSystem::listTemporary(const std::string& directory) {
  std::lock_guard lock(mutex);
  const std::string dir = trimmed(directory);
  std::vector<TemporaryFile> out;
  for (const auto& [path, content] : files) {
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    if (folderOf(path) == dir && name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      const auto time = writtenAt.find(path);
      out.push_back({name, time == writtenAt.end() ? 0 : time->second});
    }
  }
  return out;
}

void InMemoryFileSystem::putFile(const std::string& path, const std::string& content, std::int64_t writtenAtMs) {
  std::lock_guard lock(mutex);
  for (std::string parent = folderOf(path); !parent.empty(); parent = folderOf(parent)) {
    directories.insert(parent);
  }
  files[path] = content;
  writtenAt[path] = writtenAtMs;
}

std::optional<std::string> InMemoryFileSystem::peek(const std::string& path) const {
  std::lock_guard lock(mutex);
  const auto file = files.find(path);
  return file == files.end() ? std::nullopt : std::optional<std::string>(file->second);
}

bool InMemoryFileSystem::exists(const std::string& path) const { return peek(path).has_value(); }

bool InMemoryFileSystem::directoryExists(const std::string& directory) const {
  std::lock_guard lock(mutex);
  return directories.count(trimmed(directory)) > 0;
}

std::vector<std::string> InMemoryFileSystem::names(const std::string& directory) const {
  std::lock_guard lock(mutex);
  const std::string dir = trimmed(directory);
  std::vector<std::string> out;
  for (const auto& [path, content] : files) {
    if (folderOf(path) == dir) {
      out.push_back(path.substr(path.find_last_of("\\/") + 1));
    }
  }
  return out;
}

void InMemoryFileSystem::setFault(Fault faultIn) {
  std::lock_guard lock(mutex);
  fault = std::move(faultIn);
}

void InMemoryFileSystem::fireWatch() {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex);
    for (const auto& [watched, callback] : watchers) {
      callbacks.push_back(callback);
    }
  }
  for (const auto& callback : callbacks) {
    callback();
  }
}

bool InMemoryFileSystem::watching() const {
  std::lock_guard lock(mutex);
  return !watchers.empty();
}

}  // namespace ostrivel::testing
