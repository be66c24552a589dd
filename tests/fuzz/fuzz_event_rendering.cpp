// Event-log values of any type and time turned into events records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "measurement/power_events.h"
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
  // Any payload, as a session or log event might carry it, written as a record.
  const auto payload = nlohmann::json::parse(data, data + size, nullptr, false);
  if (!payload.is_discarded()) serialiseRecord(buildEventsRecord(payload, -570, 999999).payload);
  return 0;
}
