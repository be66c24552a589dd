// The measurement subsystem over scripted machines: CPU accounting tick by tick, the sampling
// thread stepped through its waits, the events source and power events, and the catalogue.
#include <gtest/gtest.h>

#include "measurement/app_key.h"
#include "measurement/cpu_accounting.h"
#include "measurement/power_events.h"
#include "support/fake_apps_registry.h"
#include "support/fake_clock.h"
#include "support/fake_events.h"
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
  // The apps of the sample the tick closes; null when it closes none.
  json shares(const Snapshot& snapshot, std::int64_t atMs) {
    const auto sample = tick(snapshot, atMs);
    return sample ? sample->payload["apps"] : json();
  }
  CpuAccounting accounting;
  ServiceMap services;
  std::uint32_t cpus = 1;
  int serviceCalls = 0;
};

// A baseline measures nothing; the first sample comes after the first measured interval, the next
// after a full window, whose map of service hosts, asked for at its first measured tick, holds
// throughout: a host counts under its service though the service stopped meanwhile. Busy time no
// process accounts for is short-lived, unless a busy reading of the window failed (0.0): against
// a real one it would stand for all busy time since boot.
TEST(CpuAccounting, FirstSampleAfterOneIntervalThenOnePerWindowWithTheHostsOfItsStart) {
  Driver driver;
  driver.cpus = 2;
  driver.services = {{9, {"Spooler"}}, {99, {"Gone"}}};
  const auto machine = [](double cpu) {
    return Snapshot{{4, "chrome.exe", 10.0 + cpu, 1}, {9, "spoolsv.exe", cpu, 1}};
  };
  EXPECT_FALSE(driver.tick(machine(1.0), kStart, 0.0));
  EXPECT_EQ(driver.tick(machine(1.5), kStart + 4000, 104.0)->payload.dump(),  // 4 s on 2 processors
            R"({"apps":{"chrome":6.25},"at":1767614404000,"services":{"Spooler":6.25}})");
  for (int i = 1; i < 12; ++i) EXPECT_FALSE(driver.tick(machine(1.5 + i), kStart + 4000 + i * 5000, 104.0 + 3 * i));
  driver.services = {};
  EXPECT_EQ(driver.tick(machine(13.5), kStart + 64000, 140.0)->payload.dump(),
            R"~({"apps":{"(short-lived)":10.0,"chrome":10.0},"at":1767614464000,"services":{"Spooler":10.0}})~");
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
  // Without a window every tick is a sample, a millisecond after the last one too.
  Driver instant(0, 5);
  instant.tick({{4, "game.exe", 0.0, 1}}, kStart);
  EXPECT_EQ(instant.shares({{4, "m.exe", 0.0005, 1}}, kStart + 1), (json{{"m", 50.0}}));
  // The interval fits in the window; a window below one second has none, so no gap is too long.
  const std::tuple<int, int, int> intervals[] = {{60, 5, 5}, {60, 0, 1}, {3, 5, 3}, {1, 5, 1}, {0, 5, 0}};
  for (const auto& [window, interval, effective] : intervals)
    EXPECT_EQ(effectiveIntervalSeconds(window, interval), effective);
}

// A process not seen before ran partly before the interval: all its time counts, up to the
// interval's capacity (3 s on 4 processors). Service hosts split their time evenly and never
// count under their image name. The system lists processes in no particular order.
TEST(CpuAccounting, NewProcessesCountAtMostTheIntervalAndHostsOnlyUnderTheirServices) {
  Driver driver(3, 3);
  driver.cpus = 4;
  driver.services = {{40, {"Dnscache", "Tcp.Relay.Service"}}};
  // clang-format off
  Snapshot before{{7, "old.exe", 100.0, 1}, {40, "svchost.exe", 10.0, 1}, {50, "svchost.exe", 1.0, 1},
                  {1, "python.exe", 0.0, 1}, {2, "python.exe", 0.0, 1}};
  // Pid 7 now belongs to another process.
  Snapshot after{{2, "python.exe", 0.75, 1}, {50, "svchost.exe", 1.5, 1}, {40, "svchost.exe", 13.0, 1},
                 {7, "reused.exe", 500.0, 2}, {8, "fresh.exe", 0.75, 5}, {1, "python.exe", 0.75, 1}};
  // clang-format on
  driver.tick(before, kStart);
  EXPECT_EQ(driver.tick(after, kStart + 3000)->payload.dump(),
            R"({"apps":{"fresh":6.25,"python":12.5,"reused":100.0,"svchost":4.166666666666666},)"
            R"("at":1767614403000,"services":{"Dnscache":12.5,"Tcp_Relay":12.5}})");
  // A lower reading than before (never expected) counts as nothing, not as negative time.
  EXPECT_EQ(driver.shares({{7, "reused.exe", 400.0, 2}, {2, "python.exe", 0.75, 1}}, kStart + 6000),
            (json{{"python", 0.0}, {"reused", 0.0}}));
}

