// The events source: its own start and stop, session kinds, and event-log entries to power events.
#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "measurement/events.h"
#include "measurement/power_events.h"
#include "support/fake_clock.h"
#include "support/fake_events.h"

namespace ostrivel {
namespace {

struct Received {
  std::vector<std::pair<std::int64_t, std::string>> events;
  Events::Callback callback() {
    return [this](const Data& data) {
      EXPECT_EQ(data.name, "event");
      events.emplace_back(data.payload.at("at").get<std::int64_t>(), data.payload.at("kind").get<std::string>());
    };
  }
};

TEST(Events, FramesARunWithStartedAndStoppedAndDropsUnknownKinds) {
  testing::FakeClock clock(1000);
  testing::FakeEvents events(clock);
  Received received;

  events.stop();  // never started: nothing
  events.start(received.callback());
  events.deliver(500, "boot");
  events.deliver(600, "hibernate");
  events.onSessionChange("lock");
  events.onSessionChange("remoteConnect");
  clock.set(2000);
  events.stop();
  events.stop();
  events.onSessionChange("unlock");  // after the run: no receiver

  using E = std::vector<std::pair<std::int64_t, std::string>>;
  EXPECT_EQ(received.events, (E{{1000, "started"}, {500, "boot"}, {1000, "lock"}, {2000, "stopped"}}));
  EXPECT_EQ(events.sourceStops(), 1);

  // The same object runs again after a re-enrolment, framed the same way.
  events.start(received.callback());
  events.stop();
  EXPECT_EQ(received.events.back().second, "stopped");
  EXPECT_EQ(received.events[received.events.size() - 2].second, "started");
}

// Event ids are unique only within a provider; laptops with modern standby log sleep as
// Kernel-Power 506 and 507 instead of 42 and 107.
TEST(PowerEvents, AsksEachProviderForItsOwnIdsAndMapsThemByProvider) {
  EXPECT_EQ(powerEventQuery(),
            "*[System[((Provider[@Name='EventLog'] and (EventID=6005 or EventID=6006 or EventID=6008)) or "
            "(Provider[@Name='Microsoft-Windows-Kernel-Power'] and "
            "(EventID=42 or EventID=107 or EventID=506 or EventID=507))) and "
            "TimeCreated[timediff(@SystemTime) <= 172800000]]]");
  const std::string log = "EventLog";
  const std::string power = "Microsoft-Windows-Kernel-Power";
  const std::map<std::pair<std::string, std::uint32_t>, std::string> kinds = {
      {{log, 6005}, "boot"},    {{log, 6006}, "shutdown"}, {{log, 6008}, "shutdown"}, {{power, 42}, "suspend"},
      {{power, 107}, "resume"}, {{power, 506}, "suspend"}, {{power, 507}, "resume"},
  };
  for (const std::string& provider : {log, power, std::string("Microsoft-Windows-Kernel-General"), std::string()}) {
    for (const std::uint32_t id : {6005u, 6006u, 6008u, 42u, 107u, 506u, 507u, 41u}) {
      const auto kind = kinds.find({provider, id});
      EXPECT_EQ(powerEventKind(provider, id), kind == kinds.end() ? std::nullopt : std::optional(kind->second))
          << provider << " " << id;
    }
  }
}

TEST(PowerEvents, MapsIdsOfEitherWidthAndFileTimes) {
  const std::uint64_t newYear2026 = (1767225600000ULL + 11644473600000ULL) * 10000ULL;
  const EventValue created{kEventValueFileTime, newYear2026};
  const std::string log = "EventLog";
  const auto boot16 = powerEventFrom(log, {kEventValueUInt16, 6005}, created);
  const auto boot32 = powerEventFrom(log, {kEventValueUInt32, 6005}, created);
  ASSERT_TRUE(boot16 && boot32);
  EXPECT_EQ(boot16->kind, "boot");
  EXPECT_EQ(boot32->kind, "boot");
  EXPECT_EQ(boot16->at, 1767225600000);
  EXPECT_EQ(powerEventFrom("Microsoft-Windows-Kernel-Power", {kEventValueUInt16, 65536 + 42}, created)->kind,
            "suspend");
  EXPECT_FALSE(powerEventFrom(log, {kEventValueFileTime, 6005}, created));  // id of another type
  EXPECT_FALSE(powerEventFrom(log, {kEventValueUInt32, 6005}, {kEventValueUInt32, newYear2026}));
  EXPECT_EQ(fileTimeToUnixMs(116444736000000000ULL), 0);
}

TEST(EventLogCursor, DeliversOnlyWhatIsNewerThanThePreviousPolls) {
  EventLogCursor cursor;
  cursor.beginPoll();
  EXPECT_TRUE(cursor.accept(100));
  EXPECT_TRUE(cursor.accept(300));
  EXPECT_TRUE(cursor.accept(300));  // two entries of one time in one poll are both new
  cursor.endPoll();
  EXPECT_EQ(cursor.lastSeen(), 300);

  cursor.beginPoll();
  EXPECT_FALSE(cursor.accept(100));
  EXPECT_FALSE(cursor.accept(300));
  EXPECT_TRUE(cursor.accept(301));
  cursor.endPoll();
  EXPECT_EQ(cursor.lastSeen(), 301);
}

}  // namespace
}  // namespace ostrivel
