// A tree of files, folders and links held in memory behind the FolderSecurity seam. Like a real
// file system it follows a link met in the middle of a path and never the one at its end, so a
// test sees at once when code reaches through a link: the link's target changes.
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

class InMemoryFolderSecurity : public FolderSecurity {
 public:
  std::unique_ptr<HeldEntry> open(const std::string& path) override;
  std::optional<std::vector<std::string>> list(const std::string& directory) override;
  bool createDirectory(const std::string& path, const SecurityState& security) override;

  // Test access; missing parent folders are made with the given security. Paths use "\".
  void addFolder(const std::string& path, const SecurityState& security);
  void addFile(const std::string& path, const std::string& owner, const std::string& content = {});
  // A junction or symbolic link at path naming target.
  void addLink(const std::string& path, const std::string& target);
  // A second name of the file at existing.
  void addHardLink(const std::string& path, const std::string& existing);

  // What stands at path itself (links not followed); no value when nothing is there.
  std::optional<EntryKind> kindAt(const std::string& path) const;
  std::optional<SecurityState> securityAt(const std::string& path) const;
  std::optional<std::string> contentAt(const std::string& path) const;
  // Sorted names in a folder.
  std::vector<std::string> names(const std::string& directory) const;
  // Entries opened and not yet let go.
  int heldCount() const { return held; }

  // Returning true makes that operation fail on that path.
  void setFault(std::function<bool(FolderOp op, const std::string& path)> fault);

 private:
  struct Node {
    EntryKind kind = EntryKind::file;
    SecurityState security;
    std::string target;                    // links: the name they stand for
    std::shared_ptr<std::string> content;  // files: shared by the names of a hard link
  };
  class Entry;

  static std::vector<std::string> split(const std::string& path);
  // The path with every link before its last component replaced by its target.
  std::string resolve(const std::string& path) const;
  std::string resolveFully(const std::string& path) const;
  bool failing(FolderOp op, const std::string& path) const;
  void makeParents(const std::string& path, const SecurityState& security);

  std::map<std::string, Node> nodes;
  std::function<bool(FolderOp, const std::string&)> fault;
  int held = 0;
};

// A state with one owner and one allow rule for it.
SecurityState securityOwnedBy(const std::string& owner);

}  // namespace ostrivel::testing
