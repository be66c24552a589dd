// The wall clock of the machine, behind the Clock seam.
#pragma once

#include <functional>

#include "infra/clock.h"
#include "infra/time_format.h"

namespace ostrivel {

// Where ClockSystem reads the time and breaks it down; the default is the system's, tests hand
// in their own breakdowns to reach New Year crossings and unusual offsets.
struct TimeSource {
  std::function<std::int64_t()> nowMs;
  std::function<bool(std::time_t, std::tm&)> toUtc;
  std::function<bool(std::time_t, std::tm&)> toLocal;
};

TimeSource systemTimeSource();

class ClockSystem : public Clock {
 public:
  explicit ClockSystem(TimeSource source = systemTimeSource());

  std::int64_t nowMs() const override;
  std::string utcStamp() const override;
  std::string localStamp() const override;
  std::int32_t utcOffsetMinutes() const override;
  std::string localDayKey() const override;

 private:
  std::tm utcNow() const;
  // Local breakdown of the current second, falling back to UTC, then to the epoch.
  std::tm localNow() const;

  TimeSource source;
};

}  // namespace ostrivel
