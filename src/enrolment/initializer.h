// Enrolment: obtain the PC's credential without typing, or load the one already stored.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "delivery/api_client.h"
#include "enrolment/agent_state_store.h"
#include "enrolment/identity.h"
#include "enrolment/identity_store.h"
#include "infra/logger.h"
#include "infra/registry.h"

namespace ostrivel {

// What an approved registration hands over.
struct RegistrationClaim {
  std::string tokenId;
  std::string agentId;
  std::string secret;
};

// Keeps "-", ".", "0"-"9", "A"-"Z", "_" and "a"-"z"; every other byte becomes "-".
std::string sanitiseName(const std::string& name);

// The compact register body; "agentVersion" and "os" only when not empty, "previousAgentId"
// only when given and not empty.
std::string registerBody(const std::string& computerName, const std::string& agentVersion, const std::string& os,
                         const std::optional<std::string>& previousAgentId);

// A claim answer with a valid "secret" and a non-empty "tokenId"; "agentId" may be empty.
std::optional<RegistrationClaim> parseClaim(const std::string& body);

class Initializer {
 public:
  // How enrolment waits between attempts; the production wait is claimWait.
  using Wait = std::function<void(std::int32_t seconds, std::stop_token stop)>;

  Initializer(Logger& logger, Registry& registry, IdentityStore& identities, ApiClient& api, std::string computerName,
              std::string agentVersion, std::string os, std::int32_t pollSeconds, Wait wait = {});

  // True when a credential is loaded or was just obtained (identity filled); false when a stop
  // was requested meanwhile or the credential could not be saved.
  bool ensureReady(Identity& identity, std::stop_token stop);
  // Forgets the credential (remembering the agent id as the previous one) so the next
  // ensureReady enrols again.
  void dropCredential();
  // Sleeps for the seconds or until a stop is requested, on the steady clock.
  static void claimWait(std::int32_t seconds, std::stop_token stop);

 private:
  bool enrol(Identity& identity, std::stop_token stop);
  // The waiting period for the k-th wait of one enrolment: 10 s, then 60 s, then 600 s.
  std::int32_t periodFor(std::int32_t k) const;

  Logger& logger;
  IdentityStore& identities;
  ApiClient& api;
  AgentStateStore state;
  std::string computerName;
  std::string agentVersion;
  std::string os;
  std::int32_t pollSeconds;
  Wait wait;
};

}  // namespace ostrivel
