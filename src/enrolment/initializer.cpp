// Enrolment: obtain the PC's credential without typing, or load the one already stored.
#include "enrolment/initializer.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include <nlohmann/json.hpp>

#include "delivery/api_answers.h"

namespace ostrivel {

std::string sanitiseName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    const bool kept = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                      c == '.' || c == '_';
    if (!kept) {
      c = '-';
    }
  }
  return out;
}

std::string registerBody(const std::string& computerName, const std::string& agentVersion, const std::string& os,
                         const std::optional<std::string>& previousAgentId) {
  nlohmann::json body = {{"computerName", sanitiseName(computerName)}};
  if (!agentVersion.empty()) {
    body["agentVersion"] = agentVersion;
  }
  if (!os.empty()) {
    body["os"] = os;
  }
  if (previousAgentId && !previousAgentId->empty()) {
    body["previousAgentId"] = *previousAgentId;
  }
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<RegistrationClaim> parseClaim(const std::string& body) {
  RegistrationClaim claim{jsonString(body, "tokenId"), jsonString(body, "agentId"), jsonString(body, "secret")};
  if (!isValidToken(claim.secret) || claim.tokenId.empty()) {
    return std::nullopt;
  }
  return claim;
}

Initializer::Initializer(Logger& loggerIn, Registry& registryIn, IdentityStore& identitiesIn, ApiClient& apiIn,
                         std::string computerNameIn, std::string agentVersionIn, std::string osIn,
                         std::int32_t pollSecondsIn, Wait waitIn)
    : logger(loggerIn),
      identities(identitiesIn),
      api(apiIn),
      state(registryIn),
      computerName(std::move(computerNameIn)),
      agentVersion(std::move(agentVersionIn)),
      os(std::move(osIn)),
      pollSeconds(pollSecondsIn),
      wait(waitIn ? std::move(waitIn) : Wait(claimWait)) {}

void Initializer::claimWait(std::int32_t seconds, std::stop_token stop) {
  if (seconds <= 0 || stop.stop_requested()) {
    return;
  }
  // The steady clock, so a change of the wall clock neither shortens nor stretches the wait.
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  woken.wait_for(lock, stop, std::chrono::seconds(seconds), [] { return false; });
}

bool Initializer::ensureReady(Identity& identity, std::stop_token stop) {
  state.writeState(AgentState::starting);
  if (stop.stop_requested()) {
    return false;
  }
  if (const auto stored = identities.loadIdentity()) {
    identity = *stored;
    state.writeState(AgentState::ok);
    state.clearErrorCode();
    logger.info("[initializer] agent ready");
    return true;
  }
  if (!enrol(identity, stop)) {
    return false;
  }
  logger.info("[initializer] agent ready");
  return true;
}

std::int32_t Initializer::periodFor(std::int32_t k) const {
  if (k < 30) {
    return pollSeconds;
  }
  return k < 55 ? pollSeconds * 6 : pollSeconds * 60;
}

bool Initializer::enrol(Identity& identity, std::stop_token stop) {
  state.writeState(AgentState::registering);
  std::optional<std::string> nonce = state.pendingNonce();
  std::int32_t waits = 0;  // never reset, not even when registration starts over
  auto pause = [&] { wait(periodFor(waits++), stop); };

  for (;;) {
    if (stop.stop_requested()) {
      return false;
    }
    if (!nonce) {
      const HttpResponse answer =
          api.post("register", registerBody(computerName, agentVersion, os, state.previousAgentId()));
      const std::string fresh = answer.status == 200 ? jsonString(answer.body, "nonce") : std::string();
      if (!isValidNonce(fresh)) {
        logger.warn(answer.status == 200 ? std::string("[initializer] register answered without a nonce")
                                         : "[initializer] register -> " + std::to_string(answer.status));
        pause();
        continue;
      }
      nonce = fresh;
      state.setPendingNonce(fresh);
      logger.info("[initializer] registration started");
    }

    logger.info("[initializer] polling the registration claim");
    const HttpResponse answer = api.get("register/" + *nonce);
    if (answer.status == 404 || answer.status == 410) {
      logger.info("[initializer] claim gone, starting over");
      state.clearPendingNonce();
      nonce.reset();
      pause();
      continue;
    }
    if (answer.status == 202) {
      pause();  // not approved yet
      continue;
    }
    if (answer.status != 200) {
      logger.warn("[initializer] claim poll -> " + std::to_string(answer.status));
      pause();
      continue;
    }
    const auto claim = parseClaim(answer.body);
    if (!claim) {
      logger.warn("[initializer] claim unreadable, starting over");
      state.clearPendingNonce();
      nonce.reset();
      pause();
      continue;
    }

    state.setAgentId(claim->agentId);
    identity = Identity{claim->agentId, sanitiseName(computerName), claim->secret};
    if (!identities.saveIdentity(identity)) {
      return false;  // the nonce stays, so the next start polls the same claim again
    }
    state.clearPendingNonce();
    state.clearPreviousAgentId();
    api.del("register/" + *nonce);
    state.writeState(AgentState::ok);
    state.clearErrorCode();
    logger.info("[initializer] registration claimed");
    return true;
  }
}

void Initializer::dropCredential() {
  const auto agentId = state.agentId();
  if (agentId && !agentId->empty()) {
    state.setPreviousAgentId(*agentId);
  }
  identities.clearIdentity();
  state.clearAgentId();
  logger.warn("[initializer] credential dropped, enrolment starts over");
}

}  // namespace ostrivel
