// A tree of files, folders and links held in memory behind the FolderSecurity seam.
#include "support/in_memory_folder_security.h"

namespace ostrivel::testing {

class InMemoryFolderSecurity::Entry : public HeldEntry {
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
    if (disk.nodes.count(path) == 0 || disk.failing(FolderOp::secure, path)) {
      return false;
    }
    disk.nodes[path].second = wanted;
    return true;
  }

  // As on Windows, where the agent holds entries sharing reading only: a name another of its
  // handles holds cannot be removed. A folder must be empty.
  bool remove() override {
    if (disk.failing(FolderOp::remove, path) || disk.held[path] > 1 || !disk.names(path).empty()) {
      return false;
    }
    return disk.nodes.erase(path) > 0;
  }

 private:
  InMemoryFolderSecurity& disk;
  std::string path;
};

std::unique_ptr<HeldEntry> InMemoryFolderSecurity::open(const std::string& path) {
  if (nodes.count(path) == 0 || failing(FolderOp::open, path)) {
    return nullptr;
  }
  return std::make_unique<Entry>(*this, path);
}

void InMemoryFolderSecurity::add(const std::string& path, EntryKind kind, const SecurityState& security) {
  for (auto slash = path.find('\\'); slash != std::string::npos; slash = path.find('\\', slash + 1)) {
    nodes.try_emplace(path.substr(0, slash), EntryKind::directory, security);
  }
  nodes[path] = {kind, security};
}

std::vector<std::string> InMemoryFolderSecurity::names(const std::string& directory) const {
  std::vector<std::string> out;
  const std::string prefix = directory + "\\";
  for (auto it = nodes.lower_bound(prefix); it != nodes.end() && it->first.rfind(prefix, 0) == 0; ++it) {
    if (it->first.find('\\', prefix.size()) == std::string::npos) {
      out.push_back(it->first.substr(prefix.size()));
    }
  }
  return out;
}

SecurityState ownedBy(const std::string& owner) {
  SecurityState state;
  state.owner = owner;
  state.rules = {{AccessRule::Type::allow, owner, kAccessFull, kInheritToFilesAndFolders}};
  return state;
}

}  // namespace ostrivel::testing
