// How the agent meets the stops Windows sends: the service host's reports, watcher timing and
// control handling without a service manager, and "-run"'s console events.
#include "service/service_host.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

#include "service/console_run.h"
#include "support/step_wait.h"

namespace ostrivel {
namespace {

using namespace scm;
// State, wait hint, checkpoint, accepted controls and exit code of a report.
using Report = std::array<std::uint32_t, 5>;

// Every report comes under the host's status mutex, or before its watcher starts or after it ends.
struct Reports : StatusReporter {
  void report(const ServiceStatus& s) override {
    all.push_back({s.state, s.waitHintMs, s.checkpoint, s.acceptedControls, s.serviceExitCode});
  }
  std::vector<Report> all;
};

// Runs onRun, then returns at once: true when the stop was requested, false (a failure) otherwise.
struct FakePipeline : ServicePipeline {
  bool run(std::stop_token stop) override { return onRun(), stop.stop_requested(); }
  void sessionChanged(const std::string& name) override {
    names.push_back(name);
    if (name == "unlock") throw std::runtime_error("queue broken");
  }
  void suspending() override { names.push_back("suspend"); }
  std::function<void()> onRun = [] {};
  std::vector<std::string> names;
};

TEST(ServiceHost, ReportsStartPendingWhileItsStartWorksThenRunningThenStoppedAsCleanOrFailed) {
  Reports reports;
  testing::StepWait ticks;
  ServiceHost host(reports, ticks.waiter());
  FakePipeline pipeline;
  pipeline.onRun = [&] { host.handleControl(kControlStop, 0, &pipeline); };
  std::size_t reportsBeforeStart = 0;
  host.serve(&pipeline, [&] {
    // The data folder's guard on a slow disk: 12 s of the watcher's ticks go by.
    reportsBeforeStart = reports.all.size();
    ticks.awaitWaits(1);
    for (int tick = 0; tick < 24; ++tick) ticks.step();
  });
  EXPECT_EQ(reportsBeforeStart, 1u);  // start pending, which only a connected service can report
  // Again at 5 s and 10 s of the start, the checkpoint rising; running takes the stop, shutdown,
  // power and session controls.
  // clang-format off
  EXPECT_EQ(reports.all, (std::vector<Report>{{kStartPending, 20000, 1, 0, 0}, {kStartPending, 20000, 2, 0, 0},
      {kStartPending, 20000, 3, 0, 0}, {kRunning, 0, 0, 0xC5, 0}, {kStopPending, 20000, 4, 0, 0}, {kStopped, 0, 0, 0, 0}}));
  // clang-format on
  // A pipeline that gave up by itself stops the service as failed, for its recovery to restart it.
  Reports failed;
  pipeline.onRun = [] {};
  ServiceHost(failed).serve(&pipeline);
  EXPECT_EQ(failed.all.back(), (Report{kStopped, 0, 0, 0, ServiceHost::kFailedExitCode}));
}

// The handler never throws and never waits for the pipeline; it passes on the four session events
// the agent records and a suspend, before the pipeline is published too.
TEST(ServiceHost, PassesSessionAndPowerControlsOnAndRepeatsStopPendingEveryFiveSecondsAfterAShutdown) {
  Reports reports;
  ServiceHost host(reports);
  FakePipeline pipeline;
  for (const std::uint32_t session :
       {kSessionLock, 3u /* remote connect */, kSessionUnlock, kSessionLogon, kSessionLogoff}) {
    EXPECT_EQ(host.handleControl(kControlSessionChange, session, &pipeline), kNoError);
  }
  for (const std::uint32_t power : {18u /* resume */, kPowerSuspend})
    host.handleControl(kControlPowerEvent, power, &pipeline);
  EXPECT_EQ(pipeline.names, (std::vector<std::string>{"lock", "unlock", "logon", "logoff", "suspend"}));
  EXPECT_EQ(host.handleControl(kControlSessionChange, kSessionLock, nullptr), kNoError);
  EXPECT_EQ(host.handleControl(kControlInterrogate, 0, &pipeline), kNoError);
  EXPECT_EQ(host.handleControl(kControlPause, 0, &pipeline), kCallNotImplemented);
  for (int tick = 0; tick < 20; ++tick) host.watcherTick();  // running normally: nothing to report
  EXPECT_TRUE(reports.all.empty());

  host.handleControl(kControlShutdown, 0, nullptr);
  EXPECT_TRUE(host.stopToken().stop_requested());
  for (int tick = 0; tick < 24; ++tick) host.watcherTick();  // 12 s of stopping, a tick every 500 ms
  EXPECT_EQ(reports.all,
            std::vector<Report>(
                {{kStopPending, 20000, 1, 0, 0}, {kStopPending, 20000, 2, 0, 0}, {kStopPending, 20000, 3, 0, 0}}));
}

// Windows ends the process once the handler of a close, logoff or shutdown returns: the handler
// waits, for a limited time, until the pipeline has returned from its final flush.
TEST(ConsoleRun, CtrlCAndBreakStopAtOnceCloseLogoffAndShutdownAlsoWaitForThePipelineOthersPassOn) {
  for (std::uint32_t event = 0; event <= 7; ++event) {
    const bool stops = event <= console::kClose || event == console::kLogoff || event == console::kShutdown;
    const bool waits = stops && event >= console::kClose;
    std::vector<std::chrono::nanoseconds> limits;
    std::stop_token finished;
    ConsoleRun run([&](std::stop_token token, std::chrono::nanoseconds limit) {  // time runs out at once
      finished = token;
      limits.push_back(limit);
    });
    EXPECT_EQ(run.handle(event), stops) << event;
    FakePipeline pipeline;
    pipeline.onRun = [&] { EXPECT_FALSE(finished.stop_requested()) << event; };
    EXPECT_EQ(run.run(pipeline), stops) << event;
    EXPECT_EQ(finished.stop_requested(), waits) << event;
    EXPECT_EQ(limits, std::vector(waits ? 1 : 0, std::chrono::nanoseconds(ConsoleRun::kFinishLimit))) << event;
  }
}

}  // namespace
}  // namespace ostrivel
