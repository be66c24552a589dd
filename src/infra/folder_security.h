// The seam through which the data folder's guard and the uninstall sweep see files: kinds that
// never follow a link, owners, access lists, and removal of links as links.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrivel {

// Security identifiers in their text form ("S-1-5-18"), as the platform prints them.
inline constexpr const char* kSidSystem = "S-1-5-18";
inline constexpr const char* kSidAdministrators = "S-1-5-32-544";
inline constexpr const char* kSidUsers = "S-1-5-32-545";

// Access masks of files and folders.
inline constexpr std::uint32_t kAccessFull = 0x001F01FF;         // full control
inline constexpr std::uint32_t kAccessModify = 0x001301BF;       // read, write, execute, delete
inline constexpr std::uint32_t kAccessReadExecute = 0x001200A9;  // read and list, execute and traverse
// Inheritance flags of an access rule: files and subfolders created inside get the rule too.
inline constexpr std::uint8_t kInheritToFilesAndFolders = 0x03;

// What an entry is, seen without following it. A junction, a symbolic link and a file with a
// second name (a hard link) are all links: the agent never creates one.
enum class EntryKind { file, directory, link };

// One entry of an access list. Rules of other types than allow and deny are kept as "other",
// so that a list holding one never compares equal to the agent's.
struct AccessRule {
  enum class Type { allow, deny, other };
  Type type = Type::allow;
  std::string sid;
  std::uint32_t mask = 0;
  std::uint8_t flags = 0;
  friend bool operator==(const AccessRule&, const AccessRule&) = default;
};

// Owner and access list of an entry. hasList false is a missing list, which grants everyone
// everything; protectedList says the list takes nothing from the parent folder.
struct SecurityState {
  std::string owner;
  bool hasList = true;
  bool protectedList = false;
  std::vector<AccessRule> rules;
};

// An entry opened without following it and held until destroyed, so that nobody can rename or
// replace it while the agent decides what to do with it.
class HeldEntry {
 public:
  virtual ~HeldEntry() = default;
  // What the entry is now (an owner may still turn an empty folder into a link while it is held).
  virtual EntryKind kind() const = 0;
  // No value when the security cannot be read.
  virtual std::optional<SecurityState> security() = 0;
  // Sets the owner and the access list, the list protected from the parent's, on this entry
  // alone: nothing below a folder changes (the guard judges each child before it fixes it).
  virtual bool secure(const SecurityState& wanted) = 0;
  // Removes the entry itself: a link as a link, a folder only when it is empty.
  virtual bool remove() = 0;
};

// Contract: no operation follows a link in the last component of its path; paths are narrow
// texts. Used from one thread at a time.
class FolderSecurity {
 public:
  virtual ~FolderSecurity() = default;
  // Null when nothing is there or it cannot be opened.
  virtual std::unique_ptr<HeldEntry> open(const std::string& path) = 0;
  // The names of every entry in a folder: files, folders and links, "." and ".." left out. No
  // value when the folder cannot be listed (another handle may share no reading of it).
  virtual std::optional<std::vector<std::string>> list(const std::string& directory) = 0;
  // Creates one folder that carries the given security from its first moment.
  virtual bool createDirectory(const std::string& path, const SecurityState& security) = 0;
};

// Reparse points that stand for another name (junctions, symbolic links, and a tag of 0, which
// no real reparse point carries) are links; the rest (deduplicated or cloud files) are data.
bool reparseTagIsLink(std::uint32_t tag);

}  // namespace ostrivel
