// The logon check's decisions, the toast it hands on and when a balloon shows it, and the console
// verbs.
#include <gtest/gtest.h>

#include "companion/balloon_retry.h"
#include "companion/ui_companion.h"
#include "support/fake_clock.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"

namespace ostrivel {
namespace {

using Lines = std::vector<std::string>;

// What the person at the PC was shown, in order: "toast <payload>" or "open <link>".
struct RecordingDesktop : Toaster, UrlOpener {
  void show(const Data& toast) override { shown.push_back(toast.name + " " + toast.payload.dump()); }
  void open(const std::string& link) override { shown.push_back("open " + link); }
  Lines shown;
};

// Reports the state a test set, answers every change with `answer`, lists the operations called.
struct FakeServiceControl : ServiceControl {
  bool isInstalled() override { return called("isInstalled", installed); }
  bool isRunning() override { return called("isRunning", running); }
  bool stop() override { return called("stop", answer); }
  bool install() override { return called("install", answer); }
  bool uninstall() override { return called("uninstall", answer); }
  bool called(const std::string& operation, bool result) {
    calls += operation + " ";
    return result;
  }
  bool installed = true, running = true, answer = true;
  std::string calls;
};

// The fake clock starts at 2026-01-05T12:00:00Z: uploads before 10:00:00 are stale.
struct Companion {
  // Empty values are not there.
  Companion(const std::string& service, const std::string& agentState, const std::string& lastUpload,
            const std::string& nonce = "") {
    services.installed = service != "not installed";
    services.running = service == "running";
    for (const auto& [name, value] : {std::pair{"AgentState", agentState}, std::pair{"LastUploadAt", lastUpload},
                                      std::pair{"PendingNonce", nonce}}) {
      if (!value.empty()) registry.seed("parameters", name, value);
    }
  }
  // Runs the verb, or the check without one; the lines logged, joined by "|", without "[check] ".
  std::string run(const std::optional<std::string>& verb, bool silent, int code = 0) {
    log.clear();
    EXPECT_EQ(verb ? companion.runVerb(*verb, silent) : companion.check(silent), code) << verb.value_or("check");
    std::string out;
    for (const auto& line : log.messages()) {
      out += (out.empty() ? "" : "|") + (line.rfind("[check] ", 0) == 0 ? line.substr(8) : line);
    }
    return out;
  }

