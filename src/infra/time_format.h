// Calendar breakdowns and the fixed-width texts the agent writes for times and days.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace ostrivel {

// Thread-safe breakdowns of a second count; false when the C library cannot convert it.
bool breakDownUtc(std::time_t seconds, std::tm& out);
bool breakDownLocal(std::time_t seconds, std::tm& out);

// A UTC breakdown of whole seconds that falls back to the epoch when the conversion fails.
std::tm utcOrEpoch(std::time_t seconds);

// Whole seconds of a millisecond time, truncated towards zero.
std::time_t secondsOf(std::int64_t ms);

std::string formatUtcStamp(const std::tm& utc);                          // 2026-03-01T13:05:09Z
std::string formatLocalStamp(const std::tm& local, std::int32_t offset);  // 2026-03-01T14:05:09+01:00
std::string formatDayKey(const std::tm& time);                           // 20260301
std::string formatMinuteKey(const std::tm& time);                        // 202603011305

// Local minus UTC in whole minutes from the two breakdowns of one instant; seconds are ignored.
std::int32_t offsetMinutesBetween(const std::tm& utc, const std::tm& local);

}  // namespace ostrivel
