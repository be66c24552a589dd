// The back-off sequences: short table, long table after a suspension, and the reset.
#include "delivery/retry_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrivel {
namespace {

std::vector<std::int32_t> take(RetrySchedule& schedule, int n) {
  std::vector<std::int32_t> out;
  for (int i = 0; i < n; ++i) {
    out.push_back(schedule.next());
  }
  return out;
}

TEST(RetrySchedule, ShortTableCapsAtOneMinuteAndResetStartsOver) {
  RetrySchedule schedule;
  EXPECT_EQ(take(schedule, 7), (std::vector<std::int32_t>{5, 10, 30, 60, 60, 60, 60}));
  schedule.reset();
  EXPECT_EQ(take(schedule, 2), (std::vector<std::int32_t>{5, 10}));
}

TEST(RetrySchedule, EscalatedTableCapsAtTenMinutesAndKeepsThePosition) {
  RetrySchedule fresh;
  fresh.escalate();
  fresh.escalate();  // twice is once
  EXPECT_EQ(take(fresh, 9), (std::vector<std::int32_t>{5, 10, 30, 60, 120, 300, 600, 600, 600}));

  RetrySchedule capped;
  take(capped, 5);
  capped.escalate();
  EXPECT_EQ(take(capped, 5), (std::vector<std::int32_t>{60, 120, 300, 600, 600}));
  capped.reset();
  EXPECT_EQ(take(capped, 5), (std::vector<std::int32_t>{5, 10, 30, 60, 60}));
}

}  // namespace
}  // namespace ostrivel
