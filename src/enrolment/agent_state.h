// The persisted phase of the agent, shared through the registry with the per-user processes.
#pragma once

#include <optional>
#include <string>

namespace ostrivel {

enum class AgentState { starting, registering, unregistered, ok, tokenDead, suspended, error };

// The persisted text; a value outside the enumeration gives "unregistered".
std::string agentStateName(AgentState state);
// Exact, case-sensitive match of a persisted text.
std::optional<AgentState> parseAgentState(const std::string& text);

}  // namespace ostrivel
