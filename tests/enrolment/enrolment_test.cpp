// Enrolment: the persisted values as other processes and older versions may have left them; the
// credential's form, its file and the move of a legacy registry credential into it; and enrolment
// over a scripted web API and a recording wait (requests, lines, waits and stored values).
#include <gtest/gtest.h>

#include "enrolment/agent_state_store.h"
#include "enrolment/identity_store.h"
#include "enrolment/initializer.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"

namespace ostrivel::testing {
namespace {

TEST(AgentStateStore, ReadsOddStoredTextsAsTheirDefaultsAndUnknownScopesNeverReachTheStore) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  EXPECT_FALSE(registry.set("Parameters", "AgentState", "ok") || registry.erase("SECURE", "Token"));
  EXPECT_EQ(registry.get("users", "NoticeSeen"), std::nullopt);
  EXPECT_EQ(registry.storeCalls(), 0);
  registry.seed("parameters", "AgentState", "OK");
  registry.seed("parameters", "PendingNonce", "n/9");  // an older version stored it unchecked
  EXPECT_EQ(store.pendingNonce(), std::nullopt);
  EXPECT_EQ(store.readState(), AgentState::unregistered);
  // Read like atoi, kept only when allowed.
  for (const auto& [text, minutes] : {std::pair{" 2x", 2}, {"+10", 10}, {"3", 1}, {"99999999999999999999", 1}}) {
    registry.seed("parameters", "CadenceMinutes", text);
    EXPECT_EQ(store.cadenceMinutes(), minutes) << text;
  }
}

TEST(IdentityStore, MovesALegacyCredentialIntoTheFileOnceItCanBeWrittenAndTrustsOnlyThisEnvironmentsFile) {
  EXPECT_TRUE(isValidToken("osv_-_09AZaz"));
  for (const char* token : {"", "osv_", "OSV_abc", "xosv_a", "osv_a.b", "osv_a b", "osv_\xC3\xA9"}) {
    EXPECT_FALSE(isValidToken(token)) << token;
  }
  InMemoryFileSystem files;
  InMemoryRegistry registry;
  IdentityStore store(files, registry, "C:\\data\\");
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

const HttpResponse kClaim{200, R"({"secret":"osv_Abc-123_x","tokenId":"t-1","agentId":"agent-7"})"};

TEST(Initializer, EnrolsAgainAfterADroppedCredentialThroughStopsRetriesRestartsAndLongerWaits) {
  RecordingLogger log;
  InMemoryRegistry registry;
  InMemoryFileSystem files;
  ScriptedHttpRequest http{"https://api.test/"};
  const Identity none;
  ApiClient api{http, none, log};
  IdentityStore identities{files, registry, "C:\\ProgramData\\Ostrivel"};
  std::vector<std::int32_t> waits;
  std::stop_source stop;
  bool stopAtWait = false;
  const auto wait = [&](std::int32_t seconds, std::stop_token) {
    waits.push_back(seconds);
    if (stopAtWait) stop.request_stop();
  };
  Initializer initializer(log, registry, identities, api, "PC-09.AZ_az \xC3\xA9", "2026.1.0.10", "Windows 10", 10,
                          wait);
  const auto value = [&](const char* name) { return registry.peek("parameters", name).value_or("-"); };
  ASSERT_TRUE(identities.saveIdentity({"abc", "PC", "osv_old"}));
  registry.seed("parameters", "AgentId", "abc");
  registry.seed("parameters", "ErrorCode", "revoked");
  Identity identity;
  ASSERT_TRUE(initializer.ensureReady(identity, stop.get_token()));
  EXPECT_EQ(identity.token + " " + value("AgentState") + " " + value("ErrorCode"), "osv_old ok -");
  registry.seed("parameters", "ErrorCode", "revoked");
  initializer.dropCredential();
  EXPECT_EQ(value("PreviousAgentId") + " " + value("AgentId"), "abc -");
  // "agentVersion", "os" and "previousAgentId" go only when not empty.
  EXPECT_EQ(registerBody("PC", "", "", std::string()), R"({"computerName":"PC"})");

  // Only a URL-safe token of at most 128 characters counts as a nonce.
  const std::string nonce = "n-09AZaz_";
  http.script("register",
              {{200, "{}"}, {503, "busy"}, {200, R"({"nonce":"../x"})"}, {200, R"({"nonce":")" + nonce + "\"}"}});
  std::vector<HttpResponse> polls{{202, ""}, {410, ""}, {500, ""}, {200, R"({"secret":"osv_a.b","tokenId":"t"})"}};
  polls.insert(polls.end(), 52, {202, ""});
  polls.push_back(kClaim);
  http.script("register/" + nonce, polls);
  stopAtWait = true;
  EXPECT_FALSE(initializer.ensureReady(identity, stop.get_token()));  // stopped during the first wait
  stop = std::stop_source();
  stopAtWait = false;
  files.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  // The credential cannot be saved: the nonce stays for the next start.
  EXPECT_FALSE(initializer.ensureReady(identity, stop.get_token()));
  EXPECT_EQ(value("AgentState") + " " + value("PendingNonce"), "registering " + nonce);
  files.setFault(nullptr);
  ASSERT_TRUE(initializer.ensureReady(identity, stop.get_token()));
  EXPECT_EQ(identity, (Identity{"agent-7", "PC-09.AZ_az---", "osv_Abc-123_x"}));
  EXPECT_EQ(identities.loadIdentity(), identity);
  EXPECT_EQ(value("AgentState") + " " + value("ErrorCode") + " " + value("AgentId") + " " + value("PendingNonce") +
                " " + value("PreviousAgentId"),
            "ok - agent-7 - -");
  std::vector<std::int32_t> periods(31, 10);  // the stopped enrolment's wait, then thirty more
  periods.insert(periods.end(), 25, 60);
  periods.insert(periods.end(), 3, 600);
  EXPECT_EQ(waits, periods);

  const auto sent = http.sent();
  EXPECT_EQ(
      sent.front().body,
      R"({"agentVersion":"2026.1.0.10","computerName":"PC-09.AZ_az---","os":"Windows 10","previousAgentId":"abc"})");
  EXPECT_EQ(http.sent("register").size(), 6u);  // three without a nonce, then after the claim was gone and unreadable
  EXPECT_EQ(sent.back().method + " " + sent.back().path + " " + sent.back().token, "DELETE register/" + nonce + " ");
  // Once each: a 200 without a nonce is not told as a failed register ("register -> 503" is).
  for (const char* said : {"register -> ", "claim gone", "claim poll -> 500", "claim unreadable", "claimed"}) {
    EXPECT_EQ(log.count(said), 1u) << said;
  }
}

}  // namespace
}  // namespace ostrivel::testing
