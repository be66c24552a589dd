// The wall clock of the machine, behind the Clock seam.
#include "infra/clock_system.h"

#include <chrono>
#include <utility>

namespace ostrivel {

TimeSource systemTimeSource() {
  return TimeSource{
      [] {
        using namespace std::chrono;
        return static_cast<std::int64_t>(
            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
      },
      breakDownUtc,
      breakDownLocal,
  };
}

ClockSystem::ClockSystem(TimeSource sourceIn) : source(std::move(sourceIn)) {}

std::int64_t ClockSystem::nowMs() const { return source.nowMs(); }

std::tm ClockSystem::utcNow() const {
  std::tm out{};
  if (!source.toUtc(secondsOf(nowMs()), out)) {
    out = utcOrEpoch(0);
  }
  return out;
}

std::tm ClockSystem::localNow() const {
  const std::time_t seconds = secondsOf(nowMs());
  std::tm out{};
  if (source.toLocal(seconds, out) || source.toUtc(seconds, out)) {
    return out;
  }
  return utcOrEpoch(0);
}

std::string ClockSystem::utcStamp() const { return formatUtcStamp(utcNow()); }

std::string ClockSystem::localStamp() const { return formatLocalStamp(localNow(), utcOffsetMinutes()); }

std::int32_t ClockSystem::utcOffsetMinutes() const {
  const std::time_t seconds = secondsOf(nowMs());
  std::tm utc{};
  if (!source.toUtc(seconds, utc)) {
    return 0;
  }
  std::tm local{};
  if (!source.toLocal(seconds, local)) {
    local = utc;
  }
  return offsetMinutesBetween(utc, local);
}

std::string ClockSystem::localDayKey() const { return formatDayKey(localNow()); }

}  // namespace ostrivel
