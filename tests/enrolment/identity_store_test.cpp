// The credential's form, its file, and the move of a legacy registry credential into it.
#include "enrolment/identity_store.h"

#include <gtest/gtest.h>

#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"

namespace ostrivel::testing {
namespace {

TEST(IdentityStore, MovesALegacyCredentialIntoTheFileOnceItCanBeWrittenAndTrustsOnlyThisEnvironmentsFile) {
  EXPECT_TRUE(isValidToken("osv_-_09AZaz"));
  for (const char* token : {"", "osv_", "OSV_abc", "xosv_a", "osv_a.b", "osv_a b", "osv_\xC3\xA9"}) {
    EXPECT_FALSE(isValidToken(token)) << token;
  }
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  IdentityStore store(files, registry, "C:\\data\\");
  EXPECT_EQ(store.loadIdentity(), std::nullopt);
  const auto seedLegacy = [&](const std::string& scope, const std::string& token) {
    for (const auto& [name, value] :
         {std::pair{"Token", token}, {"AgentId", scope + "-id"}, {"AgentName", scope + "-pc"}}) {
      registry.seed(scope, name, value);
    }
  };
  seedLegacy("parameters", "osv_bad token");
  seedLegacy("secure", "osv_Secure1");
  registry.seed("parameters", "AgentState", "ok");
  const Identity legacy{"secure-id", "secure-pc", "osv_Secure1"};
  files.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  EXPECT_EQ(store.loadIdentity(), legacy);  // erased only once the file holds it
  EXPECT_EQ(registry.values("secure").size(), 3u);
  files.setFault(nullptr);
  EXPECT_EQ(store.loadIdentity(), legacy);
  const std::string text =
      "{\n\t\"environment\": \"prd\",\n\t\"id\": \"secure-id\",\n\t\"name\": \"secure-pc\",\n\t\"token\": "
      "\"osv_Secure1\"\n}";
  const std::string path = "C:\\data\\identity.json";
  EXPECT_EQ(files.peek(path), text);
  EXPECT_EQ(registry.values("secure").size() + registry.values("parameters").size(), 1u);  // AgentState stays
  files.putFile(path, "\xEF\xBB\xBF" + text);
  EXPECT_EQ(store.loadIdentity(), legacy);

  // A file of another environment (a test server's) hides a legacy credential; one with an invalid token does not.
  seedLegacy("parameters", "osv_legacy");
  files.putFile(path, R"({"environment":"dev","id":"1","name":"pc","token":"osv_ok"})");
  EXPECT_EQ(store.readIdentity(), std::nullopt);
  files.putFile(path, R"({"environment":"prd","id":"1","name":"pc","token":"osv_"})");
  EXPECT_EQ(store.readIdentity(), (Identity{"parameters-id", "parameters-pc", "osv_legacy"}));
  EXPECT_EQ(registry.values("parameters").size(), 4u);  // read, not moved
  store.clearIdentity();
  EXPECT_FALSE(files.exists(path));
  EXPECT_EQ(registry.values("parameters"), (std::map<std::string, std::string>{{"AgentState", "ok"}}));
}

}  // namespace
}  // namespace ostrivel::testing
