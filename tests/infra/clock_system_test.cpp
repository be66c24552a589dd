// ClockSystem's stamps and offsets, driven through breakdowns the test hands in.
#include "infra/clock_system.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

// 2026-12-31T23:30:00Z
constexpr std::int64_t kNewYearsEveMs = 1798759800000;

// A zone that is a fixed number of minutes from UTC; its breakdown can be made to fail.
TimeSource zone(std::int64_t nowMs, std::int32_t offsetMinutes, bool localWorks = true) {
  return TimeSource{
      [nowMs] { return nowMs; },
      breakDownUtc,
      [offsetMinutes, localWorks](std::time_t seconds, std::tm& out) {
        return localWorks && breakDownUtc(seconds + offsetMinutes * 60, out);
      },
  };
}

TEST(ClockSystem, WritesOffsetsWithSignHoursAndMinutes) {
  struct Case {
    std::int32_t offset;
    const char* stamp;
  };
  const Case cases[] = {
      {0, "2026-12-31T23:30:00+00:00"},
      {330, "2027-01-01T05:00:00+05:30"},
      {-570, "2026-12-31T14:00:00-09:30"},
  };
  for (const auto& c : cases) {
    const ClockSystem clock(zone(kNewYearsEveMs, c.offset));
    EXPECT_EQ(clock.utcOffsetMinutes(), c.offset);
    EXPECT_EQ(clock.localStamp(), c.stamp);
    EXPECT_EQ(clock.utcStamp(), "2026-12-31T23:30:00Z");
  }
}

TEST(ClockSystem, CountsTheOffsetAcrossNewYearInBothDirections) {
  const ClockSystem eastOfUtc(zone(kNewYearsEveMs, 60));
  EXPECT_EQ(eastOfUtc.utcOffsetMinutes(), 60);
  EXPECT_EQ(eastOfUtc.localDayKey(), "20270101");
  EXPECT_EQ(eastOfUtc.localStamp(), "2027-01-01T00:30:00+01:00");

  const std::int64_t newYearMs = kNewYearsEveMs + 3600000;  // 2027-01-01T00:30:00Z
  const ClockSystem westOfUtc(zone(newYearMs, -300));
  EXPECT_EQ(westOfUtc.utcOffsetMinutes(), -300);
  EXPECT_EQ(westOfUtc.localDayKey(), "20261231");
  EXPECT_EQ(westOfUtc.localStamp(), "2026-12-31T19:30:00-05:00");
}

TEST(ClockSystem, FallsBackToUtcWhenTheLocalBreakdownFails) {
  const ClockSystem clock(zone(kNewYearsEveMs, 120, false));
  EXPECT_EQ(clock.utcOffsetMinutes(), 0);
  EXPECT_EQ(clock.localStamp(), "2026-12-31T23:30:00+00:00");
  EXPECT_EQ(clock.localDayKey(), "20261231");
}

TEST(ClockSystem, SystemClockReadsMillisecondsOfThisCentury) {
  const ClockSystem clock;
  EXPECT_GT(clock.nowMs(), 1767225600000);  // after 2026-01-01
  EXPECT_EQ(clock.utcStamp().size(), 20u);
  EXPECT_EQ(clock.localStamp().size(), 25u);
}

}  // namespace
}  // namespace ostrivel
