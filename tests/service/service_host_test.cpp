// The service host's reports, watcher timing and control handling, without a service manager.
#include "service/service_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/step_wait.h"

namespace ostrivel {
namespace {

class RecordingReporter : public StatusReporter {
 public:
  void report(const ServiceStatus& status) override {
    {
      std::lock_guard lock(mutex);
      reports.push_back(status);
    }
    reported.notify_all();
  }
  // The limit only keeps a broken host from hanging the test run.
  bool awaitState(std::uint32_t state) {
    std::unique_lock lock(mutex);
    return reported.wait_for(lock, std::chrono::seconds(20), [&] {
      return std::any_of(reports.begin(), reports.end(), [&](const ServiceStatus& r) { return r.state == state; });
    });
  }
  std::vector<ServiceStatus> all() {
    std::lock_guard lock(mutex);
    return reports;
  }

 private:
  std::mutex mutex;
  std::condition_variable reported;
  std::vector<ServiceStatus> reports;
};

class FakePipeline : public ServicePipeline {
 public:
  bool run(std::stop_token stop) override {
    if (fails) {
      return false;
    }
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, stop, [] { return false; });
    return true;
  }
  void sessionChanged(const std::string& name) override {
    if (throwing) {
      throw std::runtime_error("queue broken");
    }
    names.push_back(name);
  }
  void suspending() override { ++suspends; }

  std::vector<std::string> names;
  int suspends = 0;
  bool throwing = false;
  bool fails = false;
};

TEST(ServiceHost, ReportsRunningWithItsControlsThenStoppedAfterTheStop) {
  RecordingReporter reporter;
  ServiceHost host(reporter);
  FakePipeline pipeline;
  std::thread service([&] { host.serve(&pipeline); });
  // The stop can only arrive once the service reports running; wait for that report.
  while (reporter.all().size() < 2) {
    std::this_thread::yield();
  }
  EXPECT_EQ(host.handleControl(scm::kControlStop, 0, &pipeline), scm::kNoError);
  service.join();

  const auto reports = reporter.all();
  ASSERT_EQ(reports.size(), 4u);
  const std::uint32_t states[] = {scm::kStartPending, scm::kRunning, scm::kStopPending, scm::kStopped};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(reports[i].state, states[i]);
    EXPECT_EQ(reports[i].acceptedControls, states[i] == scm::kRunning ? 0xC5u : 0u);
  }
  EXPECT_EQ(reports[0].waitHintMs, 20000u);
  EXPECT_EQ(reports[0].checkpoint, 1u);
  EXPECT_EQ(reports[1].checkpoint, 0u);  // no wait hint, no checkpoint
  EXPECT_EQ(reports[2].checkpoint, 2u);
  EXPECT_EQ(reports[3].waitHintMs, 0u);
  EXPECT_EQ(reports[3].serviceExitCode, 0u);
  EXPECT_TRUE(host.stopToken().stop_requested());

  // A pipeline that gave up by itself stops the service as failed, for its recovery to restart it.
  ServiceHost failedHost(reporter);
  pipeline.fails = true;
  failedHost.serve(&pipeline);
  EXPECT_EQ(reporter.all().back().state, scm::kStopped);
  EXPECT_EQ(reporter.all().back().serviceExitCode, ServiceHost::kFailedExitCode);
}

TEST(ServiceHost, RunsItsStartOnlyOnceConnectedAndReportsStartPendingWhileItWorks) {
  RecordingReporter reporter;
  testing::StepWait ticks;
  ServiceHost host(reporter, ticks.waiter());
  FakePipeline pipeline;
  std::size_t reportsBeforeStart = 0;
  std::thread service([&] {
    host.serve(&pipeline, [&] {
      // The data folder's guard on a slow disk: 12 s of the watcher's ticks go by.
      reportsBeforeStart = reporter.all().size();
      ticks.awaitWaits(1);
      for (int tick = 0; tick < 24; ++tick) {
        ticks.step();
      }
    });
  });
  EXPECT_TRUE(reporter.awaitState(scm::kRunning));
  host.handleControl(scm::kControlStop, 0, &pipeline);
  service.join();

  EXPECT_EQ(reportsBeforeStart, 1u);  // start pending, which only a connected service can report
  const auto reports = reporter.all();
  ASSERT_EQ(reports.size(), 6u);
  const std::uint32_t states[] = {scm::kStartPending, scm::kStartPending, scm::kStartPending,
                                  scm::kRunning,      scm::kStopPending,  scm::kStopped};
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(reports[i].state, states[i]) << i;
  }
  EXPECT_EQ(reports[1].checkpoint, 2u);  // at 5 s and 10 s, rising
  EXPECT_EQ(reports[2].checkpoint, 3u);
  EXPECT_EQ(reports[2].waitHintMs, 20000u);
}

TEST(ServiceHost, PassesSessionAndPowerControlsOnAndRepeatsStopPendingEveryFiveSecondsAfterAShutdown) {
  RecordingReporter reporter;
  ServiceHost host(reporter);
  FakePipeline pipeline;
  for (std::uint32_t type : {scm::kSessionLock, 3u /* remote connect */, scm::kSessionUnlock, 1u /* console connect */,
                             scm::kSessionLogon, scm::kSessionLogoff}) {
    EXPECT_EQ(host.handleControl(scm::kControlSessionChange, type, &pipeline), scm::kNoError);
  }
  EXPECT_EQ(pipeline.names, (std::vector<std::string>{"lock", "unlock", "logon", "logoff"}));
  EXPECT_EQ(host.handleControl(scm::kControlPowerEvent, 18 /* resume */, &pipeline), scm::kNoError);
  EXPECT_EQ(pipeline.suspends, 0);
  EXPECT_EQ(host.handleControl(scm::kControlPowerEvent, scm::kPowerSuspend, &pipeline), scm::kNoError);
  EXPECT_EQ(pipeline.suspends, 1);
  EXPECT_EQ(host.handleControl(scm::kControlInterrogate, 0, &pipeline), scm::kNoError);
  EXPECT_EQ(host.handleControl(scm::kControlPause, 0, &pipeline), scm::kCallNotImplemented);
  // Before the pipeline is published, and when it throws, the handler still answers.
  EXPECT_EQ(host.handleControl(scm::kControlSessionChange, scm::kSessionLock, nullptr), scm::kNoError);
  pipeline.throwing = true;
  EXPECT_EQ(host.handleControl(scm::kControlSessionChange, scm::kSessionLock, &pipeline), scm::kNoError);
  for (int tick = 0; tick < 20; ++tick) {
    host.watcherTick();  // running normally: nothing to report
  }
  EXPECT_TRUE(reporter.all().empty());
  EXPECT_FALSE(host.stopToken().stop_requested());

  host.handleControl(scm::kControlShutdown, 0, nullptr);
  EXPECT_TRUE(host.stopToken().stop_requested());
  for (int tick = 0; tick < 24; ++tick) {  // 12 s of stopping, a tick every 500 ms
    host.watcherTick();
  }
  const auto reports = reporter.all();
  ASSERT_EQ(reports.size(), 3u);  // at the stop, at 5 s and at 10 s
  std::uint32_t previous = 0;
  for (const auto& report : reports) {
    EXPECT_EQ(report.state, scm::kStopPending);
    EXPECT_EQ(report.waitHintMs, 20000u);
    EXPECT_GT(report.checkpoint, previous);
    previous = report.checkpoint;
  }
}

}  // namespace
}  // namespace ostrivel
