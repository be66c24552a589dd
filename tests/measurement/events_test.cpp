// The events source: its own start and stop, session kinds, and event-log entries to power events.
#include "measurement/events.h"

#include <gtest/gtest.h>

#include "measurement/power_events.h"
#include "support/fake_clock.h"
#include "support/fake_events.h"

namespace ostrivel {
namespace {

TEST(Events, FramesEachRunWithStartedAndStoppedAndDropsUnknownKinds) {
  testing::FakeClock clock(1000);
  testing::FakeEvents events(clock);
  std::vector<std::pair<std::int64_t, std::string>> received;
  events.stop();                       // never started: nothing
  for (int run = 0; run < 2; ++run) {  // the same object runs again after a re-enrolment
    events.start([&](const Data& data) { received.emplace_back(data.payload["at"], data.payload["kind"]); });
    for (const char* kind : {"boot", "hibernate", ""}) events.source(500, kind);
    for (const char* kind : {"lock", "remoteConnect", "resume"}) events.onSessionChange(kind);
    clock.set(2000);
    events.stop();
    events.stop();
    events.onSessionChange("unlock");  // after the run: no receiver
  }
  EXPECT_EQ(received, (std::vector<std::pair<std::int64_t, std::string>>{{1000, "started"},
                                                                         {500, "boot"},
                                                                         {1000, "lock"},
                                                                         {2000, "stopped"},
                                                                         {2000, "started"},
                                                                         {500, "boot"},
                                                                         {2000, "lock"},
                                                                         {2000, "stopped"}}));
  EXPECT_EQ(events.sourceStops, 2);
}

// Event ids are unique only within a provider; laptops with modern standby log sleep as
// Kernel-Power 506 and 507 instead of 42 and 107. A 16-bit id keeps its low bits; an id of
// another type, or a time that is not a FILETIME, gives nothing.
TEST(PowerEvents, MapsEachProvidersOwnIdsFromRenderedValues) {
  const std::string log = "EventLog";
  const std::string power = "Microsoft-Windows-Kernel-Power";
  const std::map<std::pair<std::string, std::uint32_t>, std::string> kinds = {
      {{log, 6005}, "boot"},    {{log, 6006}, "shutdown"}, {{log, 6008}, "shutdown"}, {{power, 42}, "suspend"},
      {{power, 107}, "resume"}, {{power, 506}, "suspend"}, {{power, 507}, "resume"}};
  for (const std::string& provider : {log, power, std::string("Microsoft-Windows-Kernel-General")}) {
    for (const std::uint32_t id : {6005u, 6006u, 6008u, 42u, 107u, 506u, 507u, 41u}) {
      const auto kind = kinds.find({provider, id});
      EXPECT_EQ(powerEventKind(provider, id), kind == kinds.end() ? std::nullopt : std::optional(kind->second))
          << provider << " " << id;
    }
  }
  const EventValue newYear2026{kEventValueFileTime, (1767225600000ULL + 11644473600000ULL) * 10000};
  const auto suspend = powerEventFrom(power, {kEventValueUInt16, 65536 + 42}, newYear2026);
  EXPECT_EQ(std::pair(suspend->at, suspend->kind), std::pair(std::int64_t{1767225600000}, std::string("suspend")));
  EXPECT_EQ(powerEventFrom(log, {kEventValueUInt32, 6005}, newYear2026)->kind, "boot");
  EXPECT_FALSE(powerEventFrom(log, {kEventValueFileTime, 6005}, newYear2026));
  EXPECT_FALSE(powerEventFrom(log, {kEventValueUInt32, 6005}, {kEventValueUInt32, newYear2026.bits}));
}

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

}  // namespace
}  // namespace ostrivel
