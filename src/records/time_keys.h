// The UTC day and minute texts that name record files and fill their "date" members.
#pragma once

#include <cstdint>
#include <string>

namespace ostrivel {

// "20260105" of a time in milliseconds since the Unix epoch (UTC).
std::string dayKey(std::int64_t ms);
// "202601051210" of a time in milliseconds since the Unix epoch (UTC).
std::string minuteKey(std::int64_t ms);

}  // namespace ostrivel
