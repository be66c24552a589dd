// The UTC day and minute texts that name record files and fill their "date" members.
#include "records/time_keys.h"

#include "infra/time_format.h"

namespace ostrivel {

std::string dayKey(std::int64_t ms) { return formatDayKey(utcOrEpoch(secondsOf(ms))); }

std::string minuteKey(std::int64_t ms) { return formatMinuteKey(utcOrEpoch(secondsOf(ms))); }

}  // namespace ostrivel
