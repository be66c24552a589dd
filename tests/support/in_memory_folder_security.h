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
SecurityState ownedBy(const std::string& owner);

class InMemoryFolderSecurity : public FolderSecurity {
 public:
  std::unique_ptr<HeldEntry> open(const std::string& path) override;
  std::optional<std::vector<std::string>> list(const std::string& directory) override {
    return failing(FolderOp::list, directory) ? std::nullopt : std::optional(names(directory));
  }
  bool createDirectory(const std::string& path, const SecurityState& security) override {
    return !failing(FolderOp::createDirectory, path) && nodes.try_emplace(path, EntryKind::directory, security).second;
  }

  // Test access: an entry (a link is a junction, a symbolic link or a second name of a file) and
  // every missing folder above it, all with the given security. Paths use "\".
  void add(const std::string& path, EntryKind kind, const SecurityState& security);

  // What stands at path; no value when nothing is there.
  std::optional<EntryKind> kindAt(const std::string& path) const {
    return nodes.count(path) ? std::optional(nodes.at(path).first) : std::nullopt;
  }
  std::optional<SecurityState> securityAt(const std::string& path) const {
    return nodes.count(path) ? std::optional(nodes.at(path).second) : std::nullopt;
  }
  // Sorted names in a folder.
  std::vector<std::string> names(const std::string& directory) const;

  // Returning true makes that operation fail on that path.
  std::function<bool(FolderOp op, const std::string& path)> fault;

 private:
  class Entry;
  bool failing(FolderOp op, const std::string& path) const { return fault && fault(op, path); }

  std::map<std::string, std::pair<EntryKind, SecurityState>> nodes;
  std::map<std::string, int> held;  // entries open on each path
};

}  // namespace ostrivel::testing
