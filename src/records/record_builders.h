// The three outbox record kinds, "days", "apps" and "events", each named by its file stem.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

#include "infra/data.h"
#include "records/bucket_record.h"

namespace ostrivel {

// Rounds to 4 decimals, halves away from zero: 3.14159 gives 3.1416, 0.00004 gives 0.0.
double roundShare(double value);

// "days" + minuteKey(end): the bucket's means rounded, its span and sample count. tz is the
// local offset in minutes at writing time, positive east of UTC.
Data buildDaysRecord(const BucketRecord& record, std::int32_t tz);
// "apps" + minuteKey(now): what the application catalogue has to say about applications.
Data buildAppsRecord(const nlohmann::json& catalogue, std::int64_t nowMs, std::int32_t tz);
// "events" + dayKey(at) + six-digit sequence: one event, filed under its UTC day (19700101
// when the event has no integer "at").
Data buildEventsRecord(const nlohmann::json& event, std::int32_t tz, std::uint32_t sequence);

}  // namespace ostrivel