// A failing receiver or snapshot leaves the thread running; a restart begins with a baseline.
TEST(Sampler, BaselineThenFirstSampleAfterTheFirstDelayThenOnePerWindowThroughFailuresAndAfreshAfterARestart) {
  testing::FakeClock clock;
  testing::StepWait steps;
  testing::FakeSampler sampler(clock, std::ref(steps));
  std::vector<json> samples;  // the sampling thread writes them only before it waits
  const auto receive = [&](const Data& sample) {
    samples.push_back(sample.payload);
    if (samples.size() == 1) throw std::runtime_error("receiver failed");
  };
  sampler.processes = {{4, "worker.exe", 0.0, 1}};
  sampler.start(receive, 10, 3, 5);
  // Seconds on and the worker's CPU seconds at each tick; the second tick fails, and after the
  // fourth the sampler stops, then starts again.
  const std::pair<int, double> ticks[] = {{3, 3.0}, {5, 4.0}, {5, 5.0}, {5, 7.0}, {4, 7.0}, {3, 8.5}};
  for (std::size_t i = 0; i < std::size(ticks); ++i) {
    ASSERT_TRUE(steps.awaitWaits(i + 1));
    if (i == 4) sampler.stop();  // half a window measured, then dropped
    clock.advance(ticks[i].first * 1000);
    sampler.processes = {{4, "worker.exe", ticks[i].second, 1}};
    sampler.beforeList = [fails = i == 1] {
      if (fails) throw std::runtime_error("scripted failure");
    };
    if (i == 4) {
      sampler.start(receive, 10, 3, 5);  // afresh: a baseline first
    } else {
      steps.step();
    }
  }
  sampler.stop();
  // The failed tick kept the baseline: the second window measures against the first sample's tick.
  EXPECT_EQ(json(samples).dump(), R"([{"apps":{"worker":100.0},"at":1767614403000,"services":{}},)"
                                  R"({"apps":{"worker":20.0},"at":1767614413000,"services":{}},)"
                                  R"({"apps":{"worker":50.0},"at":1767614425000,"services":{}}])");
  EXPECT_EQ(steps.durations(), (std::vector<std::chrono::nanoseconds>{3s, 5s, 5s, 5s, 5s, 3s, 5s}));
}

// The framing across a re-enrolment's second run is in the service's tests.
TEST(Events, FramesARunWithStartedAndStoppedAndDropsUnknownKinds) {
  testing::FakeClock clock(1000);
  testing::FakeEvents events(clock);
  std::vector<std::string> received;  // "at kind"
  events.stop();                      // never started: nothing
  events.start([&](const Data& data) {
    received.push_back(data.payload["at"].dump() + " " + data.payload["kind"].get<std::string>());
  });
  for (const char* kind : {"boot", "hibernate", ""}) events.source(500, kind);
  for (const char* kind : {"lock", "remoteConnect", "resume", "logon"}) events.onSessionChange(kind);
  clock.set(2000);
  events.stop();
  events.stop();
  events.onSessionChange("unlock");  // after the run: no receiver
  EXPECT_EQ(received,
            (std::vector<std::string>{"1000 started", "500 boot", "1000 lock", "1000 logon", "2000 stopped"}));
  EXPECT_EQ(events.sourceStops, 1);
}

