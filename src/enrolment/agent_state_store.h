// The one place that knows the agent's persisted values: their names, scopes, texts and defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "enrolment/agent_state.h"
#include "infra/registry.h"

namespace ostrivel {

// Holds no cache and no lock: every read goes to the registry, every write straight through.
// Registry failures are silent: a failed read is absent, a failed write is ignored.
class AgentStateStore {
 public:
  explicit AgentStateStore(Registry& registry) : registry(registry) {}

  AgentState readState() const;
  void writeState(AgentState state) const;

  void setErrorCode(const std::string& code) const;
  void clearErrorCode() const;

  // A stored value that is not a valid nonce (empty included) counts as none.
  std::optional<std::string> pendingNonce() const;
  void setPendingNonce(const std::string& nonce) const;
  void clearPendingNonce() const;

  // Returned as stored: an empty value stays a present empty text.
  std::optional<std::string> lastUploadAt() const;
  void setLastUploadAt(const std::string& stamp) const;

  // 1, 2, 5 or 10; anything else stored reads as 1.
  std::int32_t cadenceMinutes() const;
  void setCadenceMinutes(std::int32_t minutes) const;

  std::optional<std::string> agentId() const;
  void setAgentId(const std::string& id) const;
  void clearAgentId() const;

  std::optional<std::string> previousAgentId() const;
  void setPreviousAgentId(const std::string& id) const;
  void clearPreviousAgentId() const;

  // Any stored text counts as seen, "0" included.
  bool noticeSeen() const;
  void markNoticeSeen() const;

 private:
  Registry& registry;
};

// A registration nonce the agent will use: 1 to 128 characters of the URL-safe token alphabet
// ("-", "0"-"9", "A"-"Z", "_", "a"-"z"). It goes into a request path and a link the shell opens.
bool isValidNonce(const std::string& nonce);

// The C library's atoi reading of a stored cadence, kept only when it is 1, 2, 5 or 10.
std::int32_t parseCadenceMinutes(const std::optional<std::string>& stored);

}  // namespace ostrivel
