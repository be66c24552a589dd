// ClockSystem's stamps, offsets and day keys, driven through breakdowns the test hands in.
#include "infra/clock_system.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(ClockSystem, WritesEachZoneAcrossNewYearAndFallsBackWhenBreakdownsFail) {
  struct Case {
    std::int64_t nowMs;
    std::int32_t offset;  // of the zone, minutes east of UTC
    bool utcWorks, localWorks;
    const char *utc, *local, *day;
    std::int32_t offsetSeen;
  };
  constexpr std::int64_t kEve = 1798759800000;  // 2026-12-31T23:30:00Z
  const Case cases[] = {
      {kEve, 330, true, true, "2026-12-31T23:30:00Z", "2027-01-01T05:00:00+05:30", "20270101", 330},
      {kEve, -570, true, true, "2026-12-31T23:30:00Z", "2026-12-31T14:00:00-09:30", "20261231", -570},
      {kEve + 3600000, -300, true, true, "2027-01-01T00:30:00Z", "2026-12-31T19:30:00-05:00", "20261231", -300},
      {kEve, 120, true, false, "2026-12-31T23:30:00Z", "2026-12-31T23:30:00+00:00", "20261231", 0},
      {kEve, 120, false, false, "1970-01-01T00:00:00Z", "1970-01-01T00:00:00+00:00", "19700101", 0},
  };
  for (const auto& c : cases) {
    const ClockSystem clock(TimeSource{
        [&c] { return c.nowMs; },
        [&c](std::time_t seconds, std::tm& out) { return c.utcWorks && breakDownUtc(seconds, out); },
        [&c](std::time_t seconds, std::tm& out) { return c.localWorks && breakDownUtc(seconds + c.offset * 60, out); },
    });
    SCOPED_TRACE(c.local);
    EXPECT_EQ(clock.utcStamp(), c.utc);
    EXPECT_EQ(clock.localStamp(), c.local);
    EXPECT_EQ(clock.localDayKey(), c.day);
    EXPECT_EQ(clock.utcOffsetMinutes(), c.offsetSeen);
  }
}

}  // namespace
}  // namespace ostrivel
