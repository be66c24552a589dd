// The user-side object: the logon check, the status report and the console verbs.
#include "companion/ui_companion.h"

#include <utility>

#include "infra/product.h"
#include "infra/time_format.h"
#include "records/time_keys.h"

namespace ostrivel {

namespace {

// An upload older than this means the uploads have stalled.
constexpr std::int64_t kStaleAfterMs = 2 * 60 * 60 * 1000;

const std::string kProduct(kProductName);

std::string titled(const char* rest) { return kProduct + rest; }

}  // namespace

std::string usageLine() {
  return "usage: " + kProduct + " [-check | -service | -run | -stop | -install | -uninstall | status]";
}

UiCompanion::UiCompanion(Logger& loggerIn, const AgentStateStore& stateIn, IdentityStore& identitiesIn,
                         Toaster& toasterIn, UrlOpener& browserIn, ServiceControl& servicesIn, const Clock& clockIn,
                         std::string dashboardUrlIn, std::string siteUrlIn)
    : logger(loggerIn),
      state(stateIn),
      identities(identitiesIn),
      toaster(toasterIn),
      browser(browserIn),
      services(servicesIn),
      clock(clockIn),
      dashboardUrl(std::move(dashboardUrlIn)),
      siteUrl(std::move(siteUrlIn)) {}

std::int32_t UiCompanion::runVerb(const std::string& verb, bool silent) {
  logger.info("[ui] verb: " + (verb.empty() ? std::string("(none)") : verb) + (silent ? " --silent" : ""));
  if (verb == "-check") {
    return check(silent);
  }
  if (verb == "status") {
    return printStatus();
  }
  if (verb == "-stop") {
    logger.info("[ui] stopping the service");
    return report(services.stop(), "[ui] service stopped", "[ui] service not stopped");
  }
  if (verb == "-install") {
    logger.info("[ui] installing the service");
    return report(services.install(), "[ui] service installed and started", "[ui] install failed");
  }
  if (verb == "-uninstall") {
    logger.info("[ui] uninstalling the service and sweeping its footprint");
    return report(services.uninstall(), "[ui] service uninstalled", "[ui] uninstall failed");
  }
  logger.info(usageLine());
  return verb.empty() ? 0 : 1;
}

std::int32_t UiCompanion::report(bool done, const std::string& success, const std::string& failure) {
  logger.info(done ? success : failure);
  return done ? 0 : 1;
}

std::string UiCompanion::serviceStatus() {
  if (!services.isInstalled()) {
    return "not installed";
  }
  return services.isRunning() ? "running" : "stopped";
}

std::int32_t UiCompanion::check(bool silent) {
  const std::string service = serviceStatus();
  logger.info("[check] service: " + service);
  if (service != "running") {
    logger.info("[check] decision: service broken, pointing at reinstall");
    notify(silent, titled(" is not running"), "Reinstall to resume tracking.", siteUrl + "/reinstall");
    return 0;
  }

  // A registration waiting for approval is the one thing the user can fix, whatever the
  // service last recorded.
  if (const auto nonce = state.pendingNonce()) {
    logger.info("[check] registration pending approval");
    logger.info("[check] decision: pointing at the register page");
    notify(silent, "Finish registering this PC", "Approve it in your dashboard.", dashboardUrl + "/register/#" + *nonce);
    return 0;
  }

  const AgentState agent = state.readState();
  logger.info("[check] agent status: " + agentStateName(agent));
  switch (agent) {
    case AgentState::suspended:
      logger.info("[check] decision: account suspended, pointing at billing");
      notify(silent, titled(" is paused"), "Top up your balance to resume.", dashboardUrl + "/billing");
      return 0;
    case AgentState::unregistered:
    case AgentState::tokenDead:
    case AgentState::error:
      logger.info("[check] decision: agent needs re-registration");
      notify(silent, titled(" needs attention"), "Re-register this PC.", dashboardUrl + "/register");
      return 0;
    case AgentState::ok:
      break;
    case AgentState::starting:
    case AgentState::registering:
      return 0;  // the service is on its way; nothing for the user to do yet
  }

  // Both texts are fixed-width UTC stamps, so byte order is time order.
  const std::string threshold = formatUtcStamp(utcOrEpoch(secondsOf(clock.nowMs() - kStaleAfterMs)));
  const std::string lastUpload = state.lastUploadAt().value_or("");
  logger.info("[check] lastUpload: " + (lastUpload.empty() ? std::string("never") : lastUpload) +
              ", stale before: " + threshold);
  if (lastUpload.empty() || lastUpload < threshold) {
    logger.info("[check] decision: uploads stalled, pointing at the dashboard");
    notify(silent, titled(" uploads stalled"), "Check this PC's connection.", dashboardUrl);
    return 0;
  }

  if (silent) {
    if (!showFirstLogonNotice(true)) {
      logger.info("[check] decision: healthy, staying silent");
    }
    return 0;
  }
  openHealthyDashboard();
  return 0;
}

void UiCompanion::openHealthyDashboard() {
  const auto identity = identities.readIdentity();
  if (!identity) {
    logger.info("[check] decision: healthy, opening " + dashboardUrl);
    browser.open(dashboardUrl);
    return;
  }
  const std::string page = dashboardUrl + "/agent?day=" + dayKey(clock.nowMs()) + "&token=";
  logger.info("[check] decision: healthy, opening " + page + std::string(kMaskedToken));
  browser.open(page + identity->token);
}

void UiCompanion::notify(bool silent, const std::string& title, const std::string& line, const std::string& link) {
  if (!silent) {
    logger.info("[check] opening browser: " + link);
    browser.open(link);
    return;
  }
  logger.info("[check] toast: " + title + " - " + line + " (" + link + ")");
  nlohmann::json payload = nlohmann::json::object();
  payload["title"] = title;
  payload["lines"] = nlohmann::json::array({line});
  payload["action"] = link;
  toaster.show(Data(std::move(payload), "toast"));
}

bool UiCompanion::showFirstLogonNotice(bool silent) {
  if (state.noticeSeen()) {
    return false;
  }
  logger.info("[check] decision: first logon for this user, showing the notice");
  notify(silent, titled(" is recording on this PC"),
         "It notes which apps use the processor, and when. It never sees your screen, your typing or the sites "
         "you visit.",
         siteUrl + "/data");
  // Marked whatever the user did with the notice: it is shown once, not until acknowledged.
  state.markNoticeSeen();
  return true;
}

std::int32_t UiCompanion::printStatus() {
  logger.info("service:    " + serviceStatus());
  logger.info("agent:      " + agentStateName(state.readState()));
  logger.info("lastUpload: " + state.lastUploadAt().value_or("never"));
  if (state.pendingNonce()) {
    logger.info("pending:    registration waiting for approval");
  }
  return 0;
}

}  // namespace ostrivel
