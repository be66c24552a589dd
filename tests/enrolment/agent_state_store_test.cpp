// The persisted values: names, scopes, defaults and the readings of odd stored texts.
#include "enrolment/agent_state_store.h"

#include <gtest/gtest.h>

#include "support/in_memory_registry.h"

namespace ostrivel {
namespace {

using Values = std::map<std::string, std::string>;

// The value names are shared with the per-user processes and older installs: a typo splits them.
TEST(AgentStateStore, WritesEachValueUnderItsNameAndReadsItBack) {
  testing::InMemoryRegistry registry;
  const AgentStateStore store(registry);
  for (const auto state : {AgentState::starting, AgentState::registering, AgentState::unregistered, AgentState::ok,
                           AgentState::suspended, AgentState::error, AgentState::tokenDead}) {
    store.writeState(state);
    EXPECT_EQ(store.readState(), state) << agentStateName(state);
  }
  store.setErrorCode("revoked");
  store.setLastUploadAt("2026-01-05T12:00:00Z");
  store.setCadenceMinutes(5);
  store.setAgentId("a-1");
  store.setPreviousAgentId("a-0");
  store.setPendingNonce("n-1");
  store.markNoticeSeen();
  EXPECT_EQ(registry.values("parameters"), (Values{{"AgentId", "a-1"},
                                                   {"AgentState", "tokenDead"},
                                                   {"CadenceMinutes", "5"},
                                                   {"ErrorCode", "revoked"},
                                                   {"LastUploadAt", "2026-01-05T12:00:00Z"},
                                                   {"PendingNonce", "n-1"},
                                                   {"PreviousAgentId", "a-0"}}));
  EXPECT_EQ(registry.values("user"), (Values{{"NoticeSeen", "1"}}));
  EXPECT_EQ(store.agentId(), "a-1");
  EXPECT_EQ(store.previousAgentId(), "a-0");
  EXPECT_EQ(store.pendingNonce(), "n-1");
  EXPECT_EQ(store.lastUploadAt(), "2026-01-05T12:00:00Z");
  EXPECT_EQ(store.cadenceMinutes(), 5);
  store.clearErrorCode();
  store.clearAgentId();
  store.clearPreviousAgentId();
  store.clearPendingNonce();
  EXPECT_EQ(registry.values("parameters"),
            (Values{{"AgentState", "tokenDead"}, {"CadenceMinutes", "5"}, {"LastUploadAt", "2026-01-05T12:00:00Z"}}));
  EXPECT_EQ(store.agentId(), std::nullopt);
  EXPECT_EQ(agentStateName(static_cast<AgentState>(42)), "unregistered");
}

TEST(AgentStateStore, ReadsAbsentAndOddStoredTextsAsTheirDefaults) {
  testing::InMemoryRegistry registry;
  const AgentStateStore store(registry);
  EXPECT_EQ(store.readState(), AgentState::unregistered);
  EXPECT_EQ(store.cadenceMinutes(), 1);
  EXPECT_EQ(store.lastUploadAt(), std::nullopt);
  EXPECT_FALSE(store.noticeSeen());
  for (const char* text : {"Ok", "OK", "ok ", ""}) {
    registry.seed("parameters", "AgentState", text);
    EXPECT_EQ(store.readState(), AgentState::unregistered) << text;
  }
  // Read like atoi, kept only when allowed.
  const std::pair<const char*, int> cadences[] = {
      {"5", 5}, {" 2", 2}, {"2x", 2}, {"10", 10}, {"+5", 5}, {"15", 1},
      {"3", 1}, {"0", 1},  {"-5", 1}, {"abc", 1}, {"", 1},   {"99999999999999999999", 1},
  };
  for (const auto& [text, expected] : cadences) {
    registry.seed("parameters", "CadenceMinutes", text);
    EXPECT_EQ(store.cadenceMinutes(), expected) << '"' << text << '"';
  }
  store.setCadenceMinutes(-3);
  EXPECT_EQ(registry.peek("parameters", "CadenceMinutes"), "-3");
  EXPECT_EQ(store.cadenceMinutes(), 1);
  // An empty nonce is none, an empty upload stamp is kept, and any notice text counts as seen.
  registry.seed("parameters", "PendingNonce", "");
  registry.seed("parameters", "LastUploadAt", "");
  registry.seed("user", "NoticeSeen", "0");
  EXPECT_EQ(store.pendingNonce(), std::nullopt);
  EXPECT_EQ(store.lastUploadAt(), "");
  EXPECT_TRUE(store.noticeSeen());
}

TEST(Registry, RefusesUnknownScopesWithoutReachingTheStore) {
  testing::InMemoryRegistry registry;
  for (const std::string scope : {"Parameters", "", "SECURE", "users"}) {
    EXPECT_EQ(registry.get(scope, "AgentState"), std::nullopt);
    EXPECT_FALSE(registry.set(scope, "AgentState", "ok"));
    EXPECT_FALSE(registry.erase(scope, "AgentState"));
  }
  EXPECT_EQ(registry.storeCalls(), 0);
  EXPECT_TRUE(registry.set("secure", "Token", "x"));
  EXPECT_TRUE(registry.keyExists("secure"));
  EXPECT_TRUE(registry.erase("secure", "Token"));
  EXPECT_FALSE(registry.erase("secure", "Token"));
}

}  // namespace
}  // namespace ostrivel
