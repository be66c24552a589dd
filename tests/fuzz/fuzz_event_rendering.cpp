// Event-log values of any type and time turned into events records.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "measurement/power_events.h"
#include "records/record_builders.h"
#include "records/record_writer.h"

namespace {

std::uint64_t bitsAt(const std::uint8_t* data) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, data, sizeof bits);
  return bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size >= 18) {
    const ostrivel::EventValue id{data[0], bitsAt(data + 1)};
    const ostrivel::EventValue created{data[9], bitsAt(data + 10)};
    const std::string provider = data[17] % 2 == 0 ? "EventLog" : "Microsoft-Windows-Kernel-Power";
    if (const auto event = ostrivel::powerEventFrom(provider, id, created)) {
      const nlohmann::json payload = {{"at", event->at}, {"kind", event->kind}};
      ostrivel::serialiseRecord(ostrivel::buildEventsRecord(payload, 0, 1).payload);
    }
  }
  // Any payload, as a session or log event might carry it, written as a record.
  const auto payload = nlohmann::json::parse(data, data + size, nullptr, false);
  if (!payload.is_discarded()) {
    const auto record = ostrivel::buildEventsRecord(payload, -570, 999999);
    ostrivel::serialiseRecord(record.payload);
  }
  return 0;
}
