// The back-off sequences: short table, long table after a suspension, and the reset.
#include "delivery/retry_schedule.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrivel {
namespace {

using Seconds = std::vector<std::int32_t>;

Seconds take(RetrySchedule& schedule, int n) {
  Seconds out;
  for (int i = 0; i < n; ++i) {
    out.push_back(schedule.next());
  }
  return out;
}

TEST(RetrySchedule, ShortTableCapsAtAMinuteEscalationGoesOnFromThereToTenAndResetStartsOver) {
  RetrySchedule schedule;
  EXPECT_EQ(take(schedule, 7), (Seconds{5, 10, 30, 60, 60, 60, 60}));
  schedule.escalate();
  schedule.escalate();  // twice is once
  EXPECT_EQ(take(schedule, 5), (Seconds{60, 120, 300, 600, 600}));
  schedule.reset();  // back to the start of the short table
  EXPECT_EQ(take(schedule, 5), (Seconds{5, 10, 30, 60, 60}));
  schedule.reset();
  schedule.escalate();
  EXPECT_EQ(take(schedule, 8), (Seconds{5, 10, 30, 60, 120, 300, 600, 600}));
}

}  // namespace
}  // namespace ostrivel
