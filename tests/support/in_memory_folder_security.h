// A tree of files, folders and links held in memory behind the FolderSecurity seam. A link is an
// entry of its own that the fake never follows: code that reached through one finds nothing there.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "infra/folder_security.h"

namespace ostrivel::testing {

enum class FolderOp { open, list, createDirectory, security, secure, remove };

// A state with one owner and one allow rule for it.
inline SecurityState ownedBy(const std::string& owner) {
  return SecurityState{owner, true, false, {{AccessRule::Type::allow, owner, kAccessFull, kInheritToFilesAndFolders}}};
}

class InMemoryFolderSecurity : public FolderSecurity {
 public:
  std::unique_ptr<HeldEntry> open(const std::string& path) override {
    return nodes.count(path) == 0 || failing(FolderOp::open, path) ? nullptr : std::make_unique<Entry>(*this, path);
  }
  std::optional<std::vector<std::string>> list(const std::string& directory) override {
    return failing(FolderOp::list, directory) ? std::nullopt : std::optional(names(directory));
  }
  bool createDirectory(const std::string& path, const SecurityState& security) override {
    return !failing(FolderOp::createDirectory, path) && nodes.try_emplace(path, EntryKind::directory, security).second;
  }

  // Test access: an entry (a link is a junction, a symbolic link or a second name of a file) and
  // every missing folder above it, all with the given security. Paths use "\".
  void add(const std::string& path, EntryKind kind, const SecurityState& security) {
    for (auto slash = path.find('\\'); slash != std::string::npos; slash = path.find('\\', slash + 1)) {
      nodes.try_emplace(path.substr(0, slash), EntryKind::directory, security);
    }
    nodes[path] = {kind, security};
  }
  // What stands at path; no value when nothing is there.
  std::optional<EntryKind> kindAt(const std::string& path) const {
    return nodes.count(path) ? std::optional(nodes.at(path).first) : std::nullopt;
  }
  std::optional<SecurityState> securityAt(const std::string& path) const {
    return nodes.count(path) ? std::optional(nodes.at(path).second) : std::nullopt;
  }
  // Sorted names in a folder.
  std::vector<std::string> names(const std::string& directory) const {
    std::vector<std::string> out;
    const std::string prefix = directory + "\\";
    for (auto it = nodes.lower_bound(prefix); it != nodes.end() && it->first.starts_with(prefix); ++it) {
      if (it->first.find('\\', prefix.size()) == std::string::npos) out.push_back(it->first.substr(prefix.size()));
    }
    return out;
  }

  // Returning true makes that operation fail on that path.
  std::function<bool(FolderOp op, const std::string& path)> fault;

 private:
  class Entry : public HeldEntry {
   public:
    Entry(InMemoryFolderSecurity& diskIn, std::string pathIn) : disk(diskIn), path(std::move(pathIn)) {
      ++disk.held[path];
    }
    ~Entry() override { --disk.held[path]; }
    EntryKind kind() const override { return disk.kindAt(path).value_or(EntryKind::file); }
    std::optional<SecurityState> security() override {
      return disk.failing(FolderOp::security, path) ? std::nullopt : disk.securityAt(path);
    }
    bool secure(const SecurityState& wanted) override {
      if (disk.nodes.count(path) == 0 || disk.failing(FolderOp::secure, path)) return false;
      disk.nodes[path].second = wanted;
      return true;
    }
    // As on Windows, where the agent holds entries sharing reading only: a name another of its
    // handles holds cannot be removed. A folder must be empty.
    bool remove() override {
      return !disk.failing(FolderOp::remove, path) && disk.held[path] == 1 && disk.names(path).empty() &&
             disk.nodes.erase(path) > 0;
    }

   private:
    InMemoryFolderSecurity& disk;
    std::string path;
  };

  bool failing(FolderOp op, const std::string& path) const { return fault && fault(op, path); }

  std::map<std::string, std::pair<EntryKind, SecurityState>> nodes;
  std::map<std::string, int> held;  // entries open on each path
};

}  // namespace ostrivel::testing
