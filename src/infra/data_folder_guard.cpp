// The data folder's guard and the uninstall sweep: the decisions, over the FolderSecurity seam.
#include "infra/data_folder_guard.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "infra/logger.h"

namespace ostrivel {

namespace {

// The agent's folders are two levels deep; anything far deeper was made by someone else, and
// following it down would only let that someone exhaust the sweep's stack.
constexpr int kSweepDepthLimit = 32;

std::string join(const std::string& directory, const std::string& name) {
  if (!directory.empty() && (directory.back() == '\\' || directory.back() == '/')) {
    return directory + name;
  }
  return directory + "\\" + name;
}

std::vector<AccessRule> sortedRules(std::vector<AccessRule> rules) {
  std::sort(rules.begin(), rules.end(), [](const AccessRule& a, const AccessRule& b) {
    return std::tie(a.type, a.sid, a.mask, a.flags) < std::tie(b.type, b.sid, b.mask, b.flags);
  });
  return rules;
}

void sweep(FolderSecurity& access, const std::string& path, int depth) {
  // Held open while its children go, so nobody can swap the folder for a link meanwhile.
  const auto entry = access.open(path);
  if (!entry) {
    return;
  }
  if (entry->kind() == EntryKind::directory && depth < kSweepDepthLimit) {
    for (const auto& name : access.list(path).value_or(std::vector<std::string>{})) {
      sweep(access, join(path, name), depth + 1);
    }
  }
  entry->remove();
}

}  // namespace

bool reparseTagIsLink(std::uint32_t tag) {
  // Bit 29 marks a tag whose reparse point names another file or folder.
  constexpr std::uint32_t kNameSurrogate = 0x20000000;
  return tag == 0 || (tag & kNameSurrogate) != 0;
}

SecurityState dataFolderSecurity(bool usersModify) {
  SecurityState state;
  state.owner = kSidAdministrators;
  state.hasList = true;
  state.protectedList = true;
  state.rules = {
      {AccessRule::Type::allow, kSidSystem, kAccessFull, kInheritToFilesAndFolders},
      {AccessRule::Type::allow, kSidAdministrators, kAccessFull, kInheritToFilesAndFolders},
      {AccessRule::Type::allow, kSidUsers, usersModify ? kAccessModify : kAccessReadExecute, kInheritToFilesAndFolders},
  };
  return state;
}

bool sameAccessList(const SecurityState& found, const SecurityState& wanted) {
  return found.hasList && found.protectedList == wanted.protectedList &&
         sortedRules(found.rules) == sortedRules(wanted.rules);
}

DataFolderGuard::DataFolderGuard(FolderSecurity& accessIn, std::vector<std::string> trustedAccountsIn,
                                 std::string tagIn)
    : access(accessIn), trustedAccounts(std::move(trustedAccountsIn)), tag(std::move(tagIn)) {}

void DataFolderGuard::warn(GuardReport& report, const std::string& message) const {
  report.findings.push_back({kLevelWarn, tag + message});
}

void DataFolderGuard::fail(GuardReport& report, const std::string& message, const std::string& folder) const {
  report.findings.push_back({kLevelError, tag + message});
  if (std::find(report.unsecured.begin(), report.unsecured.end(), folder) == report.unsecured.end()) {
    report.unsecured.push_back(folder);
  }
}

bool DataFolderGuard::trusted(const std::string& owner) const {
  return owner == kSidSystem || owner == kSidAdministrators ||
         std::find(trustedAccounts.begin(), trustedAccounts.end(), owner) != trustedAccounts.end();
}

GuardReport DataFolderGuard::secure(const std::string& dataDirectory) {
  GuardReport report;
  // Top down, each folder held while what is inside it is looked at: once a folder is taken
  // back nobody else can add to it, and a folder held open cannot be swapped for a link.
  const Folder root = takeFolder(dataDirectory, false, report);
  if (!root.entry) {
    return report;
  }
  checkEntry(dataDirectory, "identity.json", Contents::linksAndForeignOwners, root.takenBack, report);

  const std::string logsPath = join(dataDirectory, "logs");
  if (const Folder logs = takeFolder(logsPath, false, report); logs.entry) {
    const std::string servicePath = join(logsPath, "service");
    checkContents(takeFolder(servicePath, false, report), servicePath, Contents::linksAndForeignOwners, report);
    // The per-user processes own their day logs here: only links go.
    const std::string uiPath = join(logsPath, "ui");
    checkContents(takeFolder(uiPath, true, report), uiPath, Contents::linksOnly, report);
  }
  for (const char* name : {"outbox", "history"}) {
    const std::string path = join(dataDirectory, name);
    checkContents(takeFolder(path, false, report), path, Contents::linksAndForeignOwners, report);
  }
  return report;
}

DataFolderGuard::Folder DataFolderGuard::takeFolder(const std::string& path, bool usersModify, GuardReport& report) {
  Folder folder = takeBack(path, usersModify, report);
  if (!folder.entry) {
    return folder;
  }
  auto names = access.list(path);
  if (!names) {
    // Another handle that shares no reading keeps what is inside from being judged: a credential
    // or record planted there could not be told from the agent's.
    fail(report, path + " could not be looked into", path);
    return {};
  }
  folder.names = std::move(*names);
  return folder;
}

DataFolderGuard::Folder DataFolderGuard::takeBack(const std::string& path, bool usersModify, GuardReport& report) {
  const SecurityState wanted = dataFolderSecurity(usersModify);
  auto entry = access.open(path);
  if (entry && entry->kind() != EntryKind::directory) {
    const bool link = entry->kind() == EntryKind::link;
    warn(report,
         path + (link ? " was a link, removed without following it" : " was a file where a folder belongs, removed"));
    if (!entry->remove()) {
      fail(report, path + " could not be removed", path);
      return {};
    }
    entry.reset();
  }
  if (!entry) {
    if (!access.createDirectory(path, wanted)) {
      fail(report, path + " could not be created", path);
      return {};
    }
    entry = access.open(path);
    if (!entry || entry->kind() != EntryKind::directory) {
      fail(report, path + " could not be opened", path);
      return {};
    }
    // Set once more: a platform may merge the parent's inherited rules into the list given at
    // creation. The folder is new, so there is nothing to report.
    if (!entry->secure(wanted)) {
      fail(report, path + " could not be secured", path);
    }
    return {std::move(entry), false, {}};
  }

  const auto found = entry->security();
  if (found && trusted(found->owner) && sameAccessList(*found, wanted)) {
    return {std::move(entry), false, {}};
  }
  if (!found) {
    warn(report, path + " had security that could not be read, taken back");
  } else if (!trusted(found->owner)) {
    warn(report, path + " was owned by " + found->owner + ", taken back");
  } else {
    warn(report, path + " had another access list, taken back");
  }
  if (!entry->secure(wanted)) {
    fail(report, path + " could not be taken back", path);
  }
  // Its owner could still turn it, empty, into a junction until the new owner and list held;
  // looked at again before anything inside it is.
  if (entry->kind() != EntryKind::directory) {
    warn(report, path + " became a link while it was taken back, removed without following it");
    if (!entry->remove()) {
      fail(report, path + " could not be removed", path);
    }
    fail(report, path + " is left to the next start", path);
    return {};
  }
  return {std::move(entry), true, {}};
}

void DataFolderGuard::checkEntry(const std::string& folder, const std::string& name, Contents contents, bool resetKept,
                                 GuardReport& report) {
  const std::string path = join(folder, name);
  auto entry = access.open(path);
  if (!entry) {
    return;
  }
  if (entry->kind() == EntryKind::link) {
    warn(report, path + " was a link, removed without following it");
    if (!entry->remove()) {
      fail(report, path + " could not be removed", folder);
    }
    return;
  }
  if (contents == Contents::linksOnly && !resetKept) {
    return;
  }
  // A security that cannot be read is no proof of a plant: records are not dropped on a doubt.
  const auto found = entry->security();
  if (!found) {
    return;
  }
  if (contents == Contents::linksOnly || trusted(found->owner)) {
    if (resetKept) {
      // Kept, with its owner, but its list came from a folder anyone could write: it gets the
      // folder's rules. Taking the folder back changed nothing below it, so each child the
      // guard has judged is set here, one by one.
      SecurityState kept = dataFolderSecurity(contents == Contents::linksOnly);
      kept.owner = found->owner;
      if (entry->kind() == EntryKind::file) {
        for (auto& rule : kept.rules) {
          rule.flags = 0;
        }
      }
      if (!entry->secure(kept)) {
        fail(report, path + " could not be taken back", folder);
      }
    }
    return;
  }
  warn(report, path + " was put there by " + found->owner + ", removed");
  bool removed = false;
  if (entry->kind() == EntryKind::directory) {
    // Let go first: the sweep opens it again, and the parent, already taken back, keeps its
    // owner from renaming it away meanwhile.
    entry.reset();
    sweepTree(access, path);
    removed = !access.open(path);
  } else {
    removed = entry->remove();
  }
  if (!removed) {
    fail(report, path + " could not be removed", folder);
  }
}

void DataFolderGuard::checkContents(const Folder& folder, const std::string& path, Contents contents,
                                    GuardReport& report) {
  for (const auto& name : folder.names) {
    checkEntry(path, name, contents, folder.takenBack, report);
  }
}

void sweepTree(FolderSecurity& access, const std::string& path) { sweep(access, path, 0); }

}  // namespace ostrivel
