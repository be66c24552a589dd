// The sampling thread over a scripted machine, stepped through its waits.
#include "measurement/sampler.h"

#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <stdexcept>

#include "support/fake_clock.h"
#include "support/fake_sampler.h"
#include "support/step_wait.h"

namespace ostrivel {
namespace {

using namespace std::chrono_literals;

// Samples handed to the callback, read by the test thread.
class SampleSink {
 public:
  Sampler::Callback callback(int throwOnCall = 0) {
    return [this, throwOnCall](const Data& data) {
      std::lock_guard lock(mutex);
      received.push_back(data.payload);
      if (static_cast<int>(received.size()) == throwOnCall) {
        throw std::runtime_error("receiver failed");
      }
    };
  }
  std::vector<nlohmann::json> samples() const {
    std::lock_guard lock(mutex);
    return received;
  }

 private:
  mutable std::mutex mutex;
  std::vector<nlohmann::json> received;
};

ProcessRecord process(double cpu) { return ProcessRecord{4, "worker.exe", cpu, 1}; }

TEST(Sampler, BaselineThenFirstSampleAfterTheFirstDelayThenOnePerWindowAndAfreshAfterARestart) {
  testing::FakeClock clock;
  testing::StepWait steps;
  testing::FakeSampler sampler(clock, steps.waiter());
  SampleSink first;
  sampler.setProcessorCount(2);
  sampler.setBusySeconds(100.0);
  sampler.setProcesses({process(0.0)});
  const std::int64_t start = clock.nowMs();

  sampler.start(first.callback(), 10, 3, 5);
  ASSERT_TRUE(steps.awaitWaits(1));
  EXPECT_TRUE(first.samples().empty());
  EXPECT_EQ(sampler.serviceCalls(), 0u);

  clock.advance(3000);
  sampler.setProcesses({process(3.0)});
  sampler.setBusySeconds(104.5);  // 1.5 s of it in no process that is still there
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(first.samples().size(), 1u);
  EXPECT_EQ(first.samples()[0], (nlohmann::json{{"apps", {{"(short-lived)", 25.0}, {"worker", 50.0}}},
                                                {"at", start + 3000},
                                                {"services", nlohmann::json::object()}}));

  clock.advance(5000);
  ASSERT_TRUE(steps.step());
  EXPECT_EQ(first.samples().size(), 1u);
  clock.advance(5000);
  sampler.setProcesses({process(5.0)});
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(first.samples().size(), 2u);
  EXPECT_EQ(first.samples()[1]["at"], start + 13000);
  EXPECT_EQ(sampler.serviceCalls(), 2u);
  clock.advance(5000);
  sampler.setProcesses({process(7.0)});  // half a window measured, then dropped by the stop
  ASSERT_TRUE(steps.step());
  sampler.stop();

  SampleSink second;
  clock.advance(1000);
  sampler.setProcesses({process(8.0)});
  sampler.start(second.callback(), 10, 3, 5);
  ASSERT_TRUE(steps.awaitWaits(6));
  EXPECT_TRUE(second.samples().empty());  // a baseline, though the process history is known
  clock.advance(3000);
  sampler.setProcesses({process(8.6)});
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(second.samples().size(), 1u);
  EXPECT_DOUBLE_EQ(second.samples()[0]["apps"]["worker"].get<double>(), 10.0);
  sampler.stop();
  EXPECT_EQ(first.samples().size(), 2u);
  EXPECT_EQ(steps.durations(), (std::vector<std::chrono::nanoseconds>{3s, 5s, 5s, 5s, 5s, 3s, 5s}));
}

TEST(Sampler, StopEndsAPendingWaitAtOnce) {
  testing::FakeClock clock;
  testing::FakeSampler sampler(clock);  // the real wait on the condition variable
  // The longest delay there is: its deadline must saturate, not overflow.
  sampler.start([](const Data&) {}, 60, std::numeric_limits<std::int32_t>::max(), 5);
  ASSERT_TRUE(sampler.awaitListCalls(1));
  // A guard, not a speed target: a stop that did not end the hour-long wait fails here.
  auto stopped = std::async(std::launch::async, [&] { sampler.stop(); });
  EXPECT_EQ(stopped.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(sampler.listCalls(), 1u);
}

TEST(Sampler, FailuresOfTheReceiverOrOfASnapshotLeaveTheThreadRunning) {
  testing::FakeClock clock;
  testing::StepWait steps;
  testing::FakeSampler sampler(clock, steps.waiter());
  SampleSink sink;
  sampler.setProcesses({process(0.0)});
  sampler.start(sink.callback(1), 5, 3, 5);  // the first sample throws inside the callback
  ASSERT_TRUE(steps.awaitWaits(1));

  clock.advance(3000);
  sampler.setProcesses({process(1.0)});
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(sink.samples().size(), 1u);

  // The failed receiver cost nothing: the next window measures against the same tick.
  clock.advance(5000);
  sampler.setProcesses({process(2.0)});
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(sink.samples().size(), 2u);
  EXPECT_DOUBLE_EQ(sink.samples()[1]["apps"]["worker"].get<double>(), 20.0);

  // A tick that throws keeps the baseline; the next one measures across both intervals.
  clock.advance(5000);
  sampler.failNextList();
  ASSERT_TRUE(steps.step());
  clock.advance(5000);
  sampler.setProcesses({process(4.0)});
  ASSERT_TRUE(steps.step());
  ASSERT_EQ(sink.samples().size(), 3u);
  EXPECT_DOUBLE_EQ(sink.samples()[2]["apps"]["worker"].get<double>(), 20.0);
  sampler.stop();
}

}  // namespace
}  // namespace ostrivel
