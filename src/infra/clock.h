// Every reading of the wall clock goes through this seam, so logic can run on a test clock.
#pragma once

#include <cstdint>
#include <string>

namespace ostrivel {

// Contract: all operations may be called from any thread at once and read the time afresh.
// nowMs is milliseconds since the Unix epoch (UTC), not monotonic: the user may set the clock.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::int64_t nowMs() const = 0;
  // "2026-03-01T13:05:09Z"
  virtual std::string utcStamp() const = 0;
  // "2026-03-01T14:05:09+01:00"
  virtual std::string localStamp() const = 0;
  // Local time minus UTC in minutes, positive east of Greenwich.
  virtual std::int32_t utcOffsetMinutes() const = 0;
  // Today's local date as "20260301".
  virtual std::string localDayKey() const = 0;
};

}  // namespace ostrivel
