// The agent's own values of any shape turned into records: samples folded into buckets and written
// as days records, event-log values and event payloads written as events records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "measurement/power_events.h"
#include "records/bucket_accumulator.h"
#include "records/record_builders.h"
#include "records/record_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ostrivel;
  if (size >= 18) {
    std::uint64_t bits[2];
    std::memcpy(&bits[0], data + 1, sizeof bits[0]);
    std::memcpy(&bits[1], data + 10, sizeof bits[1]);
    const std::string provider = data[17] % 2 == 0 ? "EventLog" : "Microsoft-Windows-Kernel-Power";
    if (const auto event = powerEventFrom(provider, EventValue{data[0], bits[0]}, EventValue{data[9], bits[1]})) {
      serialiseRecord(buildEventsRecord({{"at", event->at}, {"kind", event->kind}}, 0, 1).payload);
    }
  }
  const auto sample = nlohmann::json::parse(data, data + size, nullptr, false);
  if (sample.is_discarded()) return 0;
  // Any payload, as a session or log event might carry it, written as a record.
  serialiseRecord(buildEventsRecord(sample, -570, 999999).payload);
  BucketAccumulator accumulator(10);
  const auto write = [](const std::optional<BucketRecord>& bucket) {
    if (bucket) serialiseRecord(buildDaysRecord(*bucket, 60).payload);
  };
  for (int round = 0; round < 2; ++round) {
    try {
      write(accumulator.merge(sample));
    } catch (const nlohmann::json::exception&) {
      // A non-number among the values: the sampling thread drops it the same way.
    }
    write(accumulator.snapshot());
  }
  write(accumulator.closeNow());
  return 0;
}
