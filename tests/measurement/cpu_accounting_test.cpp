// CPU accounting driven tick by tick over scripted snapshots.
#include "measurement/cpu_accounting.h"

#include <gtest/gtest.h>

#include "measurement/app_key.h"

namespace ostrivel {
namespace {

using nlohmann::json;
using Snapshot = std::vector<ProcessRecord>;

constexpr std::int64_t kStart = 1767614400000;

ProcessRecord process(std::uint32_t pid, std::string name, double cpu, std::int64_t created = 1) {
  return ProcessRecord{pid, std::move(name), cpu, created};
}

// Drives the accounting like the sampling thread, counting how often the services are asked for.
struct Driver {
  explicit Driver(std::int32_t window = 60, std::int32_t interval = 5) : accounting(window, interval) {}

  std::optional<Data> tick(const Snapshot& snapshot, std::int64_t atMs, double busy = 0.0) {
    return accounting.tick(snapshot, busy, atMs, cpus, [this] {
      ++serviceCalls;
      return services;
    });
  }

  CpuAccounting accounting;
  ServiceMap services;
  std::uint32_t cpus = 1;
  int serviceCalls = 0;
};

TEST(AppKey, CutsTheLastExtensionAndTurnsOtherDotsIntoUnderscores) {
  const std::pair<std::string, std::string> keys[] = {{"chrome.exe", "chrome"},
                                                      {"Microsoft.Photos.exe", "Microsoft_Photos"},
                                                      {".hidden", "_hidden"},
                                                      {"System", "System"},
                                                      {"Registry.", "Registry"},
                                                      {"MsMpEng.EXE", "MsMpEng"},
                                                      {"", ""}};
  for (const auto& [name, key] : keys) {
    EXPECT_EQ(appKey(name), key) << name;
  }
}

TEST(CpuAccounting, FirstSampleAfterTheFirstMeasuredIntervalThenAfterAFullWindow) {
  Driver driver;
  driver.cpus = 2;
  driver.services = {{9, {"Spooler"}}};
  EXPECT_FALSE(driver.tick({process(4, "chrome.exe", 10.0), process(9, "spoolsv.exe", 1.0)}, kStart, 100.0));
  EXPECT_EQ(driver.serviceCalls, 0);  // a baseline measures nothing

  auto first = driver.tick({process(4, "chrome.exe", 11.5), process(9, "spoolsv.exe", 1.3)}, kStart + 3000, 103.0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->name, "sample");
  EXPECT_EQ(first->payload["at"], kStart + 3000);
  EXPECT_DOUBLE_EQ(first->payload["apps"]["chrome"].get<double>(), 1.5 / 6.0 * 100.0);
  EXPECT_DOUBLE_EQ(first->payload["apps"]["(short-lived)"].get<double>(), (3.0 - 1.8) / 6.0 * 100.0);
  EXPECT_DOUBLE_EQ(first->payload["services"]["Spooler"].get<double>(), 0.3 / 6.0 * 100.0);
  EXPECT_EQ(first->payload.dump().substr(0, 7), R"({"apps")");
  EXPECT_EQ(driver.serviceCalls, 1);

  // The next window needs 60,000 ms of measured time: twelve ticks of 5 s.
  double chrome = 11.5;
  std::int64_t now = kStart + 3000;
  for (int i = 1; i <= 11; ++i) {
    chrome += 1.0;
    now += 5000;
    EXPECT_FALSE(driver.tick({process(4, "chrome.exe", chrome)}, now)) << "tick " << i;
  }
  EXPECT_EQ(driver.serviceCalls, 2);  // once per window, at its first measured tick
  auto second = driver.tick({process(4, "chrome.exe", chrome + 1.0)}, now + 5000);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->payload["at"], now + 5000);
  EXPECT_DOUBLE_EQ(second->payload["apps"]["chrome"].get<double>(), 12.0 / 120.0 * 100.0);
  EXPECT_EQ(second->payload["services"], json::object());           // the host has gone: its key stays out
  EXPECT_FALSE(second->payload["apps"].contains("(short-lived)"));  // no busy time was reported
}

TEST(CpuAccounting, GapOfMoreThanTwoIntervalsOrABackwardClockDiscardsTheWindow) {
  Driver driver;
  driver.tick({process(4, "game.exe", 0.0)}, kStart);
  ASSERT_TRUE(driver.tick({process(4, "game.exe", 1.0)}, kStart + 3000));

  // Exactly two intervals still measure; a burst of 50 s then goes with the gap after it.
  std::int64_t now = kStart + 3000 + 10000;
  EXPECT_FALSE(driver.tick({process(4, "game.exe", 51.0)}, now));
  now += 10001;
  EXPECT_FALSE(driver.tick({process(4, "game.exe", 52.0)}, now));
  // The window starts again from here and needs the full 60,000 ms.
  for (int i = 1; i <= 11; ++i) {
    EXPECT_FALSE(driver.tick({process(4, "game.exe", 52.0)}, now + i * 5000));
  }
  auto sample = driver.tick({process(4, "game.exe", 58.0)}, now + 12 * 5000);
  ASSERT_TRUE(sample);
  EXPECT_DOUBLE_EQ(sample->payload["apps"]["game"].get<double>(), 6.0 / 60.0 * 100.0);

  // A clock stepped back discards too, and so does a tick in the same millisecond.
  now += 12 * 5000;
  EXPECT_FALSE(driver.tick({process(4, "game.exe", 59.0)}, now + 5000));
  EXPECT_FALSE(driver.tick({process(4, "game.exe", 70.0)}, now - 1000));
  EXPECT_FALSE(driver.tick({process(4, "game.exe", 80.0)}, now - 1000));
  for (int i = 1; i < 12; ++i) {
    EXPECT_FALSE(driver.tick({process(4, "game.exe", 80.0)}, now - 1000 + i * 5000));
  }
  sample = driver.tick({process(4, "game.exe", 80.0)}, now - 1000 + 12 * 5000);
  ASSERT_TRUE(sample);
  EXPECT_DOUBLE_EQ(sample->payload["apps"]["game"].get<double>(), 0.0);
}

TEST(CpuAccounting, NewProcessesAndReusedPidsCountAtMostTheCapacityOfTheInterval) {
  Driver driver(3, 3);
  driver.cpus = 4;
  driver.tick({process(7, "old.exe", 100.0, 1), process(1, "python.exe", 0.0), process(2, "python.exe", 0.0)}, kStart);
  // pid 7 now belongs to another process with a long history; pid 8 started during the interval;
  // the same image name in two folders shares one key.
  auto sample = driver.tick({process(7, "reused.exe", 500.0, 2), process(8, "fresh.exe", 0.6, 5),
                             process(1, "python.exe", 0.75), process(2, "python.exe", 0.75)},
                            kStart + 3000);
  ASSERT_TRUE(sample);
  const json& apps = sample->payload["apps"];
  EXPECT_EQ(apps.size(), 3u);
  EXPECT_DOUBLE_EQ(apps["reused"].get<double>(), 100.0);  // capped at 3 s x 4 processors
  EXPECT_DOUBLE_EQ(apps["fresh"].get<double>(), 0.6 / 12.0 * 100.0);
  EXPECT_DOUBLE_EQ(apps["python"].get<double>(), 12.5);

  // A lower reading than before (never expected) counts as nothing, not as negative time.
  sample = driver.tick({process(7, "reused.exe", 400.0, 2)}, kStart + 6000);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->payload["apps"], (json{{"reused", 0.0}}));
}