  testing::FakeClock clock;
  testing::InMemoryRegistry registry;
  testing::InMemoryFileSystem files;
  testing::RecordingLogger log;
  RecordingDesktop desktop;
  FakeServiceControl services;
  AgentStateStore state{registry};
  IdentityStore identities{files, registry, "C:\\ProgramData\\Ostrivel"};
  UiCompanion companion{log,      state, identities,         desktop,           desktop,
                        services, clock, "https://app.test", "https://www.test"};
};

// A decision as the check logs it, and what it then shows.
struct Notice {
  std::string decision, title, line, link;
  std::string toast() const {
    return "toast " + nlohmann::json{{"title", title}, {"lines", {line}}, {"action", link}}.dump();
  }
};

TEST(UiCompanion, EachStateGivesItsDecisionAsAToastOrInTheBrowser) {
  const Notice reinstall{"service broken, pointing at reinstall", "Ostrivel is not running",
                         "Reinstall to resume tracking.", "https://www.test/reinstall"};
  const Notice finish{"pointing at the register page", "Finish registering this PC", "Approve it in your dashboard.",
                      "https://app.test/register/#n0nce-7"};
  const Notice paused{"account suspended, pointing at billing", "Ostrivel is paused", "Top up your balance to resume.",
                      "https://app.test/billing"};
  const Notice again{"agent needs re-registration", "Ostrivel needs attention", "Re-register this PC.",
                     "https://app.test/register"};
  const Notice stalled{"uploads stalled, pointing at the dashboard", "Ostrivel uploads stalled",
                       "Check this PC's connection.", "https://app.test"};
  const std::string ok = "service: running|agent status: ok|lastUpload: ";
  const struct {
    std::string service, agentState, nonce, lastUpload;
    std::string logged;  // before the decision
    Notice notice;       // none: nothing shown
  } cases[] = {
      // A broken service wins before any state is read; a pending nonce wins over the agent state.
      {"not installed", "ok", "n1", "", "service: not installed", reinstall},
      {"stopped", "ok", "n1", "", "service: stopped", reinstall},
      {"running", "suspended", "n0nce-7", "", "service: running|registration pending approval", finish},
      {"running", "suspended", "", "", "service: running|agent status: suspended", paused},
      {"running", "", "", "", "service: running|agent status: unregistered", again},
      {"running", "tokenDead", "", "", "service: running|agent status: tokenDead", again},
      // Uploads older than two hours, or never made, are stalled.
      {"running", "ok", "", "2026-01-05T09:59:59Z", ok + "2026-01-05T09:59:59Z, stale before: 2026-01-05T10:00:00Z",
       stalled},
      {"running", "ok", "", "", ok + "never, stale before: 2026-01-05T10:00:00Z", stalled},
      // A service on its way: nothing for the user to do yet.
      {"running", "starting", "", "", "service: running|agent status: starting", {}},
  };
  for (const auto& c : cases) {
    for (const bool silent : {true, false}) {
      Companion r(c.service, c.agentState, c.lastUpload, c.nonce);
      const Notice& n = c.notice;
      const std::string shows =
          silent ? "toast: " + n.title + " - " + n.line + " (" + n.link + ")" : "opening browser: " + n.link;
      EXPECT_EQ(r.run({}, silent), c.logged + (n.link.empty() ? "" : "|decision: " + n.decision + "|" + shows));
      EXPECT_EQ(r.desktop.shown, n.link.empty() ? Lines{} : Lines{silent ? n.toast() : "open " + n.link}) << c.logged;
    }
  }
}

// Two hours old exactly is not stale yet. A credential an older install left in the registry is
// read where it is: the check runs as the user, and moving it is the service's job.
TEST(UiCompanion, AHealthyUserGetsTodaysPageWithoutTheTokenInTheLogAndTheNoticeOnceAtLogon) {
  Companion r("running", "ok", "2026-01-05T10:00:00Z");
  const std::string healthy =
      "service: running|agent status: ok|lastUpload: 2026-01-05T10:00:00Z, stale before: "
      "2026-01-05T10:00:00Z|decision: ";
  EXPECT_EQ(r.run({}, false), healthy + "healthy, opening https://app.test");
  r.registry.seed("parameters", "Token", "osv_Secret-Token_42");
  EXPECT_EQ(r.run({}, false), healthy + "healthy, opening https://app.test/agent?day=20260105&token=********");
  EXPECT_FALSE(r.files.read("C:\\ProgramData\\Ostrivel\\identity.json"));
  const Notice notice{"first logon for this user, showing the notice", "Ostrivel is recording on this PC",
                      "It notes which apps use the processor, and when. It never sees your screen, your typing or "
                      "the sites you visit.",
                      "https://www.test/data"};
  EXPECT_EQ(r.run({}, true),
            healthy + notice.decision + "|toast: " + notice.title + " - " + notice.line + " (" + notice.link + ")");
  EXPECT_EQ(r.registry.peek("user", "NoticeSeen"), "1");
  EXPECT_EQ(r.run({}, true), healthy + "healthy, staying silent");
  EXPECT_EQ(r.desktop.shown,
            (Lines{"open https://app.test", "open https://app.test/agent?day=20260105&token=osv_Secret-Token_42",
                   notice.toast()}));
}

TEST(UiCompanion, EveryVerbLogsWhatItWasAskedAndReturnsItsCode) {
  // The usage line and its exit codes show in the Wine test of the user modes.
  Companion r("not installed", "", "");
  EXPECT_EQ(r.run("-stop", false), "[ui] verb: -stop|[ui] stopping the service|[ui] service stopped");
  EXPECT_EQ(r.run("-install", false),
            "[ui] verb: -install|[ui] installing the service|[ui] service installed and started");
  EXPECT_EQ(r.run("-uninstall", false),
            "[ui] verb: -uninstall|[ui] uninstalling the service and sweeping its footprint|[ui] service uninstalled");
  EXPECT_EQ(r.run("status", false),
            "[ui] verb: status|service:    not installed|agent:      unregistered|lastUpload: never");
  r.services.answer = false;
  EXPECT_EQ(r.run("-install", false, 1), "[ui] verb: -install|[ui] installing the service|[ui] install failed");
  EXPECT_EQ(r.services.calls, "stop install uninstall isInstalled install ");
}

// At logon the Run entry can start before the taskbar: adding the icon fails at first.
TEST(BalloonRetry, RetriesTheIconForFiveSecondsAndReAddsItForEveryNewTaskbarWithinTheToast) {
  using E = BalloonEvent;
  EXPECT_EQ(balloonAction(E::retryTick, 4999, false), BalloonAction::addIcon);
  EXPECT_EQ(balloonAction(E::retryTick, 5000, false), BalloonAction::stopRetrying);
  EXPECT_EQ(balloonAction(E::retryTick, 2000, true), BalloonAction::stopRetrying);
  EXPECT_EQ(balloonAction(E::taskbarCreated, 14999, true), BalloonAction::addIcon);
  EXPECT_EQ(balloonAction(E::taskbarCreated, 15000, false), BalloonAction::none);
}

}  // namespace
}  // namespace ostrivel
