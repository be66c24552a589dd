// The data folder's guard and the uninstall sweep over a file tree in memory: squatted folders,
// foreign access lists, links and plants, failures and the next start, and where the sweep stops.
#include "infra/data_folder_guard.h"

#include <gtest/gtest.h>

#include <set>

#include "infra/logger.h"
#include "support/in_memory_folder_security.h"

namespace ostrivel {
namespace {

using testing::FolderOp;
using testing::ownedBy;

const std::string kData = "C:\\ProgramData\\Ostrivel";
const std::string kUser = "S-1-5-21-7-7-7-1001";  // a standard user
constexpr EntryKind kFolder = EntryKind::directory, kFile = EntryKind::file, kLink = EntryKind::link;

// Every finding as "[level] text", in order.
std::vector<std::string> findings(const GuardReport& report) {
  std::vector<std::string> out;
  for (const auto& finding : report.findings) {
    out.push_back(std::string(levelTag(finding.level)) + " " + finding.message);
  }
  return out;
}

class DataFolderGuardTest : public ::testing::Test {
 protected:
  GuardReport secure(std::vector<std::string> trusted = {}, const std::string& tag = "[main] ") {
    return DataFolderGuard(disk, std::move(trusted), tag).secure(kData);
  }
  void expectAgentFolders() {
    for (const std::string name : {"", "\\logs", "\\logs\\service", "\\logs\\ui", "\\outbox", "\\history"}) {
      ASSERT_EQ(disk.kindAt(kData + name), kFolder) << name;
      EXPECT_EQ(disk.securityAt(kData + name)->owner, kSidAdministrators) << name;
      EXPECT_TRUE(sameAccessList(*disk.securityAt(kData + name), dataFolderSecurity(name == "\\logs\\ui"))) << name;
    }
  }
  testing::InMemoryFolderSecurity disk;
};

TEST(DataFolderSecurity, UsersModifyOnlyWhereTheyLogAndOnlyNameSurrogatesAreLinks) {
  const SecurityState folder = dataFolderSecurity(false);
  // The order of the rules does not matter; a missing list (everyone may do everything) does.
  SecurityState shuffled = folder, missing = folder;
  std::swap(shuffled.rules[0], shuffled.rules[2]);
  missing.hasList = false;
  EXPECT_TRUE(sameAccessList(shuffled, folder));
  EXPECT_FALSE(sameAccessList(missing, folder));
  // Symbolic links, junctions and Wine's tag 0 for a Unix link; not deduplicated or cloud files
  // or app execution aliases.
  const std::pair<std::uint32_t, bool> tags[] = {{0xA000000C, true},  {0xA0000003, true},  {0, true},
                                                 {0x80000013, false}, {0x9000701A, false}, {0x8000001B, false}};
  for (const auto& [tag, link] : tags) {
    EXPECT_EQ(reparseTagIsLink(tag), link) << tag;
  }
}

TEST_F(DataFolderGuardTest, TakesBackFoldersRemovesLinksAndPlantsAndKeepsTheAgentsFiles) {
  const std::string admin = "S-1-5-21-7-7-7-500";  // the elevated account running it
  SecurityState unprotected = dataFolderSecurity(false);
  unprotected.protectedList = false;
  disk.add(kData, kFolder, ownedBy(kUser));
  disk.add(kData + "\\identity.json", kFile, ownedBy(kUser));
  disk.add(kData + "\\logs", kFolder, unprotected);
  disk.add(kData + "\\logs\\service", kFolder, dataFolderSecurity(false));
  disk.add(kData + "\\logs\\service\\20260105.log", kFile, ownedBy(kSidSystem));
  disk.add(kData + "\\logs\\service\\20260106.log", kFile, ownedBy(kUser));
  // A user's own day log stays, as do records the agent wrote.
  disk.add(kData + "\\logs\\ui\\20260105.log", kFile, ownedBy(kUser));
  disk.add(kData + "\\logs\\ui\\20260106.log", kLink, ownedBy(kUser));
  disk.add(kData + "\\outbox", kLink, ownedBy(kUser));
  disk.add(kData + "\\history", kFolder, ownedBy(kUser));
  disk.add(kData + "\\history\\days202601050000.json", kFile, ownedBy(kSidSystem));
  disk.add(kData + "\\history\\days202601050010.json", kFile, ownedBy(admin));
  disk.add(kData + "\\history\\days202601050020.json", kFile, ownedBy(kUser));
  disk.add(kData + "\\history\\nested\\deep.json", kFile, ownedBy(kUser));

  const std::string was = "[warn] [ui] " + kData;
  EXPECT_EQ(findings(secure({admin}, "[ui] ")),
            (std::vector<std::string>{
                was + " was owned by " + kUser + ", taken back",
                was + "\\identity.json was put there by " + kUser + ", removed",
                was + "\\logs had another access list, taken back",
                was + "\\logs\\service\\20260106.log was put there by " + kUser + ", removed",
                was + "\\logs\\ui was owned by " + kUser + ", taken back",
                was + "\\logs\\ui\\20260106.log was a link, removed without following it",
                was + "\\outbox was a link, removed without following it",
                was + "\\history was owned by " + kUser + ", taken back",
                was + "\\history\\days202601050020.json was put there by " + kUser + ", removed",
                was + "\\history\\nested was put there by " + kUser + ", removed",
            }));
  expectAgentFolders();
  EXPECT_EQ(disk.names(kData), (std::vector<std::string>{"history", "logs", "outbox"}));
  EXPECT_EQ(disk.names(kData + "\\history"),
            (std::vector<std::string>{"days202601050000.json", "days202601050010.json"}));
  // What stays keeps its owner, and gets the folder's rules, inherited by nothing, where anyone
  // could write before.
  const auto record = disk.securityAt(kData + "\\history\\days202601050000.json");
  EXPECT_EQ(record->owner, kSidSystem);
  EXPECT_TRUE(record->protectedList);
  EXPECT_EQ(record->rules.back(), (AccessRule{AccessRule::Type::allow, kSidUsers, kAccessReadExecute, 0}));
  EXPECT_EQ(disk.securityAt(kData + "\\logs\\ui\\20260105.log")->rules.back(),
            (AccessRule{AccessRule::Type::allow, kSidUsers, kAccessModify, 0}));
  EXPECT_EQ(disk.securityAt(kData + "\\logs\\service\\20260105.log")->rules, ownedBy(kSidSystem).rules);
  EXPECT_TRUE(secure({admin}).findings.empty());
}

TEST_F(DataFolderGuardTest, ReportsWhatItCouldNotDoGoesOnAndTheNextStartsMendIt) {
  disk.add(kData, kFolder, ownedBy(kUser));
  disk.add(kData + "\\identity.json", kFile, ownedBy(kUser));
  disk.add(kData + "\\logs\\service", kFolder, dataFolderSecurity(false));
  disk.add(kData + "\\outbox", kLink, ownedBy(kUser));
  const std::set<std::pair<FolderOp, std::string>> failing = {
      {FolderOp::secure, kData},
      {FolderOp::security, kData + "\\identity.json"},  // no proof of a plant: kept
      {FolderOp::list, kData + "\\logs\\service"},      // another handle shares no reading
      {FolderOp::createDirectory, kData + "\\logs\\ui"},
      {FolderOp::remove, kData + "\\outbox"},
      {FolderOp::open, kData + "\\history"},
  };
  disk.fault = [&](FolderOp op, const std::string& path) { return failing.count({op, path}) > 0; };
  GuardReport report = secure();
  const std::string error = "[error] [main] " + kData;
  EXPECT_EQ(findings(report), (std::vector<std::string>{
                                  "[warn] [main] " + kData + " was owned by " + kUser + ", taken back",
                                  error + " could not be taken back",
                                  error + "\\logs\\service could not be looked into",
                                  error + "\\logs\\ui could not be created",
                                  "[warn] [main] " + kData + "\\outbox was a link, removed without following it",
                                  error + "\\outbox could not be removed",
                                  error + "\\history could not be opened",
                              }));
  // Where the agent must not write until a later start secures it.
  EXPECT_EQ(report.unsecured, (std::vector<std::string>{kData, kData + "\\logs\\service", kData + "\\logs\\ui",
                                                        kData + "\\outbox", kData + "\\history"}));
  EXPECT_EQ(disk.kindAt(kData + "\\identity.json"), EntryKind::file);

  // Its owner turns a folder into a junction a moment too late: it is looked at again.
  disk.add(kData + "\\history", kFolder, ownedBy(kUser));
  disk.fault = [&](FolderOp op, const std::string& path) {
    if (op == FolderOp::secure && path == kData + "\\history" && disk.kindAt(path) == EntryKind::directory) {
      disk.add(path, kLink, ownedBy(kUser));
    }
    return false;
  };
  report = secure();
  EXPECT_EQ(report.unsecured, std::vector<std::string>{kData + "\\history"});
  EXPECT_EQ(findings(report).back(), error + "\\history is left to the next start");
  EXPECT_FALSE(disk.kindAt(kData + "\\history"));

  disk.fault = nullptr;
  EXPECT_TRUE(secure().findings.empty());
  expectAgentFolders();
}

TEST(SweepTree, LeavesWhatItCannotRemoveAndWhatLiesFarBelowTheAgentsFolders) {
  testing::InMemoryFolderSecurity disk;
  disk.add(kData + "\\logs\\service\\20260105.log", kFile, ownedBy(kSidSystem));
  disk.add(kData + "\\outbox\\days202601050000.json", kFile, ownedBy(kSidSystem));
  // The limit falls between these two, far deeper than the agent's folders go.
  std::string deep = kData;
  for (int level = 0; level < 31; ++level) {
    deep += "\\d";
  }
  disk.add(deep + "\\edge.log", kFile, ownedBy(kUser));
  disk.add(deep + "\\d\\bottom.log", kFile, ownedBy(kUser));
  disk.fault = [](FolderOp op, const std::string& path) {  // a day log held open by someone
    return op == FolderOp::remove && path.find("service\\") != std::string::npos;
  };
  sweepTree(disk, kData);
  EXPECT_EQ(disk.names(kData), (std::vector<std::string>{"d", "logs"}));
  EXPECT_EQ(disk.names(kData + "\\logs"), std::vector<std::string>{"service"});
  EXPECT_EQ(disk.names(kData + "\\logs\\service"), std::vector<std::string>{"20260105.log"});
  EXPECT_FALSE(disk.kindAt(deep + "\\edge.log"));
  EXPECT_EQ(disk.kindAt(deep + "\\d\\bottom.log"), EntryKind::file);
}

}  // namespace
}  // namespace ostrivel
