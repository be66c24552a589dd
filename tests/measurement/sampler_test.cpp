// CPU accounting driven tick by tick over scripted snapshots, and the sampling thread around it
// stepped through its waits.
#include "measurement/sampler.h"

#include <gtest/gtest.h>

#include <future>

#include "measurement/app_key.h"
#include "measurement/cpu_accounting.h"
#include "support/fake_clock.h"
#include "support/fake_sampler.h"
#include "support/step_wait.h"

namespace ostrivel {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Snapshot = std::vector<ProcessRecord>;
constexpr std::int64_t kStart = 1767614400000;  // the fake clock's start

// Drives the accounting like the sampling thread, counting how often the services are asked for.
struct Driver {
  explicit Driver(std::int32_t window = 60, std::int32_t interval = 5) : accounting(window, interval) {}
  std::optional<Data> tick(const Snapshot& snapshot, std::int64_t atMs, double busy = 0.0) {
    return accounting.tick(snapshot, busy, atMs, cpus, [this] { return ++serviceCalls, services; });
  }
  // The apps (or services) of the sample the tick closes; null when it closes none.
  json shares(const Snapshot& snapshot, std::int64_t atMs, double busy = 0.0, const char* part = "apps") {
    const auto sample = tick(snapshot, atMs, busy);
    return sample ? sample->payload[part] : json();
  }
  CpuAccounting accounting;
  ServiceMap services;
  std::uint32_t cpus = 1;
  int serviceCalls = 0;
};

TEST(AppKey, CutsTheLastExtensionAndTurnsOtherDotsIntoUnderscores) {
  const std::pair<std::string, std::string> keys[] = {
      {"Microsoft.Photos.exe", "Microsoft_Photos"}, {".hidden", "_hidden"}, {"a.exe", "a"}, {"Registry.", "Registry"}};
  for (const auto& [name, key] : keys) EXPECT_EQ(appKey(name), key) << name;
}

// A baseline measures nothing; the first sample comes after the first measured interval, the next
// after a full window, whose map of service hosts, asked for at its first measured tick, holds
// throughout: a host counts under its service though the service stopped meanwhile.
TEST(CpuAccounting, FirstSampleAfterOneIntervalThenOnePerWindowWithTheHostsOfItsStart) {
  Driver driver;
  driver.cpus = 2;
  driver.services = {{9, {"Spooler"}}, {99, {"Gone"}}};
  const auto machine = [](double chrome, double spooler) {
    return Snapshot{{4, "chrome.exe", chrome, 1}, {9, "spoolsv.exe", spooler, 1}};
  };
  EXPECT_EQ(driver.shares(machine(10.0, 1.0), kStart, 100.0), json());
  EXPECT_EQ(driver.serviceCalls, 0);
  // 4 s on 2 processors; busy time no process accounts for is short-lived; a host that is gone stays out.
  EXPECT_EQ(driver.tick(machine(12.0, 1.5), kStart + 4000, 104.0)->payload.dump(),
            R"~({"apps":{"(short-lived)":18.75,"chrome":25.0},"at":1767614404000,"services":{"Spooler":6.25}})~");
  for (int i = 1; i <= 12; ++i) {
    const json services =
        driver.shares(machine(12.0 + i, 1.5 + i), kStart + 4000 + i * 5000, 104.0 + 2 * i, "services");
    EXPECT_EQ(services, (i < 12 ? json() : json{{"Spooler", 10.0}})) << i;
    driver.services = {};
  }
  EXPECT_EQ(driver.serviceCalls, 2);
}

// A sleep, a stall or a clock step cannot be told apart from the gap: the window starts again.
TEST(CpuAccounting, GapOfMoreThanTwoIntervalsOrABackwardClockDiscardsTheWindow) {
  Driver driver;
  // Twelve ticks 5 s apart, the process busy for half of each: the share the last one closes with.
  const auto window = [&](std::int64_t from, double cpu) {
    for (int i = 1; i < 12; ++i) EXPECT_EQ(driver.shares({{4, "game.exe", cpu + i * 0.5, 1}}, from + i * 5000), json());
    return driver.shares({{4, "game.exe", cpu + 6.0, 1}}, from + 60000);
  };
  driver.tick({{4, "game.exe", 0.0, 1}}, kStart);
  ASSERT_TRUE(driver.tick({{4, "game.exe", 1.0, 1}}, kStart + 3000));
  // Exactly two intervals still measure; a burst of 50 s then goes with the gap after it.
  EXPECT_EQ(driver.shares({{4, "game.exe", 51.0, 1}}, kStart + 13000), json());
  EXPECT_EQ(driver.shares({{4, "game.exe", 52.0, 1}}, kStart + 23001), json());
  EXPECT_EQ(window(kStart + 23001, 52.0), (json{{"game", 10.0}}));
  // A clock stepped back discards too, and so does a tick in the same millisecond.
  driver.tick({{4, "game.exe", 70.0, 1}}, kStart + 1000);
  driver.tick({{4, "game.exe", 80.0, 1}}, kStart + 1000);
  EXPECT_EQ(window(kStart + 1000, 80.0), (json{{"game", 10.0}}));
}

// A process not seen before ran partly before the interval: all its time counts, up to the
// interval's capacity (3 s on 4 processors). Service hosts split their time evenly and never
// count under their image name. The system lists processes in no particular order.
TEST(CpuAccounting, NewProcessesCountAtMostTheIntervalAndHostsOnlyUnderTheirServices) {
  Driver driver(3, 3);
  driver.cpus = 4;
  driver.services = {{40, {"Dnscache", "Tcp.Relay.Service"}}};
  // clang-format off
  driver.tick({{7, "old.exe", 100.0, 1}, {40, "svchost.exe", 10.0, 1}, {50, "svchost.exe", 1.0, 1},
               {1, "python.exe", 0.0, 1}, {2, "python.exe", 0.0, 1}}, kStart);
  // Pid 7 now belongs to another process.
  EXPECT_EQ(driver.tick({{2, "python.exe", 0.75, 1}, {50, "svchost.exe", 1.5, 1}, {40, "svchost.exe", 13.0, 1},
                         {7, "reused.exe", 500.0, 2}, {8, "fresh.exe", 0.75, 5}, {1, "python.exe", 0.75, 1}},
                        kStart + 3000)->payload.dump(),
            R"({"apps":{"fresh":6.25,"python":12.5,"reused":100.0,"svchost":4.166666666666666},"at":1767614403000,)"
            R"("services":{"Dnscache":12.5,"Tcp_Relay":12.5}})");
  // clang-format on
  // A lower reading than before (never expected) counts as nothing, not as negative time.
  EXPECT_EQ(driver.shares({{7, "reused.exe", 400.0, 2}, {2, "python.exe", 0.75, 1}}, kStart + 6000),
            (json{{"python", 0.0}, {"reused", 0.0}}));
}

TEST(CpuAccounting, BusyTimeOfAFailedSnapshotIsShortLivedButAFailedBusyReadingGivesNone) {
  Driver driver;
  driver.cpus = 2;
  driver.tick({{3, "a.exe", 1.0, 1}}, kStart, 50.0);
  EXPECT_EQ(driver.shares({}, kStart + 4000, 54.0), (json{{"(short-lived)", 50.0}}));
  // A reading of 0.0 at either end of a window would make all busy time since boot short-lived.
  for (const auto& [before, after] : {std::pair(0.0, 950'000.0), std::pair(950'000.0, 0.0)}) {
    Driver failed(3, 3);
    failed.tick({{3, "a.exe", 1.0, 1}}, kStart, before);
    EXPECT_EQ(failed.shares({{3, "a.exe", 1.0, 1}}, kStart + 3000, after), (json{{"a", 0.0}})) << before;
  }
}

TEST(CpuAccounting, WindowBelowOneSecondHasNoIntervalLimit) {
  const std::tuple<int, int, int> intervals[] = {{60, 5, 5}, {60, 0, 1}, {3, 5, 3}, {1, 5, 1}, {0, 5, 0}};
  for (const auto& [window, interval, effective] : intervals) {
    EXPECT_EQ(effectiveIntervalSeconds(window, interval), effective) << window << " " << interval;
  }
  // No gap is too long, and every measured tick, even a millisecond on, closes the window.
  Driver driver(0, 5);
  driver.tick({{1, "a.exe", 0.0, 1}}, kStart);
  EXPECT_EQ(driver.shares({{1, "a.exe", 36.0, 1}}, kStart + 3'600'000), (json{{"a", 1.0}}));
  EXPECT_TRUE(driver.tick({{1, "a.exe", 36.0, 1}}, kStart + 3'600'001));
}

// A failing receiver or snapshot leaves the thread running; a restart begins with a baseline.
TEST(Sampler, BaselineThenFirstSampleAfterTheFirstDelayThenOnePerWindowThroughFailuresAndAfreshAfterARestart) {
  testing::FakeClock clock;
  testing::StepWait steps;
  testing::FakeSampler sampler(clock, steps.waiter());
  std::vector<json> samples;  // the sampling thread writes them only before it waits
  const auto receive = [&](const Data& sample) {
    samples.push_back(sample.payload);
    if (samples.size() == 1) throw std::runtime_error("receiver failed");
  };
  sampler.cpus = 2;
  sampler.busy = 100.0;
  sampler.processes = {{4, "worker.exe", 0.0, 1}};
  sampler.start(receive, 10, 3, 5);
  ASSERT_TRUE(steps.awaitWaits(1));
  // Seconds the clock moves on, the worker's CPU seconds, whether the tick fails, samples so far;
  // 1.5 s of the first interval's busy time are in no process that is still there.
  const std::tuple<int, double, bool, std::size_t> ticks[] = {
      {3, 3.0, false, 1}, {5, 4.0, true, 1}, {5, 5.0, false, 2}, {5, 7.0, false, 2}};
  for (const auto& [seconds, cpu, fails, count] : ticks) {
    clock.advance(seconds * 1000);
    sampler.processes = {{4, "worker.exe", cpu, 1}};
    sampler.failNextList = fails;
    sampler.busy += seconds == 3 ? 4.5 : 0.0;
    ASSERT_TRUE(steps.step());
    EXPECT_EQ(samples.size(), count);
  }
  sampler.stop();  // half a window measured, then dropped
  // The failed tick kept the baseline: the second window measures against the first sample's tick.
  EXPECT_EQ(json(samples).dump(),
            R"~([{"apps":{"(short-lived)":25.0,"worker":50.0},"at":1767614403000,"services":{}},)~"
            R"({"apps":{"worker":10.0},"at":1767614413000,"services":{}}])");
  EXPECT_EQ(sampler.serviceLists, 3);  // once per window, at its first measured tick
  clock.advance(1000);
  sampler.start(receive, 10, 3, 5);
  ASSERT_TRUE(steps.awaitWaits(6));
  clock.advance(3000);
  sampler.processes = {{4, "worker.exe", 8.5, 1}};
  ASSERT_TRUE(steps.step());
  sampler.stop();
  EXPECT_EQ(samples.back()["apps"], (json{{"worker", 25.0}}));
  EXPECT_EQ(steps.durations(), (std::vector<std::chrono::nanoseconds>{3s, 5s, 5s, 5s, 5s, 3s, 5s}));
}

TEST(Sampler, StopEndsAPendingWaitAtOnce) {
  testing::FakeClock clock;
  testing::FakeSampler sampler(clock);  // the real wait on the condition variable
  // The longest delay there is: its deadline must saturate, not overflow.
  sampler.start([](const Data&) {}, 60, std::numeric_limits<std::int32_t>::max(), 5);
  while (sampler.lists == 0) std::this_thread::yield();
  // A guard, not a speed target: a stop that did not end the wait fails here.
  auto stopped = std::async(std::launch::async, [&] { sampler.stop(); });
  EXPECT_EQ(stopped.wait_for(60s), std::future_status::ready);
  EXPECT_EQ(sampler.lists, 1);
}

}  // namespace
}  // namespace ostrivel
