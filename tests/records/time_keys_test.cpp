// Day and minute keys are UTC texts of millisecond times, truncated towards zero.
#include "records/time_keys.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(TimeKeys, FormatsUtcDaysAndMinutes) {
  EXPECT_EQ(dayKey(1767614400000), "20260105");
  EXPECT_EQ(minuteKey(1767615000000), "202601051210");
  EXPECT_EQ(minuteKey(1767614999999), "202601051209");
  EXPECT_EQ(dayKey(0), "19700101");
  EXPECT_EQ(minuteKey(-1), "197001010000");  // truncation towards zero keeps -1 ms in the epoch second
}

}  // namespace
}  // namespace ostrivel
