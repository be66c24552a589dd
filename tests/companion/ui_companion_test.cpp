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

const std::string kUsage =
    "usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]";
const std::string kApp = "https://app.test";
const std::string kSite = "https://www.test";
const std::string kToken = "osv_Secret-Token_42";

// The fake clock starts at 2026-01-05T12:00:00Z: uploads before 10:00:00 are stale.
constexpr const char* kStaleBefore = "2026-01-05T10:00:00Z";

class UiCompanionTest : public ::testing::Test {
 protected:
  void running(const std::string& agentState) {
    services.setInstalled(true);
    services.setRunning(true);
    if (!agentState.empty()) {
      registry.seed("parameters", "AgentState", agentState);
    }
  }
  void healthy() {
    running("ok");
    registry.seed("parameters", "LastUploadAt", "2026-01-05T11:00:00Z");
  }
  nlohmann::json onlyToast() const {
    const auto toasts = toaster.toasts();
    EXPECT_EQ(toasts.size(), 1u);
    if (toasts.empty()) {
      return nullptr;
    }
    EXPECT_EQ(toasts.front().name, "toast");
    return toasts.front().payload;
  }
  static nlohmann::json toast(const std::string& title, const std::string& line, const std::string& link) {
    return {{"title", title}, {"lines", nlohmann::json::array({line})}, {"action", link}};
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

TEST_F(UiCompanionTest, ABrokenServiceWinsBeforeAnyStateIsRead) {
  registry.seed("parameters", "AgentState", "ok");
  registry.seed("parameters", "PendingNonce", "n1");

  EXPECT_EQ(companion.check(true), 0);
  EXPECT_EQ(log.messages(), (Lines{"[check] service: not installed",
                                   "[check] decision: service broken, pointing at reinstall",
                                   "[check] toast: Ostrivel is not running - Reinstall to resume tracking. "
                                   "(https://www.test/reinstall)"}));
  EXPECT_EQ(onlyToast(), toast("Ostrivel is not running", "Reinstall to resume tracking.", kSite + "/reinstall"));
  EXPECT_EQ(services.calls(), (Lines{"isInstalled"}));

  // Installed but stopped, interactively: the browser opens the same page, no toast.
  log.clear();
  toaster.clear();
  services.setInstalled(true);
  EXPECT_EQ(companion.check(false), 0);
  EXPECT_EQ(log.messages(), (Lines{"[check] service: stopped",
                                   "[check] decision: service broken, pointing at reinstall",
                                   "[check] opening browser: https://www.test/reinstall"}));
  EXPECT_EQ(browser.links(), (Lines{kSite + "/reinstall"}));
  EXPECT_TRUE(toaster.toasts().empty());
  EXPECT_EQ(registry.storeCalls(), 0) << "neither the nonce nor AgentState may be read";
}

TEST_F(UiCompanionTest, APendingNonceWinsOverTheAgentState) {
  running("suspended");
  registry.seed("parameters", "PendingNonce", "n0nce-7");

  EXPECT_EQ(companion.check(true), 0);
  EXPECT_EQ(log.messages(), (Lines{"[check] service: running", "[check] registration pending approval",
                                   "[check] decision: pointing at the register page",
                                   "[check] toast: Finish registering this PC - Approve it in your dashboard. "
                                   "(https://app.test/register/#n0nce-7)"}));
  EXPECT_EQ(onlyToast(),
            toast("Finish registering this PC", "Approve it in your dashboard.", kApp + "/register/#n0nce-7"));

  log.clear();
  toaster.clear();
  EXPECT_EQ(companion.check(false), 0);
  EXPECT_EQ(log.messages().back(), "[check] opening browser: https://app.test/register/#n0nce-7");
  EXPECT_EQ(browser.links(), (Lines{kApp + "/register/#n0nce-7"}));
  EXPECT_TRUE(toaster.toasts().empty());

  // An empty nonce is none: the suspension shows.
  log.clear();
  registry.seed("parameters", "PendingNonce", "");
  companion.check(true);
  EXPECT_EQ(log.messages(), (Lines{"[check] service: running", "[check] agent status: suspended",
                                   "[check] decision: account suspended, pointing at billing",
                                   "[check] toast: Ostrivel is paused - Top up your balance to resume. "
                                   "(https://app.test/billing)"}));
  EXPECT_EQ(onlyToast(), toast("Ostrivel is paused", "Top up your balance to resume.", kApp + "/billing"));
}

TEST_F(UiCompanionTest, AnAbsentDeadOrErrorStateAsksForReRegistration) {
  services.setInstalled(true);
  services.setRunning(true);
  for (const std::string stored : {"", "tokenDead", "error", "OK"}) {
    log.clear();
    toaster.clear();
    if (!stored.empty()) {
      registry.seed("parameters", "AgentState", stored);
    }
    const std::string shown = stored.empty() || stored == "OK" ? "unregistered" : stored;
    EXPECT_EQ(companion.check(true), 0);
    EXPECT_EQ(log.messages(),
              (Lines{"[check] service: running", "[check] agent status: " + shown,
                     "[check] decision: agent needs re-registration",
                     "[check] toast: Ostrivel needs attention - Re-register this PC. (https://app.test/register)"}))
        << stored;
    EXPECT_EQ(onlyToast(), toast("Ostrivel needs attention", "Re-register this PC.", kApp + "/register"));
  }
  EXPECT_FALSE(registry.peek("user", "NoticeSeen")) << "the notice waits for a healthy logon";
}

TEST_F(UiCompanionTest, UploadsOlderThanTwoHoursOrNeverMadeAreStalled) {
  running("ok");
  struct Case {
    std::optional<std::string> lastUpload;
    std::string logged;
    bool stalled;
  };
  const Case cases[] = {
      {"2026-01-05T11:00:00Z", "2026-01-05T11:00:00Z", false},  // an hour ago
      {"2026-01-05T10:00:00Z", "2026-01-05T10:00:00Z", false},  // exactly two hours ago
      {"2026-01-05T09:59:59Z", "2026-01-05T09:59:59Z", true},
      {"2026-01-05T09:00:00Z", "2026-01-05T09:00:00Z", true},  // three hours ago
      {std::nullopt, "never", true},
      {"", "never", true},
  };
  registry.seed("user", "NoticeSeen", "1");
  for (const auto& c : cases) {
    log.clear();
    toaster.clear();
    if (c.lastUpload) {
      registry.seed("parameters", "LastUploadAt", *c.lastUpload);
    } else {
      registry.erase("parameters", "LastUploadAt");
    }
    EXPECT_EQ(companion.check(true), 0);
    const Lines head{"[check] service: running", "[check] agent status: ok",
                     "[check] lastUpload: " + c.logged + ", stale before: " + kStaleBefore};
    const Lines tail = c.stalled ? Lines{"[check] decision: uploads stalled, pointing at the dashboard",
                                         "[check] toast: Ostrivel uploads stalled - Check this PC's connection. "
                                         "(https://app.test)"}
                                 : Lines{"[check] decision: healthy, staying silent"};
    Lines expected = head;
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(log.messages(), expected) << c.logged;
    if (c.stalled) {
      EXPECT_EQ(onlyToast(), toast("Ostrivel uploads stalled", "Check this PC's connection.", kApp));
    } else {
      EXPECT_TRUE(toaster.toasts().empty());
    }
  }
}

TEST_F(UiCompanionTest, TheFirstHealthySilentLogonShowsTheNoticeOnce) {
  healthy();
  EXPECT_EQ(companion.check(true), 0);
  const Lines messages = log.messages();
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[3], "[check] decision: first logon for this user, showing the notice");
  const std::string line =
      "It notes which apps use the processor, and when. It never sees your screen, your typing or the sites you "
      "visit.";
  EXPECT_EQ(messages[4], "[check] toast: Ostrivel is recording on this PC - " + line + " (https://www.test/data)");
  EXPECT_EQ(onlyToast(), toast("Ostrivel is recording on this PC", line, kSite + "/data"));
  EXPECT_EQ(registry.peek("user", "NoticeSeen"), "1");

  log.clear();
  toaster.clear();
  EXPECT_EQ(companion.check(true), 0);
  EXPECT_EQ(log.messages().back(), "[check] decision: healthy, staying silent");
  EXPECT_TRUE(toaster.toasts().empty());
  EXPECT_FALSE(companion.showFirstLogonNotice(true));
}

TEST_F(UiCompanionTest, AHealthyInteractiveCheckOpensTodaysPageWithoutLoggingTheToken) {
  healthy();
  ASSERT_TRUE(identities.saveIdentity(Identity{"agent-1", "PC", kToken}));

  EXPECT_EQ(companion.check(false), 0);
  const std::string page = kApp + "/agent?day=20260105&token=";
  EXPECT_EQ(browser.links(), (Lines{page + kToken}));
  EXPECT_EQ(log.messages().back(), "[check] decision: healthy, opening " + page + "********");
  EXPECT_EQ(log.count(kToken), 0u);
  EXPECT_EQ(log.count("Secret"), 0u);
  EXPECT_TRUE(toaster.toasts().empty());
  EXPECT_FALSE(registry.peek("user", "NoticeSeen")) << "the notice belongs to the silent logon check";

  // Without a credential the bare dashboard opens.
  log.clear();
  browser.clear();
  identities.clearIdentity();
  companion.check(false);
  EXPECT_EQ(log.messages().back(), "[check] decision: healthy, opening https://app.test");
  EXPECT_EQ(browser.links(), (Lines{kApp}));
}

TEST_F(UiCompanionTest, AStartingOrRegisteringAgentLogsOnlyTheStatusLines) {
  for (const std::string stored : {"starting", "registering"}) {
    log.clear();
    running(stored);
    EXPECT_EQ(companion.check(true), 0);
    EXPECT_EQ(companion.check(false), 0);
    EXPECT_EQ(log.messages(), (Lines{"[check] service: running", "[check] agent status: " + stored,
                                     "[check] service: running", "[check] agent status: " + stored}));
  }
  EXPECT_TRUE(toaster.toasts().empty());
  EXPECT_TRUE(browser.links().empty());
}

TEST_F(UiCompanionTest, EveryVerbLogsWhatItWasAskedAndReturnsItsCode) {
  struct Case {
    std::string verb;
    bool silent;
    Lines lines;
    int code;
  };
  const Case cases[] = {
      {"", false, {"[ui] verb: (none)", kUsage}, 0},
      {"help", false, {"[ui] verb: help", kUsage}, 1},
      {"-service", false, {"[ui] verb: -service", kUsage}, 1},
      {"-stop", false, {"[ui] verb: -stop", "[ui] stopping the service", "[ui] service stopped"}, 0},
      {"-install", false, {"[ui] verb: -install", "[ui] installing the service", "[ui] service installed and started"}, 0},
      {"-uninstall", false,
       {"[ui] verb: -uninstall", "[ui] uninstalling the service and sweeping its footprint",
        "[ui] service uninstalled"},
       0},
      {"status", false, {"[ui] verb: status", "service:    not installed", "agent:      unregistered", "lastUpload: never"}, 0},
      {"-check", true,
       {"[ui] verb: -check --silent", "[check] service: not installed",
        "[check] decision: service broken, pointing at reinstall",
        "[check] toast: Ostrivel is not running - Reinstall to resume tracking. (https://www.test/reinstall)"},
       0},
  };
  for (const auto& c : cases) {
    log.clear();
    EXPECT_EQ(companion.runVerb(c.verb, c.silent), c.code) << c.verb;
    EXPECT_EQ(log.messages(), c.lines) << c.verb;
    for (const auto& line : log.lines()) {
      EXPECT_EQ(line.level, kLevelInfo) << line.message;
    }
  }
  EXPECT_EQ(services.calls(), (Lines{"stop", "install", "uninstall", "isInstalled", "isInstalled"}));

  services.setResults(false, false, false);
  const std::pair<std::string, std::string> failures[] = {
      {"-stop", "[ui] service not stopped"}, {"-install", "[ui] install failed"}, {"-uninstall", "[ui] uninstall failed"}};
  for (const auto& [verb, line] : failures) {
    log.clear();
    EXPECT_EQ(companion.runVerb(verb, false), 1) << verb;
    EXPECT_EQ(log.messages().back(), line);
  }
}

TEST_F(UiCompanionTest, TheStatusReportLinesUpItsValues) {
  running("registering");
  registry.seed("parameters", "LastUploadAt", "2026-01-05T11:59:00Z");
  registry.seed("parameters", "PendingNonce", "n1");
  EXPECT_EQ(companion.printStatus(), 0);
  EXPECT_EQ(log.messages(), (Lines{"service:    running", "agent:      registering", "lastUpload: 2026-01-05T11:59:00Z",
                                   "pending:    registration waiting for approval"}));

  log.clear();
  services.setRunning(false);
  registry.seed("parameters", "LastUploadAt", "");
  registry.seed("parameters", "PendingNonce", "");
  EXPECT_EQ(companion.printStatus(), 0);
  EXPECT_EQ(log.messages(), (Lines{"service:    stopped", "agent:      registering", "lastUpload: "}));
}

}  // namespace
}  // namespace ostrivel