TEST(CpuAccounting, ServiceHostsSplitTheirTimeEvenlyAndNeverCountUnderTheirImageName) {
  Driver driver;
  driver.cpus = 10;
  driver.services = {{40, {"Dnscache", "LanmanWorkstation", "W32Time"}}, {41, {"Tcp.Relay.Service"}}, {99, {"Gone"}}};
  // The system lists processes in no particular order, and not in the same order every time.
  driver.tick({process(50, "svchost.exe", 1.0), process(40, "svchost.exe", 10.0), process(41, "sqlservr.exe", 2.0)},
              kStart);
  // 10 s on 10 processors: a capacity of 100 s, so one CPU second is one percent.
  auto sample =
      driver.tick({process(41, "sqlservr.exe", 4.0), process(50, "svchost.exe", 1.5), process(40, "svchost.exe", 13.0)},
                  kStart + 10000);
  ASSERT_TRUE(sample);
  const json& services = sample->payload["services"];
  ASSERT_EQ(services.size(), 4u);
  EXPECT_DOUBLE_EQ(services["Dnscache"].get<double>(), 1.0);
  EXPECT_DOUBLE_EQ(services["LanmanWorkstation"].get<double>(), 1.0);
  EXPECT_DOUBLE_EQ(services["W32Time"].get<double>(), 1.0);
  EXPECT_DOUBLE_EQ(services["Tcp_Relay"].get<double>(), 2.0);
  // pid 50 hosts no service, so it is an application like any other.
  ASSERT_EQ(sample->payload["apps"].size(), 1u);
  EXPECT_DOUBLE_EQ(sample->payload["apps"]["svchost"].get<double>(), 0.5);

  // Within a window its map holds: services that stop keep their host out of the apps, and a
  // host started after the refresh counts under its image name until the next window.
  std::int64_t now = kStart + 10000;
  std::optional<Data> last;
  for (int i = 1; i <= 12; ++i) {
    if (i == 2) {
      driver.services = {{60, {"BITS"}}};
    }
    now += 5000;
    Snapshot snapshot{process(40, "svchost.exe", 13.0 + i)};
    if (i >= 2) {
      snapshot.push_back(process(60, "svchost.exe", 0.5 * (i - 1)));
    }
    last = driver.tick(snapshot, now);
  }
  ASSERT_TRUE(last);
  EXPECT_NEAR(last->payload["services"]["W32Time"].get<double>(), 4.0 / 600.0 * 100.0, 1e-9);
  EXPECT_FALSE(last->payload["services"].contains("BITS"));
  ASSERT_EQ(last->payload["apps"].size(), 1u);
  EXPECT_DOUBLE_EQ(last->payload["apps"]["svchost"].get<double>(), 5.5 / 600.0 * 100.0);

  // The next window takes the new map.
  EXPECT_EQ(driver.serviceCalls, 2);
  driver.tick({process(40, "svchost.exe", 26.0), process(60, "svchost.exe", 7.0)}, now + 5000);
  EXPECT_EQ(driver.serviceCalls, 3);
}

