// The credential file and the move of a legacy registry credential into it.
#include "enrolment/identity_store.h"

#include <gtest/gtest.h>

#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"

namespace ostrivel {

void PrintTo(const Identity& identity, std::ostream* out) {
  *out << "{" << identity.id << ", " << identity.name << ", " << identity.token << "}";
}

namespace {

using testing::FsOp;
using testing::InMemoryFileSystem;
using testing::InMemoryRegistry;

const std::string kDataDir = "C:\\ProgramData\\Ostrivel";
const std::string kIdentityFile = kDataDir + "\\identity.json";

void seedLegacy(InMemoryRegistry& registry, const std::string& scope, const std::string& token) {
  registry.seed(scope, "Token", token);
  registry.seed(scope, "AgentId", scope + "-id");
  registry.seed(scope, "AgentName", scope + "-pc");
}

std::string fileWith(const std::string& members) { return "{" + members + "}"; }

TEST(IdentityToken, NeedsThePrefixAndAtLeastOneAllowedCharacter) {
  for (const std::string& good : std::vector<std::string>{"osv_a", "osv_AZaz09-_", "osv_" + std::string(500, 'x')}) {
    EXPECT_TRUE(isValidToken(good)) << good;
  }
  for (const std::string& bad : std::vector<std::string>{"", "osv_", "osv", "OSV_abc", "abc_osv_x", "osv_a.b", "osv_a b", "osv_\xC3\xA9",
                                "osv_a\n", std::string("osv_a\0b", 7)}) {
    EXPECT_FALSE(isValidToken(bad)) << bad;
  }
}

TEST(IdentityStore, SavesOneMemberPerLineInKeyOrderAndLoadsItBack) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  IdentityStore store(files, registry, kDataDir);
  EXPECT_EQ(store.loadIdentity(), std::nullopt);

  const Identity identity{"a-17", "PC-Caf\xC3\xA9", "osv_Tk-9_z"};
  ASSERT_TRUE(store.saveIdentity(identity));
  EXPECT_EQ(files.peek(kIdentityFile),
            "{\n"
            "\t\"environment\": \"prd\",\n"
            "\t\"id\": \"a-17\",\n"
            "\t\"name\": \"PC-Caf\xC3\xA9\",\n"
            "\t\"token\": \"osv_Tk-9_z\"\n"
            "}");
  const int callsBefore = registry.storeCalls();
  EXPECT_EQ(store.loadIdentity(), identity);
  EXPECT_EQ(registry.storeCalls(), callsBefore);  // a good file never sends it to the legacy values
}

TEST(IdentityStore, LoadsAFileThatStartsWithAByteOrderMark) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  files.putFile(kIdentityFile, "\xEF\xBB\xBF" + fileWith(R"("environment":"prd","id":"7","name":"pc","token":"osv_q")"));
  IdentityStore store(files, registry, kDataDir);
  EXPECT_EQ(store.loadIdentity(), (Identity{"7", "pc", "osv_q"}));
}

TEST(IdentityStore, AFileOfAnotherEnvironmentHidesAValidLegacyCredential) {
  for (const std::string members : {R"("environment":"dev","id":"1","name":"pc","token":"osv_ok")",
                                    R"("id":"1","name":"pc","token":"osv_ok")",
                                    R"("environment":"PRD","id":"1","name":"pc","token":"osv_ok")",
                                    R"("environment":1,"token":"osv_ok")"}) {
    InMemoryFileSystem files;
    InMemoryRegistry registry;
    files.putFile(kIdentityFile, fileWith(members));
    seedLegacy(registry, "parameters", "osv_legacy");
    IdentityStore store(files, registry, kDataDir);
    EXPECT_EQ(store.loadIdentity(), std::nullopt) << members;
    EXPECT_EQ(files.peek(kIdentityFile), fileWith(members)) << "left untouched";
    EXPECT_EQ(registry.values("parameters").size(), 3u);
  }
}

