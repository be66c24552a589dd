// A clock a test sets and advances; the local time is UTC shifted by a chosen offset.
#pragma once

#include <atomic>
#include <cstdint>

#include "infra/clock.h"
#include "infra/time_format.h"

namespace ostrivel::testing {

class FakeClock : public Clock {
 public:
  explicit FakeClock(std::int64_t startMs = 1767614400000, std::int32_t offsetMinutes = 0)
      : now(startMs), offset(offsetMinutes) {}

  void set(std::int64_t ms) { now = ms; }
  void advance(std::int64_t ms) { now += ms; }

  std::int64_t nowMs() const override { return now; }
  std::string utcStamp() const override { return formatUtcStamp(utcOrEpoch(secondsOf(now))); }
  std::string localStamp() const override { return formatLocalStamp(localTime(), offset); }
  std::int32_t utcOffsetMinutes() const override { return offset; }
  std::string localDayKey() const override { return formatDayKey(localTime()); }

 private:
  std::tm localTime() const { return utcOrEpoch(secondsOf(now + offset * 60000LL)); }

  std::atomic<std::int64_t> now;
  const std::int32_t offset;
};

}  // namespace ostrivel::testing
