// The three outbox record kinds, "days", "apps" and "events", each named by its file stem.
#include "records/record_builders.h"

#include <cmath>
#include <cstdio>

#include "records/payload_time.h"
#include "records/time_keys.h"

namespace ostrivel {

namespace {

nlohmann::json roundedShares(const std::map<std::string, double>& shares) {
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [key, value] : shares) {
    out[key] = roundShare(value);
  }
  return out;
}

}  // namespace

double roundShare(double value) { return std::round(value * 10000.0) / 10000.0; }

Data buildDaysRecord(const BucketRecord& record, std::int32_t tz) {
  nlohmann::json payload = {
      {"apps", roundedShares(record.apps)},
      {"date", dayKey(record.start)},
      {"end", record.end},
      {"kind", "days"},
      {"samples", record.samples},
      {"services", roundedShares(record.services)},
      {"start", record.start},
      {"tz", tz},
  };
  return Data(std::move(payload), "days" + minuteKey(record.end));
}

Data buildAppsRecord(const nlohmann::json& catalogue, std::int64_t nowMs, std::int32_t tz) {
  nlohmann::json payload = {
      {"apps", catalogue},
      {"date", dayKey(nowMs)},
      {"kind", "apps"},
      {"tz", tz},
  };
  return Data(std::move(payload), "apps" + minuteKey(nowMs));
}

Data buildEventsRecord(const nlohmann::json& event, std::int32_t tz, std::uint32_t sequence) {
  const std::string day = dayKey(payloadTime(event));
  nlohmann::json payload = {
      {"date", day},
      {"events", nlohmann::json::array({event})},
      {"kind", "events"},
      {"tz", tz},
  };
  char number[16];
  std::snprintf(number, sizeof number, "%06u", static_cast<unsigned>(sequence));
  return Data(std::move(payload), "events" + day + number);
}

}  // namespace ostrivel
