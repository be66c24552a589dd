// The persisted phase of the agent, shared through the registry with the per-user processes.
#include "enrolment/agent_state.h"

#include <array>
#include <utility>

namespace ostrivel {

namespace {

constexpr std::array<std::pair<AgentState, const char*>, 7> kNames{{
    {AgentState::starting, "starting"},
    {AgentState::registering, "registering"},
    {AgentState::unregistered, "unregistered"},
    {AgentState::ok, "ok"},
    {AgentState::tokenDead, "tokenDead"},
    {AgentState::suspended, "suspended"},
    {AgentState::error, "error"},
}};

}  // namespace

std::string agentStateName(AgentState state) {
  for (const auto& [member, name] : kNames) {
    if (member == state) {
      return name;
    }
  }
  return "unregistered";
}

std::optional<AgentState> parseAgentState(const std::string& text) {
  for (const auto& [member, name] : kNames) {
    if (text == name) {
      return member;
    }
  }
  return std::nullopt;
}

}  // namespace ostrivel
