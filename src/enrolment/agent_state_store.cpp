// The one place that knows the agent's persisted values: their names, scopes, texts and defaults.
#include "enrolment/agent_state_store.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace ostrivel {

namespace {

const std::string kParameters(kScopeParameters);
const std::string kUser(kScopeUser);

// atoi without its undefined overflow: leading blanks, a sign, digits up to the first other byte.
long long leadingInteger(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 1000000) {
      break;  // far outside every valid cadence; stop before overflowing
    }
  }
  return negative ? -value : value;
}

constexpr std::size_t kMaxNonceLength = 128;

}  // namespace

bool isValidNonce(const std::string& nonce) {
  if (nonce.empty() || nonce.size() > kMaxNonceLength) {
    return false;
  }
  return std::all_of(nonce.begin(), nonce.end(), [](char c) {
    return c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
  });
}

std::int32_t parseCadenceMinutes(const std::optional<std::string>& stored) {
  if (!stored) {
    return 1;
  }
  const long long value = leadingInteger(*stored);
  if (value == 1 || value == 2 || value == 5 || value == 10) {
    return static_cast<std::int32_t>(value);
  }
  return 1;
}

AgentState AgentStateStore::readState() const {
  const auto text = registry.get(kParameters, "AgentState");
  if (!text) {
    return AgentState::unregistered;
  }
  return parseAgentState(*text).value_or(AgentState::unregistered);
}

void AgentStateStore::writeState(AgentState state) const {
  registry.set(kParameters, "AgentState", agentStateName(state));
}

void AgentStateStore::setErrorCode(const std::string& code) const { registry.set(kParameters, "ErrorCode", code); }

void AgentStateStore::clearErrorCode() const { registry.erase(kParameters, "ErrorCode"); }

std::optional<std::string> AgentStateStore::pendingNonce() const {
  // One stored unchecked by an older version would leave enrolment polling it for good.
  auto nonce = registry.get(kParameters, "PendingNonce");
  if (nonce && !isValidNonce(*nonce)) {
    return std::nullopt;
  }
  return nonce;
}

void AgentStateStore::setPendingNonce(const std::string& nonce) const {
  registry.set(kParameters, "PendingNonce", nonce);
}

void AgentStateStore::clearPendingNonce() const { registry.erase(kParameters, "PendingNonce"); }

std::optional<std::string> AgentStateStore::lastUploadAt() const { return registry.get(kParameters, "LastUploadAt"); }

void AgentStateStore::setLastUploadAt(const std::string& stamp) const {
  registry.set(kParameters, "LastUploadAt", stamp);
}

std::int32_t AgentStateStore::cadenceMinutes() const {
  return parseCadenceMinutes(registry.get(kParameters, "CadenceMinutes"));
}

void AgentStateStore::setCadenceMinutes(std::int32_t minutes) const {
  registry.set(kParameters, "CadenceMinutes", std::to_string(minutes));
}

std::optional<std::string> AgentStateStore::agentId() const { return registry.get(kParameters, "AgentId"); }

void AgentStateStore::setAgentId(const std::string& id) const { registry.set(kParameters, "AgentId", id); }

void AgentStateStore::clearAgentId() const { registry.erase(kParameters, "AgentId"); }

std::optional<std::string> AgentStateStore::previousAgentId() const {
  return registry.get(kParameters, "PreviousAgentId");
}

void AgentStateStore::setPreviousAgentId(const std::string& id) const {
  registry.set(kParameters, "PreviousAgentId", id);
}

void AgentStateStore::clearPreviousAgentId() const { registry.erase(kParameters, "PreviousAgentId"); }

bool AgentStateStore::noticeSeen() const { return registry.get(kUser, "NoticeSeen").has_value(); }

void AgentStateStore::markNoticeSeen() const { registry.set(kUser, "NoticeSeen", "1"); }

}  // namespace ostrivel