TEST(IdentityStore, AnInvalidOrUnreadableFileFallsBackToTheLegacyCredential) {
  const std::string broken[] = {
      fileWith(R"("environment":"prd","id":"1","name":"pc","token":"osv_")"),
      fileWith(R"("environment":"prd","id":"1","name":"pc","token":"abc_def")"),
      fileWith(R"("environment":"prd","id":"1","name":"pc")"),
      R"({"environment":"prd",)",
      R"(["environment","prd"])",
      "",
  };
  for (const auto& text : broken) {
    InMemoryFileSystem files;
    InMemoryRegistry registry;
    files.putFile(kIdentityFile, text);
    seedLegacy(registry, "parameters", "osv_legacy");
    IdentityStore store(files, registry, kDataDir);
    EXPECT_EQ(store.loadIdentity(), (Identity{"parameters-id", "parameters-pc", "osv_legacy"})) << text;
  }

  InMemoryFileSystem locked;
  InMemoryRegistry registry;
  locked.putFile(kIdentityFile, fileWith(R"("environment":"prd","token":"osv_file")"));
  locked.setFault([](FsOp op, const std::string&) { return op == FsOp::read; });
  seedLegacy(registry, "secure", "osv_legacy");
  EXPECT_EQ(IdentityStore(locked, registry, kDataDir).loadIdentity(), (Identity{"secure-id", "secure-pc", "osv_legacy"}));
}

TEST(IdentityStore, MovesASecureLegacyCredentialIntoTheFileAndErasesAllSixValues) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  seedLegacy(registry, "parameters", "osv_bad token");
  seedLegacy(registry, "secure", "osv_Secure1");
  registry.seed("parameters", "AgentState", "ok");
  IdentityStore store(files, registry, kDataDir);

  const Identity expected{"secure-id", "secure-pc", "osv_Secure1"};
  EXPECT_EQ(store.loadIdentity(), expected);
  EXPECT_EQ(files.peek(kIdentityFile),
            "{\n\t\"environment\": \"prd\",\n\t\"id\": \"secure-id\",\n\t\"name\": \"secure-pc\",\n"
            "\t\"token\": \"osv_Secure1\"\n}");
  EXPECT_TRUE(registry.values("secure").empty());
  EXPECT_EQ(registry.values("parameters"), (std::map<std::string, std::string>{{"AgentState", "ok"}}));
  EXPECT_EQ(store.loadIdentity(), expected);  // now from the file
}

TEST(IdentityStore, TakesParametersFirstAndReadsMissingNamesAsEmpty) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  registry.seed("parameters", "Token", "osv_Params");
  seedLegacy(registry, "secure", "osv_Secure1");
  IdentityStore store(files, registry, kDataDir);
  EXPECT_EQ(store.loadIdentity(), (Identity{"", "", "osv_Params"}));
  EXPECT_TRUE(registry.values("secure").empty());
}

TEST(IdentityStore, KeepsTheLegacyValuesWhenTheFileCannotBeWritten) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  files.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  seedLegacy(registry, "secure", "osv_Secure1");
  IdentityStore store(files, registry, kDataDir);
  EXPECT_EQ(store.loadIdentity(), (Identity{"secure-id", "secure-pc", "osv_Secure1"}));
  EXPECT_EQ(registry.values("secure").size(), 3u);
  EXPECT_FALSE(files.exists(kIdentityFile));

  files.setFault(nullptr);
  EXPECT_EQ(store.loadIdentity(), (Identity{"secure-id", "secure-pc", "osv_Secure1"}));
  EXPECT_TRUE(registry.values("secure").empty());
}

TEST(IdentityStore, ClearRemovesTheFileAndEveryLegacyValue) {
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  IdentityStore store(files, registry, kDataDir);
  store.clearIdentity();  // nothing there: no harm

  ASSERT_TRUE(store.saveIdentity({"1", "pc", "osv_x"}));
  seedLegacy(registry, "parameters", "osv_p");
  seedLegacy(registry, "secure", "osv_s");
  registry.seed("parameters", "PendingNonce", "n");
  store.clearIdentity();
  EXPECT_FALSE(files.exists(kIdentityFile));
  EXPECT_TRUE(registry.values("secure").empty());
  EXPECT_EQ(registry.values("parameters"), (std::map<std::string, std::string>{{"PendingNonce", "n"}}));
  EXPECT_EQ(store.loadIdentity(), std::nullopt);
}

}  // namespace
}  // namespace ostrivel
