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
using Values = std::map<std::string, std::string>;

const std::string kDataDir = "C:\\ProgramData\\Ostrivel";
const std::string kIdentityFile = kDataDir + "\\identity.json";

struct Stores {
  // A credential in the scope's three legacy values, its id and name named after the scope.
  void seedLegacy(const std::string& scope, const std::string& token) {
    registry.seed(scope, "Token", token);
    registry.seed(scope, "AgentId", scope + "-id");
    registry.seed(scope, "AgentName", scope + "-pc");
  }
  testing::InMemoryFileSystem files;
  testing::InMemoryRegistry registry;
  IdentityStore store{files, registry, kDataDir};
};

TEST(IdentityToken, NeedsThePrefixAndAtLeastOneAllowedCharacter) {
  for (const std::string& good :
       std::initializer_list<std::string>{"osv_a", "osv_AZaz09-_", "osv_" + std::string(500, 'x')}) {
    EXPECT_TRUE(isValidToken(good)) << good;
  }
  for (const std::string& bad :
       std::initializer_list<std::string>{"", "osv_", "osv", "OSV_abc", "abc_osv_x", "osv_a.b", "osv_a b",
                                          "osv_\xC3\xA9", "osv_a\n", std::string("osv_a\0b", 7)}) {
    EXPECT_FALSE(isValidToken(bad)) << bad;
  }
}

TEST(IdentityStore, SavesOneMemberPerLineInKeyOrderAndLoadsItBackWithOrWithoutAByteOrderMark) {
  Stores s;
  EXPECT_EQ(s.store.loadIdentity(), std::nullopt);
  const Identity identity{"a-17", "PC-Caf\xC3\xA9", "osv_Tk-9_z"};
  ASSERT_TRUE(s.store.saveIdentity(identity));
  const std::string text =
      "{\n\t\"environment\": \"prd\",\n\t\"id\": \"a-17\",\n\t\"name\": \"PC-Caf\xC3\xA9\",\n"
      "\t\"token\": \"osv_Tk-9_z\"\n}";
  EXPECT_EQ(s.files.peek(kIdentityFile), text);
  s.seedLegacy("parameters", "osv_legacy");
  const int callsBefore = s.registry.storeCalls();
  EXPECT_EQ(s.store.loadIdentity(), identity);
  s.files.putFile(kIdentityFile, "\xEF\xBB\xBF" + text);
  EXPECT_EQ(s.store.loadIdentity(), identity);
  EXPECT_EQ(s.registry.storeCalls(), callsBefore);  // a good file never sends it to the legacy values
}

TEST(IdentityStore, AFileOfAnotherEnvironmentHidesAValidLegacyCredential) {
  for (const std::string members :
       {R"("environment":"dev","id":"1","name":"pc","token":"osv_ok")", R"("id":"1","name":"pc","token":"osv_ok")",
        R"("environment":"PRD","id":"1","name":"pc","token":"osv_ok")", R"("environment":1,"token":"osv_ok")"}) {
    Stores s;
    s.files.putFile(kIdentityFile, "{" + members + "}");
    s.seedLegacy("parameters", "osv_legacy");
    EXPECT_EQ(s.store.loadIdentity(), std::nullopt) << members;
    EXPECT_EQ(s.files.peek(kIdentityFile), "{" + members + "}") << "left untouched";
    EXPECT_EQ(s.registry.values("parameters").size(), 3u);
  }
}

TEST(IdentityStore, AnInvalidOrUnreadableFileFallsBackToTheLegacyCredential) {
  for (const std::string text :
       {R"({"environment":"prd","id":"1","name":"pc","token":"osv_"})",
        R"({"environment":"prd","id":"1","name":"pc","token":"abc_def"})",
        R"({"environment":"prd","id":"1","name":"pc"})", R"({"environment":"prd",)", R"(["environment","prd"])", ""}) {
    Stores s;
    s.files.putFile(kIdentityFile, text);
    s.seedLegacy("parameters", "osv_legacy");
    EXPECT_EQ(s.store.loadIdentity(), (Identity{"parameters-id", "parameters-pc", "osv_legacy"})) << text;
  }
  Stores locked;
  locked.files.putFile(kIdentityFile, R"({"environment":"prd","token":"osv_file"})");
  locked.files.setFault([](FsOp op, const std::string&) { return op == FsOp::read; });
  locked.seedLegacy("secure", "osv_legacy");
  EXPECT_EQ(locked.store.loadIdentity(), (Identity{"secure-id", "secure-pc", "osv_legacy"}));
}

TEST(IdentityStore, MovesALegacyCredentialIntoTheFileOnceItCanBeWrittenAndThenErasesAllSixValues) {
  Stores s;
  s.seedLegacy("parameters", "osv_bad token");
  s.seedLegacy("secure", "osv_Secure1");
  s.registry.seed("parameters", "AgentState", "ok");
  const Identity expected{"secure-id", "secure-pc", "osv_Secure1"};
  s.files.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  EXPECT_EQ(s.store.loadIdentity(), expected);
  EXPECT_EQ(s.registry.values("secure").size(), 3u);
  EXPECT_FALSE(s.files.exists(kIdentityFile));

  s.files.setFault(nullptr);
  EXPECT_EQ(s.store.loadIdentity(), expected);
  EXPECT_EQ(s.files.peek(kIdentityFile),
            "{\n\t\"environment\": \"prd\",\n\t\"id\": \"secure-id\",\n\t\"name\": \"secure-pc\",\n"
            "\t\"token\": \"osv_Secure1\"\n}");
  EXPECT_TRUE(s.registry.values("secure").empty());
  EXPECT_EQ(s.registry.values("parameters"), (Values{{"AgentState", "ok"}}));
  EXPECT_EQ(s.store.loadIdentity(), expected);  // now from the file

  // A valid token in parameters comes first; missing names read as empty.
  Stores both;
  both.registry.seed("parameters", "Token", "osv_Params");
  both.seedLegacy("secure", "osv_Secure1");
  EXPECT_EQ(both.store.loadIdentity(), (Identity{"", "", "osv_Params"}));
  EXPECT_TRUE(both.registry.values("secure").empty());
}

TEST(IdentityStore, ClearRemovesTheFileAndEveryLegacyValue) {
  Stores s;
  s.store.clearIdentity();  // nothing there: no harm
  ASSERT_TRUE(s.store.saveIdentity({"1", "pc", "osv_x"}));
  s.seedLegacy("parameters", "osv_p");
  s.seedLegacy("secure", "osv_s");
  s.registry.seed("parameters", "PendingNonce", "n");
  s.store.clearIdentity();
  EXPECT_FALSE(s.files.exists(kIdentityFile));
  EXPECT_TRUE(s.registry.values("secure").empty());
  EXPECT_EQ(s.registry.values("parameters"), (Values{{"PendingNonce", "n"}}));
  EXPECT_EQ(s.store.loadIdentity(), std::nullopt);
}

}  // namespace
}  // namespace ostrivel