TEST(CpuAccounting, BusyTimeNoProcessAccountsForIsShortLived) {
  Driver driver;
  driver.cpus = 2;
  driver.tick({process(3, "a.exe", 1.0)}, kStart, 50.0);
  // A failed snapshot: the machine's busy share of the interval is all short-lived.
  auto sample = driver.tick({}, kStart + 4000, 54.0);
  ASSERT_TRUE(sample);
  EXPECT_EQ(sample->payload,
            (json{{"apps", {{"(short-lived)", 50.0}}}, {"at", kStart + 4000}, {"services", json::object()}}));

  // A busy reading that goes backwards (or is unknown) gives no short-lived share at all.
  driver.tick({process(3, "a.exe", 1.0)}, kStart + 8000, 0.0);
  for (int i = 1; i <= 12; ++i) {
    sample = driver.tick({process(3, "a.exe", 1.0 + i)}, kStart + 8000 + i * 5000, 0.0 + i);
  }
  ASSERT_TRUE(sample);
  EXPECT_FALSE(sample->payload["apps"].contains("(short-lived)"));

  // A failed reading (0.0) at either end of a window would make all busy time since boot short-lived.
  for (const auto& [before, after] : {std::pair(0.0, 950'000.0), std::pair(950'000.0, 0.0)}) {
    Driver failed(3, 3);
    failed.tick({process(3, "a.exe", 1.0)}, kStart, before);
    sample = failed.tick({process(3, "a.exe", 1.0)}, kStart + 3000, after);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->payload["apps"], (json{{"a", 0.0}})) << before;
  }
}

TEST(CpuAccounting, OneBusyProcessorOfEightIsTwelveAndAHalfPercent) {
  Driver driver;
  driver.cpus = 8;
  // A baseline, the first interval of 3 s, then a window of twelve ticks of 5 s, all busy.
  for (int tick = 0; tick <= 13; ++tick) {
    const std::int64_t seconds = tick == 0 ? 0 : 3 + 5 * (tick - 1);
    const auto sample = driver.tick({process(12, "encoder.exe", seconds)}, kStart + seconds * 1000, 1000.0 + seconds);
    ASSERT_EQ(sample.has_value(), tick == 1 || tick == 13) << tick;
    if (sample) {
      EXPECT_EQ(sample->payload["apps"], (json{{"encoder", 12.5}})) << tick;
    }
  }
}

TEST(CpuAccounting, WindowBelowOneSecondHasNoIntervalLimit) {
  EXPECT_EQ(effectiveIntervalSeconds(60, 5), 5);
  EXPECT_EQ(effectiveIntervalSeconds(60, 0), 1);
  EXPECT_EQ(effectiveIntervalSeconds(3, 5), 3);
  EXPECT_EQ(effectiveIntervalSeconds(0, 5), 0);

  // Without an interval no gap is too long; every measured tick closes the window.
  Driver driver(0, 5);
  driver.tick({process(1, "a.exe", 0.0)}, kStart);
  auto sample = driver.tick({process(1, "a.exe", 1.0)}, kStart + 3'600'000);
  ASSERT_TRUE(sample);
  EXPECT_DOUBLE_EQ(sample->payload["apps"]["a"].get<double>(), 1.0 / 3600.0 * 100.0);
  EXPECT_TRUE(driver.tick({process(1, "a.exe", 2.0)}, kStart + 3'600'001));
}

}  // namespace
}  // namespace ostrivel
