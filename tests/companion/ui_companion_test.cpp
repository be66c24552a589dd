// The logon check's decisions, the toast it hands on, the console verbs and the status report.
#include "companion/ui_companion.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/fake_service_control.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/recording_toaster.h"
#include "support/recording_url_opener.h"

namespace ostrivel {
namespace {

using Lines = std::vector<std::string>;
using Value = std::optional<std::string>;

const std::string kUsage = "usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]";
const std::string kApp = "https://app.test";
const std::string kSite = "https://www.test";
const std::string kToken = "osv_Secret-Token_42";
const std::string kNotice =
    "It notes which apps use the processor, and when. It never sees your screen, your typing or the sites you visit.";

enum class Service { notInstalled, stopped, running };

// The fake clock starts at 2026-01-05T12:00:00Z: uploads before 10:00:00 are stale.
struct Companion {
  explicit Companion(Service service = Service::running, Value agentState = {}, Value lastUpload = {}) {
    services.setInstalled(service != Service::notInstalled);
    services.setRunning(service == Service::running);
    seed("AgentState", agentState);
    seed("LastUploadAt", lastUpload);
  }
  void seed(const std::string& name, const Value& value) {
    if (value) {
      registry.seed("parameters", name, *value);
    }
  }
  void clear() {
    log.clear();
    toaster.clear();
    browser.clear();
  }

