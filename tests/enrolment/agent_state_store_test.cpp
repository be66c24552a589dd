// The persisted values as other processes and older versions may have left them.
#include "enrolment/agent_state_store.h"

#include <gtest/gtest.h>

#include "support/in_memory_registry.h"

namespace ostrivel {
namespace {

TEST(AgentStateStore, ReadsOddStoredTextsAsTheirDefaultsAndUnknownScopesNeverReachTheStore) {
  testing::InMemoryRegistry registry;
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

}  // namespace
}  // namespace ostrivel
