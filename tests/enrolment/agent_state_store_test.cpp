// The persisted values: names, scopes, defaults and the readings of odd stored texts.
#include "enrolment/agent_state_store.h"

#include <gtest/gtest.h>

#include "support/in_memory_registry.h"

namespace ostrivel {
namespace {

using testing::InMemoryRegistry;

TEST(AgentState, NamesRoundTripAndUnknownTextsAreRejected) {
  for (const auto state : {AgentState::starting, AgentState::registering, AgentState::unregistered, AgentState::ok,
                           AgentState::tokenDead, AgentState::suspended, AgentState::error}) {
    EXPECT_EQ(parseAgentState(agentStateName(state)), state);
  }
  EXPECT_EQ(agentStateName(static_cast<AgentState>(42)), "unregistered");
  EXPECT_EQ(parseAgentState("OK"), std::nullopt);
  EXPECT_EQ(parseAgentState("ok "), std::nullopt);
}

TEST(AgentStateStore, ReadsAbsentOrUnknownStateAsUnregistered) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  EXPECT_EQ(store.readState(), AgentState::unregistered);
  registry.seed("parameters", "AgentState", "Ok");
  EXPECT_EQ(store.readState(), AgentState::unregistered);
  store.writeState(AgentState::tokenDead);
  EXPECT_EQ(registry.peek("parameters", "AgentState"), "tokenDead");
  EXPECT_EQ(store.readState(), AgentState::tokenDead);
}

TEST(AgentStateStore, ReadsCadenceLikeAtoiKeepingOnlyTheAllowedValues) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  EXPECT_EQ(store.cadenceMinutes(), 1);
  const std::pair<const char*, int> cases[] = {
      {"5", 5}, {" 2", 2}, {"2x", 2}, {"10", 10}, {"+5", 5}, {"15", 1}, {"3", 1},
      {"0", 1}, {"-5", 1}, {"abc", 1}, {"", 1}, {"99999999999999999999", 1},
  };
  for (const auto& [text, expected] : cases) {
    registry.seed("parameters", "CadenceMinutes", text);
    EXPECT_EQ(store.cadenceMinutes(), expected) << '"' << text << '"';
  }
  store.setCadenceMinutes(-3);
  EXPECT_EQ(registry.peek("parameters", "CadenceMinutes"), "-3");
  EXPECT_EQ(store.cadenceMinutes(), 1);
}

TEST(AgentStateStore, TreatsEmptyNonceAsNoneButKeepsEmptyUploadStamps) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  registry.seed("parameters", "PendingNonce", "");
  EXPECT_EQ(store.pendingNonce(), std::nullopt);
  store.setPendingNonce("n-1");
  EXPECT_EQ(store.pendingNonce(), "n-1");
  store.clearPendingNonce();
  EXPECT_EQ(registry.peek("parameters", "PendingNonce"), std::nullopt);

  EXPECT_EQ(store.lastUploadAt(), std::nullopt);
  registry.seed("parameters", "LastUploadAt", "");
  EXPECT_EQ(store.lastUploadAt(), "");
}

TEST(AgentStateStore, KeepsNoticeSeenPerUserWhateverItsText) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  EXPECT_FALSE(store.noticeSeen());
  registry.seed("user", "NoticeSeen", "0");
  EXPECT_TRUE(store.noticeSeen());
  store.markNoticeSeen();
  EXPECT_EQ(registry.peek("user", "NoticeSeen"), "1");
  EXPECT_EQ(registry.values("parameters").size(), 0u);
}

// The value names are shared with the per-user processes and older installs: a typo splits them.
TEST(AgentStateStore, WritesEachValueUnderItsNameInParameters) {
  InMemoryRegistry registry;
  const AgentStateStore store(registry);
  store.setErrorCode("revoked");
  store.setLastUploadAt("2026-01-05T12:00:00Z");
  store.setCadenceMinutes(5);
  store.setAgentId("a-1");
  store.setPreviousAgentId("a-0");
  store.writeState(AgentState::ok);
  EXPECT_EQ(registry.values("parameters"), (std::map<std::string, std::string>{
                                               {"AgentId", "a-1"},
                                               {"AgentState", "ok"},
                                               {"CadenceMinutes", "5"},
                                               {"ErrorCode", "revoked"},
                                               {"LastUploadAt", "2026-01-05T12:00:00Z"},
                                               {"PreviousAgentId", "a-0"},
                                           }));
  EXPECT_EQ(store.agentId(), "a-1");
  EXPECT_EQ(store.previousAgentId(), "a-0");
  EXPECT_EQ(store.cadenceMinutes(), 5);
  store.clearErrorCode();
  store.clearAgentId();
  store.clearPreviousAgentId();
  EXPECT_EQ(registry.values("parameters").size(), 3u);
  EXPECT_EQ(store.agentId(), std::nullopt);
}

TEST(Registry, RefusesUnknownScopesWithoutReachingTheStore) {
  InMemoryRegistry registry;
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