  testing::FakeClock clock;
  testing::InMemoryRegistry registry;
  testing::InMemoryFileSystem files;
  testing::RecordingLogger log;
  testing::RecordingToaster toaster;
  testing::RecordingUrlOpener browser;
  testing::FakeServiceControl services;
  AgentStateStore state{registry};
  IdentityStore identities{files, registry, "C:\\ProgramData\\Ostrivel"};
  UiCompanion companion{log, state, identities, toaster, browser, services, clock, kApp, kSite};
};

struct Notice {
  std::string title;
  std::string line;
  std::string link;
};

// Every decision but a healthy one: the same notice as a toast at logon or in the browser.
struct Decision {
  Service service;
  Value agentState;
  Value nonce;
  Value lastUpload;
  Lines head;            // the lines before the decision
  std::string decision;  // empty: no decision and nothing shown
  Notice notice;
};

Decision D(Service service, Value agentState, Value nonce, Value lastUpload, Lines head, std::string decision,
           Notice notice) {
  return {service, agentState, nonce, lastUpload, std::move(head), std::move(decision), std::move(notice)};
}

TEST(UiCompanion, EachStateGivesItsDecisionAsAToastOrInTheBrowser) {
  const Notice reinstall{"Ostrivel is not running", "Reinstall to resume tracking.", kSite + "/reinstall"};
  const Notice reregister{"Ostrivel needs attention", "Re-register this PC.", kApp + "/register"};
  const Notice stalled{"Ostrivel uploads stalled", "Check this PC's connection.", kApp};
  const std::string running = "[check] service: running";
  const auto lastUpload = [](const std::string& shown) {
    return "[check] lastUpload: " + shown + ", stale before: 2026-01-05T10:00:00Z";
  };
  const Decision cases[] = {
      // A broken service wins before any state is read.
      D(Service::notInstalled, "ok", "n1", {}, {"[check] service: not installed"},
        "service broken, pointing at reinstall", reinstall),
      D(Service::stopped, "ok", "n1", {}, {"[check] service: stopped"}, "service broken, pointing at reinstall",
        reinstall),
      // A pending nonce wins over the agent state; an empty nonce is none.
      D(Service::running, "suspended", "n0nce-7", {}, {running, "[check] registration pending approval"},
        "pointing at the register page",
        {"Finish registering this PC", "Approve it in your dashboard.", kApp + "/register/#n0nce-7"}),
      D(Service::running, "suspended", "", {}, {running, "[check] agent status: suspended"},
        "account suspended, pointing at billing",
        {"Ostrivel is paused", "Top up your balance to resume.", kApp + "/billing"}),
      D(Service::running, {}, {}, {}, {running, "[check] agent status: unregistered"}, "agent needs re-registration",
        reregister),
      D(Service::running, "OK", {}, {}, {running, "[check] agent status: unregistered"}, "agent needs re-registration",
        reregister),
      D(Service::running, "tokenDead", {}, {}, {running, "[check] agent status: tokenDead"},
        "agent needs re-registration", reregister),
      D(Service::running, "error", {}, {}, {running, "[check] agent status: error"}, "agent needs re-registration",
        reregister),
      // Uploads older than two hours, or never made, are stalled.
      D(Service::running, "ok", {}, "2026-01-05T09:59:59Z",
        {running, "[check] agent status: ok", lastUpload("2026-01-05T09:59:59Z")},
        "uploads stalled, pointing at the dashboard", stalled),
      D(Service::running, "ok", {}, {}, {running, "[check] agent status: ok", lastUpload("never")},
        "uploads stalled, pointing at the dashboard", stalled),
      D(Service::running, "ok", {}, "", {running, "[check] agent status: ok", lastUpload("never")},
        "uploads stalled, pointing at the dashboard", stalled),
      // A service on its way: nothing for the user to do yet.
      D(Service::running, "starting", {}, {}, {running, "[check] agent status: starting"}, "", {}),
      D(Service::running, "registering", {}, {}, {running, "[check] agent status: registering"}, "", {}),
  };

  for (const auto& c : cases) {
    const std::string context = c.head.back() + " " + c.agentState.value_or("-") + " " + c.lastUpload.value_or("-");
    Companion r(c.service, c.agentState, c.lastUpload);
    r.seed("PendingNonce", c.nonce);
    const Notice& n = c.notice;
    for (const bool silent : {true, false}) {
      r.clear();
      EXPECT_EQ(r.companion.check(silent), 0) << context;
      Lines expected = c.head;
      if (!c.decision.empty()) {
        expected.push_back("[check] decision: " + c.decision);
        expected.push_back(silent ? "[check] toast: " + n.title + " - " + n.line + " (" + n.link + ")"
                                  : "[check] opening browser: " + n.link);
      }
      EXPECT_EQ(r.log.messages(), expected) << context;
      const auto toasts = r.toaster.toasts();
      ASSERT_EQ(toasts.size(), silent && !c.decision.empty() ? 1u : 0u) << context;
      if (!toasts.empty()) {
        EXPECT_EQ(toasts[0].name, "toast");
        EXPECT_EQ(toasts[0].payload, (nlohmann::json{{"title", n.title}, {"lines", {n.line}}, {"action", n.link}}))
            << context;
      }
      EXPECT_EQ(r.browser.links(), silent || c.decision.empty() ? Lines{} : Lines{n.link}) << context;
    }
    if (c.service != Service::running) {
      EXPECT_EQ(r.registry.storeCalls(), 0) << "neither the nonce nor AgentState may be read";
    }
    if (c.service == Service::notInstalled) {
      EXPECT_EQ(r.services.calls(), (Lines{"isInstalled", "isInstalled"}));
    }
    EXPECT_FALSE(r.registry.peek("user", "NoticeSeen")) << "the notice waits for a healthy logon";
  }
}

TEST(UiCompanion, TheFirstHealthySilentLogonShowsTheNoticeOnceThenStaysSilent) {
  // Two hours ago exactly is not stale yet.
  for (const std::string upload : {"2026-01-05T11:00:00Z", "2026-01-05T10:00:00Z"}) {
    Companion r(Service::running, "ok", upload);
    EXPECT_EQ(r.companion.check(true), 0);
    EXPECT_EQ(r.log.messages(),
              (Lines{"[check] service: running", "[check] agent status: ok",
                     "[check] lastUpload: " + upload + ", stale before: 2026-01-05T10:00:00Z",
                     "[check] decision: first logon for this user, showing the notice",
                     "[check] toast: Ostrivel is recording on this PC - " + kNotice + " (https://www.test/data)"}));
    ASSERT_EQ(r.toaster.toasts().size(), 1u);
    EXPECT_EQ(r.toaster.toasts()[0].payload,
              (nlohmann::json{
                  {"title", "Ostrivel is recording on this PC"}, {"lines", {kNotice}}, {"action", kSite + "/data"}}));
    EXPECT_EQ(r.registry.peek("user", "NoticeSeen"), "1");

    r.clear();
    EXPECT_EQ(r.companion.check(true), 0);
    EXPECT_EQ(r.log.messages().back(), "[check] decision: healthy, staying silent");
    EXPECT_TRUE(r.toaster.toasts().empty());
    EXPECT_FALSE(r.companion.showFirstLogonNotice(true));
  }
}

TEST(UiCompanion, AHealthyInteractiveCheckOpensTodaysPageWithoutLoggingTheToken) {
  Companion r(Service::running, "ok", "2026-01-05T11:00:00Z");
  ASSERT_TRUE(r.identities.saveIdentity(Identity{"agent-1", "PC", kToken}));
  EXPECT_EQ(r.companion.check(false), 0);
  const std::string page = kApp + "/agent?day=20260105&token=";
  EXPECT_EQ(r.browser.links(), (Lines{page + kToken}));
  EXPECT_EQ(r.log.messages().back(), "[check] decision: healthy, opening " + page + "********");
  EXPECT_EQ(r.log.count(kToken), 0u);
  EXPECT_EQ(r.log.count("Secret"), 0u);
  EXPECT_TRUE(r.toaster.toasts().empty());
  EXPECT_FALSE(r.registry.peek("user", "NoticeSeen")) << "the notice belongs to the silent logon check";

  // Without a credential the bare dashboard opens.
  r.clear();
  r.identities.clearIdentity();
  r.companion.check(false);
  EXPECT_EQ(r.log.messages().back(), "[check] decision: healthy, opening https://app.test");
  EXPECT_EQ(r.browser.links(), (Lines{kApp}));

  // A credential an older install left in the registry is read where it is: the check runs as
  // the user, and moving it is the service's job.
  r.clear();
  r.registry.seed("parameters", "Token", kToken);
  r.companion.check(false);
  EXPECT_EQ(r.browser.links(), (Lines{page + kToken}));
  EXPECT_FALSE(r.files.read("C:\\ProgramData\\Ostrivel\\identity.json"));
  EXPECT_EQ(r.registry.peek("parameters", "Token"), kToken);
}

TEST(UiCompanion, EveryVerbLogsWhatItWasAskedAndReturnsItsCode) {
  Companion r(Service::notInstalled);
  const std::tuple<std::string, bool, Lines, int> cases[] = {
      {"", false, {"[ui] verb: (none)", kUsage}, 0},
      {"help", false, {"[ui] verb: help", kUsage}, 1},
      {"-service", false, {"[ui] verb: -service", kUsage}, 1},
      {"-stop", false, {"[ui] verb: -stop", "[ui] stopping the service", "[ui] service stopped"}, 0},
      {"-install",
       false,
       {"[ui] verb: -install", "[ui] installing the service", "[ui] service installed and started"},
       0},
      {"-uninstall",
       false,
       {"[ui] verb: -uninstall", "[ui] uninstalling the service and sweeping its footprint",
        "[ui] service uninstalled"},
       0},
      {"status",
       false,
       {"[ui] verb: status", "service:    not installed", "agent:      unregistered", "lastUpload: never"},
       0},
      {"-check",
       true,
       {"[ui] verb: -check --silent", "[check] service: not installed",
        "[check] decision: service broken, pointing at reinstall",
        "[check] toast: Ostrivel is not running - Reinstall to resume tracking. (https://www.test/reinstall)"},
       0},
  };
  for (const auto& [verb, silent, lines, code] : cases) {
    r.log.clear();
    EXPECT_EQ(r.companion.runVerb(verb, silent), code) << verb;
    EXPECT_EQ(r.log.messages(), lines) << verb;
    for (const auto& line : r.log.lines()) {
      EXPECT_EQ(line.level, kLevelInfo) << line.message;
    }
  }
  EXPECT_EQ(r.services.calls(), (Lines{"stop", "install", "uninstall", "isInstalled", "isInstalled"}));

  r.services.setResults(false, false, false);
  const std::pair<std::string, std::string> failures[] = {{"-stop", "[ui] service not stopped"},
                                                          {"-install", "[ui] install failed"},
                                                          {"-uninstall", "[ui] uninstall failed"}};
  for (const auto& [verb, line] : failures) {
    r.log.clear();
    EXPECT_EQ(r.companion.runVerb(verb, false), 1) << verb;
    EXPECT_EQ(r.log.messages().back(), line);
  }
}

TEST(UiCompanion, TheStatusReportLinesUpItsValues) {
  Companion r(Service::running, "registering", "2026-01-05T11:59:00Z");
  r.registry.seed("parameters", "PendingNonce", "n1");
  EXPECT_EQ(r.companion.printStatus(), 0);
  EXPECT_EQ(r.log.messages(),
            (Lines{"service:    running", "agent:      registering", "lastUpload: 2026-01-05T11:59:00Z",
                   "pending:    registration waiting for approval"}));

  r.log.clear();
  r.services.setRunning(false);
  r.registry.seed("parameters", "LastUploadAt", "");
  r.registry.seed("parameters", "PendingNonce", "");
  EXPECT_EQ(r.companion.printStatus(), 0);
  EXPECT_EQ(r.log.messages(), (Lines{"service:    stopped", "agent:      registering", "lastUpload: "}));
}

}  // namespace
}  // namespace ostrivel
