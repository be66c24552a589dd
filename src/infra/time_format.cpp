// Calendar breakdowns and the fixed-width texts the agent writes for times and days.
#include "infra/time_format.h"

#include <cstdio>
#include <cstdlib>

namespace ostrivel {

bool breakDownUtc(std::time_t seconds, std::tm& out) {
#ifdef _WIN32
  return gmtime_s(&out, &seconds) == 0;
#else
  return gmtime_r(&seconds, &out) != nullptr;
#endif
}

bool breakDownLocal(std::time_t seconds, std::tm& out) {
#ifdef _WIN32
  return localtime_s(&out, &seconds) == 0;
#else
  return localtime_r(&seconds, &out) != nullptr;
#endif
}

std::tm utcOrEpoch(std::time_t seconds) {
  std::tm out{};
  if (!breakDownUtc(seconds, out)) {
    breakDownUtc(0, out);
  }
  return out;
}

std::time_t secondsOf(std::int64_t ms) { return static_cast<std::time_t>(ms / 1000); }

std::string formatUtcStamp(const std::tm& utc) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

std::string formatLocalStamp(const std::tm& local, std::int32_t offset) {
  const char sign = offset < 0 ? '-' : '+';
  const long magnitude = std::labs(static_cast<long>(offset));
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign,
                magnitude / 60, magnitude % 60);
  return text;
}

std::string formatDayKey(const std::tm& time) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", time.tm_year + 1900, time.tm_mon + 1, time.tm_mday);
  return text;
}

std::string formatMinuteKey(const std::tm& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d", time.tm_year + 1900, time.tm_mon + 1,
                time.tm_mday, time.tm_hour, time.tm_min);
  return text;
}

std::int32_t offsetMinutesBetween(const std::tm& utc, const std::tm& local) {
  std::int32_t hours = 0;
  if (local.tm_year == utc.tm_year) {
    hours = (local.tm_yday - utc.tm_yday) * 24;
  } else {
    // Either side of New Year the day-of-year difference is meaningless; the two instants
    // can only be one calendar day apart.
    hours = local.tm_year > utc.tm_year ? 24 : -24;
  }
  return (hours - utc.tm_hour + local.tm_hour) * 60 - utc.tm_min + local.tm_min;
}

}  // namespace ostrivel
