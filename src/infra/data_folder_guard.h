// Keeps the data folder a place no standard user can plant, redirect or tamper with, and sweeps it
// away at uninstall without ever following a link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "infra/folder_security.h"

namespace ostrivel {

struct GuardFinding {
  std::uint32_t level;  // kLevelWarn or kLevelError of infra/logger.h
  std::string message;
};

struct GuardReport {
  std::vector<GuardFinding> findings;
  // Folders it could not make, secure or look into, or holding an entry it could not remove, in
  // the order met: the agent writes nothing there, nor below, until a later run secures them.
  std::vector<std::string> unsecured;
};

// Owner Administrators; a protected list: SYSTEM and Administrators full control, Users read and
// execute, or modify where usersModify is set (the per-user processes write their logs there).
SecurityState dataFolderSecurity(bool usersModify);

// The lists are equal: present, protected, the same rules in any order. The owner is not compared.
bool sameAccessList(const SecurityState& found, const SecurityState& wanted);

class DataFolderGuard {
 public:
  // trustedAccounts are accounts besides SYSTEM and Administrators whose files are the agent's:
  // the account of the elevated process running the guard. Every finding starts with tag, the
  // component of the caller ("[main] ", "[ui] ").
  DataFolderGuard(FolderSecurity& access, std::vector<std::string> trustedAccounts, std::string tag);

  // Makes the data folder, "logs", "logs\service", "logs\ui", "outbox" and "history" real folders
  // with the agent's security, taking back any found with another owner or list; removes links
  // found where the agent expects a folder or a file, and what another account put inside.
  // Every decision is a finding, in order; nothing is logged here.
  GuardReport secure(const std::string& dataDirectory);

 private:
  enum class Contents { linksOnly, linksAndForeignOwners };
  struct Folder {
    std::unique_ptr<HeldEntry> entry;  // null when the folder could not be made, opened or listed
    bool takenBack = false;            // it had another owner or list: what it holds may too
    std::vector<std::string> names;    // what it holds
  };

  Folder takeFolder(const std::string& path, bool usersModify, GuardReport& report);
  Folder takeBack(const std::string& path, bool usersModify, GuardReport& report);
  void checkEntry(const std::string& folder, const std::string& name, Contents contents, bool resetKept,
                  GuardReport& report);
  void checkContents(const Folder& folder, const std::string& path, Contents contents, GuardReport& report);
  bool trusted(const std::string& owner) const;
  void warn(GuardReport& report, const std::string& message) const;
  // An error: folder, or the folder holding what failed, counts as unsecured.
  void fail(GuardReport& report, const std::string& message, const std::string& folder) const;

  FolderSecurity& access;
  std::vector<std::string> trustedAccounts;
  std::string tag;
};

// Removes path with everything below it: links go as links and are never descended through;
// folders deeper than any the agent makes and entries that cannot be removed stay behind.
void sweepTree(FolderSecurity& access, const std::string& path);

}  // namespace ostrivel