// Event ids are unique only within a provider; laptops with modern standby log sleep as
// Kernel-Power 506 and 507 instead of 42 and 107. A 16-bit id keeps its low bits; an id of
// another type, or a time that is not a FILETIME, gives nothing.
TEST(PowerEvents, MapsEachProvidersOwnIdsFromRenderedValues) {
  const std::string log = "EventLog";
  const std::string power = "Microsoft-Windows-Kernel-Power";
  const std::string general = "Microsoft-Windows-Kernel-General";
  // clang-format off
  const std::tuple<std::string, std::uint32_t, std::optional<std::string>> kinds[] = {{log, 6005, "boot"},
      {log, 6006, "shutdown"}, {log, 6008, "shutdown"}, {power, 42, "suspend"}, {power, 107, "resume"},
      {power, 506, "suspend"}, {power, 507, "resume"}, {log, 42, {}}, {log, 506, {}}, {power, 6005, {}},
      {power, 41, {}}, {general, 6005, {}}, {general, 42, {}}};
  // clang-format on
  for (const auto& [provider, id, kind] : kinds) EXPECT_EQ(powerEventKind(provider, id), kind) << provider << id;
  const EventValue newYear2026{kEventValueFileTime, (1767225600000ULL + 11644473600000ULL) * 10000};
  const auto suspend = powerEventFrom(power, {kEventValueUInt16, 65536 + 42}, newYear2026);
  EXPECT_EQ(std::pair(suspend->at, suspend->kind), std::pair(std::int64_t{1767225600000}, std::string("suspend")));
  EXPECT_EQ(powerEventFrom(log, {kEventValueUInt32, 6005}, newYear2026)->kind, "boot");
  EXPECT_FALSE(powerEventFrom(log, {kEventValueFileTime, 6005}, newYear2026));
  EXPECT_FALSE(powerEventFrom(log, {kEventValueUInt32, 6005}, {kEventValueUInt32, newYear2026.bits}));
}

constexpr std::int64_t kHour = 3'600'000;

// Every poll reads the last 48 hours: two entries of one time in one poll are both new, and the
// next poll takes only later ones.
TEST(EventLogCursor, DeliversOnlyWhatIsNewerThanThePreviousPolls) {
  EventLogCursor cursor;
  const std::vector<std::pair<int, bool>> polls[] = {{{100, true}, {300, true}, {300, true}},
                                                     {{100, false}, {300, false}, {301, true}}};
  for (const auto& poll : polls) {
    cursor.beginPoll();
    for (const auto& [at, accepted] : poll) EXPECT_EQ(cursor.accept(at), accepted) << at;
    cursor.endPoll();
  }
}

TEST(AppsRegistry, DescribesWhatIsNewOrChangedAtMostOnceADayAndForgetsAfterAWeek) {
  testing::FakeClock clock;
  testing::FakeAppsRegistry registry(clock);
  registry.installed["editor"] = {"C:\\editor.exe", "1.2", "Velbrook", "Text editor", "Editor", "editor.exe", 4096};
  registry.installed["tool"] = {"C:\\tool.exe", "", "", "", "", "", 512};
  // All from one look at the processes; a key found nowhere is remembered empty.
  EXPECT_EQ(registry.describe({"editor", "tool", "gone"}).payload.dump(),
            R"({"editor":{"company":"Velbrook","description":"Text editor","originalName":"editor.exe",)"
            R"("path":"C:\\editor.exe","product":"Editor","size":4096,"version":"1.2"},"gone":{},)"
            R"("tool":{"path":"C:\\tool.exe","size":512}})");
  EXPECT_EQ(registry.looks, 1);
  registry.markReported();
  registry.installed["gone"] = {"C:\\gone.exe", "", "", "", "", "", 1};
  registry.installed["editor"].version = "1.3";
  // Hours on, keys asked, keys answered, looks so far, and whether the answer's record was written.
  // An application is looked up a day after its report or after a look that found it unchanged.
  using Keys = std::vector<std::string>;
  const std::tuple<int, Keys, Keys, int, bool> steps[] = {
      {23, {"editor", "gone", "tool"}, {}, 1, true},
      {2, {"gone", "tool"}, {"gone"}, 2, false},
      {23, {"tool"}, {}, 2, true},
      {0, {"editor", "gone"}, {"editor", "gone"}, 3, true},  // gone's record was lost: described again
      {7 * 24, {"tool"}, {"tool"}, 4, true},                 // unconfirmed for a week: forgotten
  };
  for (const auto& [hours, keys, answered, looks, written] : steps) {
    clock.advance(hours * kHour);
    const json answer = registry.describe(keys).payload;
    Keys described;
    for (const auto& [key, info] : answer.items()) described.push_back(key);
    EXPECT_EQ(described, answered) << hours;
    EXPECT_EQ(registry.looks, looks) << hours;
    if (written) registry.markReported();
  }
}

}  // namespace
}  // namespace ostrivel
