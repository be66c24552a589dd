// The user-side object: the logon check, the status report and the console verbs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "companion/toaster.h"
#include "companion/url_opener.h"
#include "enrolment/agent_state_store.h"
#include "enrolment/identity_store.h"
#include "infra/clock.h"
#include "infra/logger.h"
#include "install/service_control.h"

namespace ostrivel {

// The usage line printed for a word no verb knows.
std::string usageLine();

// What stands in the log for the credential in the healthy dashboard link: day logs are kept
// for two weeks and travel with support requests, so the token never reaches them.
inline constexpr std::string_view kMaskedToken = "********";

// Runs in the user's own process, single-threaded. It never changes the agent's state; its only
// write is the per-user "NoticeSeen" flag. Everything it says goes through the logger at info.
class UiCompanion {
 public:
  UiCompanion(Logger& logger, const AgentStateStore& state, IdentityStore& identities, Toaster& toaster,
              UrlOpener& browser, ServiceControl& services, const Clock& clock, std::string dashboardUrl,
              std::string siteUrl);

  // Logs what it was asked, runs the verb and returns the process exit code.
  std::int32_t runVerb(const std::string& verb, bool silent);

  // The logon check: at most one decision, shown as a toast (silent) or in the browser.
  // Always 0.
  std::int32_t check(bool silent);

  // The one way a decision reaches the user; returns when the toast is gone.
  void notify(bool silent, const std::string& title, const std::string& line, const std::string& link);

  // True when the first-logon notice was shown now; it is shown once per user.
  bool showFirstLogonNotice(bool silent);

  // The service, agent state, last upload and a waiting registration, labels lined up. Always 0.
  std::int32_t printStatus();

 private:
  std::string serviceStatus();
  void openHealthyDashboard();
  std::int32_t report(bool done, const std::string& success, const std::string& failure);

  Logger& logger;
  const AgentStateStore& state;
  IdentityStore& identities;
  Toaster& toaster;
  UrlOpener& browser;
  ServiceControl& services;
  const Clock& clock;
  std::string dashboardUrl;
  std::string siteUrl;
};

}  // namespace ostrivel
