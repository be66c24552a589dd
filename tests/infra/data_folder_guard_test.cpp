// The data folder's guard and the uninstall sweep over a file tree in memory: squatted folders,
// foreign access lists, links where folders and files belong, and the sweep past links.
#include "infra/data_folder_guard.h"

#include <gtest/gtest.h>

#include "infra/logger.h"
#include "support/in_memory_folder_security.h"

namespace ostrivel {
namespace {

using testing::InMemoryFolderSecurity;
using testing::securityOwnedBy;

const std::string kProgramData = "C:\\ProgramData";
const std::string kData = "C:\\ProgramData\\Ostrivel";
const std::string kUser = "S-1-5-21-7-7-7-1001";  // a standard user
const std::vector<std::string> kFolders = {
    kData, kData + "\\logs", kData + "\\logs\\service", kData + "\\logs\\ui", kData + "\\outbox", kData + "\\history"};

// ProgramData as Windows ships it: Users may create folders and files in it.
SecurityState programDataSecurity() {
  SecurityState state = securityOwnedBy(kSidSystem);
  state.rules.push_back({AccessRule::Type::allow, kSidUsers, 0x00100116, kInheritToFilesAndFolders});
  return state;
}

SecurityState squatted() {
  SecurityState state = securityOwnedBy(kUser);
  state.rules.push_back({AccessRule::Type::allow, "S-1-1-0", kAccessFull, kInheritToFilesAndFolders});
  return state;
}

std::vector<std::string> messages(const GuardReport& report, std::uint32_t level) {
  std::vector<std::string> out;
  for (const auto& finding : report.findings) {
    if (finding.level == level) {
      out.push_back(finding.message);
    }
  }
  return out;
}

void expectAgentFolders(const InMemoryFolderSecurity& disk) {
  for (const auto& folder : kFolders) {
    SCOPED_TRACE(folder);
    ASSERT_EQ(disk.kindAt(folder), EntryKind::directory);
    const auto security = disk.securityAt(folder);
    ASSERT_TRUE(security);
    EXPECT_EQ(security->owner, kSidAdministrators);
    EXPECT_TRUE(sameAccessList(*security, dataFolderSecurity(folder == kData + "\\logs\\ui")));
  }
}

class DataFolderGuardTest : public ::testing::Test {
 protected:
  void SetUp() override { disk.addFolder(kProgramData, programDataSecurity()); }
  GuardReport secure(std::vector<std::string> trusted = {}, const std::string& tag = "[main] ") {
    DataFolderGuard guard(disk, std::move(trusted), tag);
    return guard.secure(kData);
  }
  InMemoryFolderSecurity disk;
};

TEST(DataFolderSecurity, GivesUsersReadEverywhereAndModifyOnlyWhereTheyLog) {
  const SecurityState folder = dataFolderSecurity(false);
  EXPECT_EQ(folder.owner, kSidAdministrators);
  EXPECT_TRUE(folder.protectedList);
  const std::vector<AccessRule> expected = {
      {AccessRule::Type::allow, kSidSystem, 0x1F01FF, 0x03},
      {AccessRule::Type::allow, kSidAdministrators, 0x1F01FF, 0x03},
      {AccessRule::Type::allow, kSidUsers, 0x1200A9, 0x03},
  };
  EXPECT_EQ(folder.rules, expected);
  EXPECT_EQ(dataFolderSecurity(true).rules[2].mask, 0x1301BFu);

  // The order of the rules does not matter; protection, a missing list and any extra rule do.
  SecurityState shuffled = folder;
  std::swap(shuffled.rules[0], shuffled.rules[2]);
  EXPECT_TRUE(sameAccessList(shuffled, folder));
  SecurityState inherited = folder;
  inherited.protectedList = false;
  EXPECT_FALSE(sameAccessList(inherited, folder));
  SecurityState nullList = folder;
  nullList.hasList = false;
  EXPECT_FALSE(sameAccessList(nullList, folder));
  SecurityState denied = folder;
  denied.rules.push_back({AccessRule::Type::deny, kSidUsers, 0x10000, 0});
  EXPECT_FALSE(sameAccessList(denied, folder));
  EXPECT_FALSE(sameAccessList(dataFolderSecurity(true), folder));
}

TEST(DataFolderSecurity, CountsOnlyNameSurrogateReparsePointsAsLinks) {
  EXPECT_TRUE(reparseTagIsLink(0xA000000C));   // symbolic link
  EXPECT_TRUE(reparseTagIsLink(0xA0000003));   // junction (mount point)
  EXPECT_TRUE(reparseTagIsLink(0));            // what Wine reports for a Unix symbolic link
  EXPECT_FALSE(reparseTagIsLink(0x80000013));  // deduplicated file
  EXPECT_FALSE(reparseTagIsLink(0x9000701A));  // cloud file
  EXPECT_FALSE(reparseTagIsLink(0x8000001B));  // app execution alias
}

TEST_F(DataFolderGuardTest, CreatesEveryFolderWithItsSecurityAndReportsNothing) {
  const GuardReport report = secure();
  EXPECT_TRUE(report.unsecured.empty());
  EXPECT_TRUE(report.findings.empty());
  expectAgentFolders(disk);
  EXPECT_EQ(disk.heldCount(), 0);

  // A second start finds everything as it left it.
  const GuardReport again = secure();
  EXPECT_TRUE(again.unsecured.empty());
  EXPECT_TRUE(again.findings.empty());
}

TEST_F(DataFolderGuardTest, TakesBackASquattedFolderAndRemovesWhatTheSquatterPlanted) {
  disk.addFolder(kData, squatted());
  disk.addFolder(kData + "\\outbox", squatted());
  disk.addFile(kData + "\\identity.json", kUser, R"({"environment":"prd","token":"osv_theirs"})");
  disk.addFile(kData + "\\outbox\\events20260105000001.json", kUser, "{}");
  disk.addFolder(kData + "\\outbox\\nested", squatted());
  disk.addFile(kData + "\\outbox\\nested\\deep.json", kUser, "{}");
  // Records the agent wrote before (SYSTEM's) stay; so do the users' own day logs.
  disk.addFile(kData + "\\outbox\\days202601050000.json", kSidSystem, "{}");
  disk.addFolder(kData + "\\logs\\ui", squatted());
  disk.addFile(kData + "\\logs\\ui\\20260105.log", kUser, "a line");

  const GuardReport report = secure({}, "[ui] ");  // as an elevated user verb runs it
  EXPECT_TRUE(report.unsecured.empty());
  EXPECT_EQ(messages(report, kLevelWarn),
            (std::vector<std::string>{
                "[ui] " + kData + " was owned by " + kUser + ", taken back",
                "[ui] " + kData + "\\identity.json was put there by " + kUser + ", removed",
                "[ui] " + kData + "\\logs was owned by " + kUser + ", taken back",
                "[ui] " + kData + "\\logs\\ui was owned by " + kUser + ", taken back",
                "[ui] " + kData + "\\outbox was owned by " + kUser + ", taken back",
                "[ui] " + kData + "\\outbox\\events20260105000001.json was put there by " + kUser + ", removed",
                "[ui] " + kData + "\\outbox\\nested was put there by " + kUser + ", removed",
            }));
  EXPECT_TRUE(messages(report, kLevelError).empty());
  expectAgentFolders(disk);
  EXPECT_FALSE(disk.kindAt(kData + "\\identity.json"));
  EXPECT_EQ(disk.names(kData + "\\outbox"), std::vector<std::string>{"days202601050000.json"});
  // The record kept no longer carries the squatter's "everyone" rule; it stays SYSTEM's.
  const auto kept = disk.securityAt(kData + "\\outbox\\days202601050000.json");
  EXPECT_EQ(kept->owner, kSidSystem);
  EXPECT_TRUE(kept->protectedList);
  EXPECT_EQ(kept->rules.size(), 3u);
  EXPECT_EQ(kept->rules[2], (AccessRule{AccessRule::Type::allow, kSidUsers, kAccessReadExecute, 0}));
  EXPECT_EQ(disk.names(kData + "\\logs\\ui"), std::vector<std::string>{"20260105.log"});
  // A user's day log keeps its owner and gets the folder's rules: nothing propagated them to it.
  const auto log = disk.securityAt(kData + "\\logs\\ui\\20260105.log");
  EXPECT_EQ(log->owner, kUser);
  ASSERT_EQ(log->rules.size(), 3u);
  EXPECT_EQ(log->rules[2], (AccessRule{AccessRule::Type::allow, kSidUsers, kAccessModify, 0}));
  EXPECT_EQ(disk.heldCount(), 0);
}

TEST_F(DataFolderGuardTest, ResetsAForeignAccessListButKeepsTheAgentsFiles) {
  SecurityState loosened = dataFolderSecurity(false);
  loosened.rules.push_back({AccessRule::Type::allow, kSidUsers, kAccessModify, kInheritToFilesAndFolders});
  disk.addFolder(kData, dataFolderSecurity(false));
  disk.addFolder(kData + "\\history", loosened);
  SecurityState unprotected = dataFolderSecurity(false);
  unprotected.protectedList = false;
  disk.addFolder(kData + "\\logs", unprotected);
  disk.addFile(kData + "\\history\\days202601050000.json", kSidAdministrators, "{}");
  disk.addFile(kData + "\\identity.json", kSidSystem, "{}");

  const GuardReport report = secure();
  EXPECT_TRUE(report.unsecured.empty());
  EXPECT_EQ(messages(report, kLevelWarn),
            (std::vector<std::string>{"[main] " + kData + "\\logs had another access list, taken back",
                                      "[main] " + kData + "\\history had another access list, taken back"}));
  expectAgentFolders(disk);
  EXPECT_EQ(disk.contentAt(kData + "\\identity.json"), "{}");
  EXPECT_EQ(disk.securityAt(kData + "\\identity.json")->rules.size(), 1u);  // its folder was fine
  EXPECT_EQ(disk.names(kData + "\\history"), std::vector<std::string>{"days202601050000.json"});
  EXPECT_EQ(disk.securityAt(kData + "\\history\\days202601050000.json")->rules.size(), 3u);
}

TEST_F(DataFolderGuardTest, TrustsTheElevatedAccountRunningIt) {
  const std::string admin = "S-1-5-21-7-7-7-500";
  disk.addFolder(kData, dataFolderSecurity(false));
  disk.addFile(kData + "\\identity.json", admin, "{}");
  const GuardReport report = secure({admin});
  EXPECT_TRUE(report.findings.empty());
  EXPECT_EQ(disk.contentAt(kData + "\\identity.json"), "{}");
}

TEST_F(DataFolderGuardTest, RemovesAJunctionInPlaceOfTheOutboxWithoutTouchingItsTarget) {
  const std::string system32 = "C:\\Windows\\System32";
  disk.addFolder(system32, securityOwnedBy("S-1-5-80-956008885"));
  disk.addFile(system32 + "\\drivers.json", kSidSystem, "system");
  disk.addFolder(kData, dataFolderSecurity(false));
  disk.addLink(kData + "\\outbox", system32);

  const GuardReport report = secure();
  EXPECT_TRUE(report.unsecured.empty());
  EXPECT_EQ(messages(report, kLevelWarn),
            std::vector<std::string>{"[main] " + kData + "\\outbox was a link, removed without following it"});
  expectAgentFolders(disk);
  EXPECT_TRUE(disk.names(kData + "\\outbox").empty());
  // Neither taken over nor emptied.
  EXPECT_EQ(disk.securityAt(system32)->owner, "S-1-5-80-956008885");
  EXPECT_EQ(disk.contentAt(system32 + "\\drivers.json"), "system");
}

TEST_F(DataFolderGuardTest, RemovesLinksInsideTheFoldersAsLinks) {
  const std::string secrets = "C:\\Users\\other\\AppData";
  disk.addFolder(secrets, securityOwnedBy("S-1-5-21-7-7-7-1002"));
  disk.addFile(secrets + "\\keys.json", "S-1-5-21-7-7-7-1002", "secret");
  disk.addFile("C:\\Windows\\win.ini", kSidSystem, "ini");
  disk.addFolder(kData, dataFolderSecurity(false));
  disk.addFolder(kData + "\\history", dataFolderSecurity(false));
  disk.addFile(kData + "\\history\\days202601050000.json", kSidSystem, "{}");
  disk.addLink(kData + "\\history\\days202601050010.json", secrets + "\\keys.json");
  disk.addLink(kData + "\\history\\old", secrets);
  disk.addHardLink(kData + "\\history\\days202601050020.json", "C:\\Windows\\win.ini");
  disk.addLink(kData + "\\identity.json", secrets + "\\keys.json");
  disk.addFolder(kData + "\\logs", dataFolderSecurity(false));
  disk.addFolder(kData + "\\logs\\ui", dataFolderSecurity(true));
  disk.addLink(kData + "\\logs\\ui\\20260105.log", "C:\\Windows\\win.ini");

  const GuardReport report = secure();
  EXPECT_TRUE(report.unsecured.empty());
  EXPECT_EQ(messages(report, kLevelWarn).size(), 5u);
  for (const auto& message : messages(report, kLevelWarn)) {
    EXPECT_NE(message.find(" was a link, removed without following it"), std::string::npos) << message;
  }
  EXPECT_EQ(disk.names(kData + "\\history"), std::vector<std::string>{"days202601050000.json"});
  EXPECT_FALSE(disk.kindAt(kData + "\\identity.json"));
  EXPECT_TRUE(disk.names(kData + "\\logs\\ui").empty());
  EXPECT_EQ(disk.contentAt(secrets + "\\keys.json"), "secret");
  EXPECT_EQ(disk.kindAt("C:\\Windows\\win.ini"), EntryKind::file);  // its second name is gone
  EXPECT_EQ(disk.contentAt("C:\\Windows\\win.ini"), "ini");
}

TEST_F(DataFolderGuardTest, ReplacesTheDataFolderItselfWhenItIsALinkOrAFile) {
  disk.addFolder("C:\\Windows", securityOwnedBy(kSidSystem));
  disk.addLink(kData, "C:\\Windows");
  GuardReport report = secure();
  EXPECT_EQ(messages(report, kLevelWarn),
            std::vector<std::string>{"[main] " + kData + " was a link, removed without following it"});
  expectAgentFolders(disk);
  EXPECT_TRUE(disk.names("C:\\Windows").empty());
  EXPECT_EQ(disk.securityAt("C:\\Windows")->owner, kSidSystem);

  InMemoryFolderSecurity other;
  other.addFolder(kProgramData, programDataSecurity());
  other.addFile(kData + "\\outbox", kUser, "not a folder");
  DataFolderGuard guard(other, {}, "[main] ");
  report = guard.secure(kData);
  EXPECT_EQ(messages(report, kLevelWarn),
            (std::vector<std::string>{"[main] " + kData + " was owned by " + kUser + ", taken back",
                                      "[main] " + kData + "\\outbox was a file where a folder belongs, removed"}));
  EXPECT_EQ(other.kindAt(kData + "\\outbox"), EntryKind::directory);
}

TEST_F(DataFolderGuardTest, LooksAgainAtAFolderItsOwnerTurnedIntoALinkWhileItWasTakenBack) {
  disk.addFolder("C:\\Users\\other", securityOwnedBy("S-1-5-21-7-7-7-1002"));
  disk.addFile("C:\\Users\\other\\notes.json", "S-1-5-21-7-7-7-1002", "notes");
  disk.addFolder(kData, dataFolderSecurity(false));
  disk.addFolder(kData + "\\history", squatted());
  bool turned = false;
  disk.setFault([&](testing::FolderOp op, const std::string& path) {
    if (op == testing::FolderOp::secure && path == kData + "\\history" && !turned) {
      turned = true;
      disk.addLink(path, "C:\\Users\\other");  // the squatter's junction, a moment too late
    }
    return false;
  });
  const GuardReport report = secure();
  EXPECT_EQ(report.unsecured, std::vector<std::string>{kData + "\\history"});
  EXPECT_EQ(messages(report, kLevelWarn).back(),
            "[main] " + kData + "\\history became a link while it was taken back, removed without following it");
  EXPECT_FALSE(disk.kindAt(kData + "\\history"));
  EXPECT_EQ(disk.contentAt("C:\\Users\\other\\notes.json"), "notes");  // not judged, not removed

  // The next start makes it anew.
  disk.setFault(nullptr);
  EXPECT_TRUE(secure().unsecured.empty());
  expectAgentFolders(disk);
}

TEST_F(DataFolderGuardTest, ReportsWhatItCouldNotDoAndGoesOnWithTheRest) {
  disk.addFolder(kData, squatted());
  disk.addLink(kData + "\\history", "C:\\Windows");
  disk.addFolder("C:\\Windows", securityOwnedBy(kSidSystem));
  disk.addFile(kData + "\\identity.json", kUser, "{}");
  disk.setFault([&](testing::FolderOp op, const std::string& path) {
    return (op == testing::FolderOp::secure && path == kData) ||
           (op == testing::FolderOp::remove && path == kData + "\\history") ||
           (op == testing::FolderOp::security && path == kData + "\\identity.json") ||
           (op == testing::FolderOp::createDirectory && path == kData + "\\logs") ||
           (op == testing::FolderOp::list && path == kData + "\\outbox");  // another handle shares no reading
  });
  const GuardReport report = secure();
  EXPECT_EQ(messages(report, kLevelError),
            (std::vector<std::string>{"[main] " + kData + " could not be taken back",
                                      "[main] " + kData + "\\logs could not be created",
                                      "[main] " + kData + "\\outbox could not be looked into",
                                      "[main] " + kData + "\\history could not be removed"}));
  // What the agent must not write into until a later run secures it.
  EXPECT_EQ(report.unsecured,
            (std::vector<std::string>{kData, kData + "\\logs", kData + "\\outbox", kData + "\\history"}));
  // An owner that cannot be read is no proof of a plant; the outbox was still made.
  EXPECT_EQ(disk.contentAt(kData + "\\identity.json"), "{}");
  EXPECT_EQ(disk.kindAt(kData + "\\outbox"), EntryKind::directory);
  EXPECT_EQ(disk.kindAt(kData + "\\history"), EntryKind::link);
  EXPECT_EQ(disk.heldCount(), 0);
}

TEST(SweepTree, RemovesEverythingAndLinksAsLinksNeverWhatTheyName) {
  InMemoryFolderSecurity disk;
  disk.addFolder("C:\\Windows\\System32", securityOwnedBy(kSidSystem));
  disk.addFile("C:\\Windows\\System32\\kernel32.dll", kSidSystem, "code");
  disk.addFile("C:\\Windows\\win.ini", kSidSystem, "ini");
  disk.addFolder(kData + "\\logs\\ui", dataFolderSecurity(true));
  disk.addFile(kData + "\\logs\\ui\\20260105.log", kUser, "line");
  disk.addLink(kData + "\\logs\\ui\\trap", "C:\\Windows\\System32");
  disk.addLink(kData + "\\logs\\ui\\20260106.log", "C:\\Windows\\win.ini");
  disk.addHardLink(kData + "\\logs\\ui\\20260107.log", "C:\\Windows\\win.ini");
  disk.addFile(kData + "\\identity.json", kSidSystem, "{}");
  disk.addFolder(kData + "\\outbox", dataFolderSecurity(false));

  sweepTree(disk, kData);
  EXPECT_FALSE(disk.kindAt(kData));
  EXPECT_EQ(disk.names("C:\\Windows\\System32"), std::vector<std::string>{"kernel32.dll"});
  EXPECT_EQ(disk.contentAt("C:\\Windows\\win.ini"), "ini");
  EXPECT_EQ(disk.heldCount(), 0);

  // The data folder itself a link: only the link goes.
  disk.addLink(kData, "C:\\Windows\\System32");
  sweepTree(disk, kData);
  EXPECT_FALSE(disk.kindAt(kData));
  EXPECT_EQ(disk.names("C:\\Windows\\System32"), std::vector<std::string>{"kernel32.dll"});

  // Nothing there at all: nothing happens.
  sweepTree(disk, kData);
}

TEST(SweepTree, LeavesWhatCannotBeRemovedAndStopsFarBelowTheAgentsFolders) {
  InMemoryFolderSecurity disk;
  disk.addFile(kData + "\\logs\\service\\20260105.log", kSidSystem, "held open");
  disk.addFile(kData + "\\outbox\\days202601050000.json", kSidSystem, "{}");
  std::string deep = kData + "\\logs\\ui";
  for (int level = 0; level < 40; ++level) {
    deep += "\\d";
  }
  disk.addFile(deep + "\\bottom.log", kUser, "");
  disk.setFault([](testing::FolderOp op, const std::string& path) {
    return op == testing::FolderOp::remove && path.find("20260105.log") != std::string::npos;
  });
  sweepTree(disk, kData);
  EXPECT_EQ(disk.kindAt(kData + "\\logs\\service\\20260105.log"), EntryKind::file);
  EXPECT_FALSE(disk.kindAt(kData + "\\outbox"));
  EXPECT_EQ(disk.kindAt(deep + "\\bottom.log"), EntryKind::file);
  EXPECT_EQ(disk.heldCount(), 0);
}

}  // namespace
}  // namespace ostrivel
