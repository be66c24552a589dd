// "-run"'s console events: which stop the pipeline, and which wait for its final flush.
#include "service/console_run.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace ostrivel {
namespace {

using std::chrono::nanoseconds;

// Returns at once, noting whether the stop was already requested when it was called.
class InstantPipeline : public ServicePipeline {
 public:
  bool run(std::stop_token stop) override {
    stoppedOnEntry = stop.stop_requested();
    return true;
  }
  void sessionChanged(const std::string&) override {}
  void suspending() override {}
  bool stoppedOnEntry = false;
};

// Runs until stopped, then flushes for as long as the test holds it.
class SlowPipeline : public InstantPipeline {
 public:
  bool run(std::stop_token stop) override {
    std::unique_lock lock(mutex);
    changed.wait(lock, stop, [] { return false; });
    changed.wait(lock, [this] { return released; });
    flushed = true;
    return true;
  }
  void release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
  bool hasFlushed() {
    std::lock_guard lock(mutex);
    return flushed;
  }

 private:
  std::mutex mutex;
  std::condition_variable_any changed;
  bool released = false;
  bool flushed = false;
};

TEST(ConsoleRun, CtrlCAndBreakStopAtOnceCloseLogoffAndShutdownAlsoWaitOthersPassOn) {
  for (std::uint32_t event = 0; event <= 7; ++event) {
    const bool stops = event <= console::kClose || event == console::kLogoff || event == console::kShutdown;
    const bool waits = stops && event >= console::kClose;
    std::vector<nanoseconds> limits;
    ConsoleRun run([&](std::stop_token, nanoseconds limit) { limits.push_back(limit); });  // time runs out at once
    EXPECT_EQ(run.handle(event), stops) << event;
    InstantPipeline pipeline;
    run.run(pipeline);
    EXPECT_EQ(pipeline.stoppedOnEntry, stops) << event;
    EXPECT_EQ(limits, waits ? std::vector<nanoseconds>{ConsoleRun::kFinishLimit} : std::vector<nanoseconds>{}) << event;
  }
}

TEST(ConsoleRun, ClosingTheWindowReturnsOnlyOnceASlowPipelineHasFlushed) {
  std::mutex mutex;
  std::condition_variable_any changed;
  bool waiting = false;
  ConsoleRun run([&](std::stop_token finished, nanoseconds) {
    std::unique_lock lock(mutex);
    waiting = true;
    changed.notify_all();
    changed.wait(lock, finished, [] { return false; });  // no time limit: only the pipeline ends it
  });
  SlowPipeline pipeline;
  std::thread main([&] { run.run(pipeline); });
  bool flushedWhenHandled = false;
  std::thread handler([&] {
    EXPECT_TRUE(run.handle(console::kClose));
    flushedWhenHandled = pipeline.hasFlushed();
  });
  {
    // The guard only turns a handler that never waits into a failed test instead of a hang.
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return waiting; }));
  }
  pipeline.release();
  handler.join();
  main.join();
  EXPECT_TRUE(flushedWhenHandled);
}

}  // namespace
}  // namespace ostrivel
