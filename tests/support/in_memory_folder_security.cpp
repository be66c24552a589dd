// A tree of files, folders and links held in memory behind the FolderSecurity seam.
#include "support/in_memory_folder_security.h"

#include <algorithm>

namespace ostrivel::testing {

namespace {

std::string joined(const std::vector<std::string>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    out += (i == 0 ? "" : "\\") + parts[i];
  }
  return out;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.find_last_of('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

class InMemoryFolderSecurity::Entry : public HeldEntry {
 public:
  Entry(InMemoryFolderSecurity& diskIn, std::string pathIn) : disk(diskIn), path(std::move(pathIn)) { ++disk.held; }
  ~Entry() override { --disk.held; }

  EntryKind kind() const override {
    const auto node = disk.nodes.find(path);
    if (node == disk.nodes.end()) {
      return EntryKind::file;
    }
    if (node->second.kind == EntryKind::file && node->second.content.use_count() > 1) {
      return EntryKind::link;  // one of several names of a file
    }
    return node->second.kind;
  }

  std::optional<SecurityState> security() override {
    const auto node = disk.nodes.find(path);
    if (node == disk.nodes.end() || disk.failing(FolderOp::security, path)) {
      return std::nullopt;
    }
    return node->second.security;
  }

  bool secure(const SecurityState& wanted) override {
    const auto node = disk.nodes.find(path);
    if (node == disk.nodes.end() || disk.failing(FolderOp::secure, path)) {
      return false;
    }
    node->second.security = wanted;
    return true;
  }

  bool remove() override {
    const auto node = disk.nodes.find(path);
    if (node == disk.nodes.end() || disk.failing(FolderOp::remove, path)) {
      return false;
    }
    if (node->second.kind == EntryKind::directory && !disk.names(path).empty()) {
      return false;
    }
    disk.nodes.erase(node);  // a link's target stays where it is
    return true;
  }

 private:
  InMemoryFolderSecurity& disk;
  std::string path;
};

std::vector<std::string> InMemoryFolderSecurity::split(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (const char c : path) {
    if (c == '\\' || c == '/') {
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

std::string InMemoryFolderSecurity::resolve(const std::string& path) const {
  const auto parts = split(path);
  if (parts.empty()) {
    return {};
  }
  std::string current = parts[0];
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const auto node = nodes.find(current);
    if (node != nodes.end() && node->second.kind == EntryKind::link) {
      current = resolve(node->second.target);
    }
    current += "\\" + parts[i];
  }
  return current;
}

std::string InMemoryFolderSecurity::resolveFully(const std::string& path) const {
  std::string current = resolve(path);
  for (int hops = 0; hops < 16; ++hops) {
    const auto node = nodes.find(current);
    if (node == nodes.end() || node->second.kind != EntryKind::link) {
      break;
    }
    current = resolve(node->second.target);
  }
  return current;
}

bool InMemoryFolderSecurity::failing(FolderOp op, const std::string& path) const { return fault && fault(op, path); }

std::unique_ptr<HeldEntry> InMemoryFolderSecurity::open(const std::string& path) {
  const std::string resolved = resolve(path);
  if (nodes.count(resolved) == 0 || failing(FolderOp::open, resolved)) {
    return nullptr;
  }
  return std::make_unique<Entry>(*this, resolved);
}

std::optional<std::vector<std::string>> InMemoryFolderSecurity::list(const std::string& directory) {
  // Listing a folder's contents goes through a link at its end, as a real listing does.
  const std::string resolved = resolveFully(directory);
  if (failing(FolderOp::list, resolved)) {
    return std::nullopt;
  }
  return names(resolved);
}

bool InMemoryFolderSecurity::createDirectory(const std::string& path, const SecurityState& security) {
  const std::string resolved = resolve(path);
  const auto parent = nodes.find(resolveFully(parentOf(resolved)));
  if (nodes.count(resolved) != 0 || parent == nodes.end() || parent->second.kind != EntryKind::directory ||
      failing(FolderOp::createDirectory, resolved)) {
    return false;
  }
  nodes[resolved] = Node{EntryKind::directory, security, {}, nullptr};
  return true;
}

void InMemoryFolderSecurity::makeParents(const std::string& path, const SecurityState& security) {
  const auto parts = split(path);
  for (std::size_t count = 1; count < parts.size(); ++count) {
    const std::string prefix = joined(parts, count);
    if (nodes.count(prefix) == 0) {
      nodes[prefix] = Node{EntryKind::directory, security, {}, nullptr};
    }
  }
}

void InMemoryFolderSecurity::addFolder(const std::string& path, const SecurityState& security) {
  makeParents(path, security);
  nodes[joined(split(path), split(path).size())] = Node{EntryKind::directory, security, {}, nullptr};
}

void InMemoryFolderSecurity::addFile(const std::string& path, const std::string& owner, const std::string& content) {
  makeParents(path, securityOwnedBy(owner));
  nodes[path] = Node{EntryKind::file, securityOwnedBy(owner), {}, std::make_shared<std::string>(content)};
}

void InMemoryFolderSecurity::addLink(const std::string& path, const std::string& target) {
  makeParents(path, securityOwnedBy(kSidAdministrators));
  nodes[path] = Node{EntryKind::link, securityOwnedBy(kSidAdministrators), target, nullptr};
}

void InMemoryFolderSecurity::addHardLink(const std::string& path, const std::string& existing) {
  const Node& original = nodes.at(existing);
  makeParents(path, original.security);
  nodes[path] = original;
}

std::optional<EntryKind> InMemoryFolderSecurity::kindAt(const std::string& path) const {
  const auto node = nodes.find(path);
  if (node == nodes.end()) {
    return std::nullopt;
  }
  if (node->second.kind == EntryKind::file && node->second.content.use_count() > 1) {
    return EntryKind::link;
  }
  return node->second.kind;
}

std::optional<SecurityState> InMemoryFolderSecurity::securityAt(const std::string& path) const {
  const auto node = nodes.find(path);
  return node == nodes.end() ? std::nullopt : std::optional<SecurityState>(node->second.security);
}

std::optional<std::string> InMemoryFolderSecurity::contentAt(const std::string& path) const {
  const auto node = nodes.find(path);
  if (node == nodes.end() || !node->second.content) {
    return std::nullopt;
  }
  return *node->second.content;
}

std::vector<std::string> InMemoryFolderSecurity::names(const std::string& directory) const {
  std::vector<std::string> out;
  const std::string prefix = directory + "\\";
  for (auto it = nodes.lower_bound(prefix); it != nodes.end() && it->first.compare(0, prefix.size(), prefix) == 0;
       ++it) {
    const std::string rest = it->first.substr(prefix.size());
    if (rest.find('\\') == std::string::npos) {
      out.push_back(rest);
    }
  }
  return out;
}

void InMemoryFolderSecurity::setFault(std::function<bool(FolderOp op, const std::string& path)> faultIn) {
  fault = std::move(faultIn);
}

SecurityState securityOwnedBy(const std::string& owner) {
  SecurityState state;
  state.owner = owner;
  state.rules = {{AccessRule::Type::allow, owner, kAccessFull, kInheritToFilesAndFolders}};
  return state;
}

}  // namespace ostrivel::testing
