// Turning System event-log entries into power events, and remembering which were delivered.
#include "measurement/power_events.h"

#include <algorithm>

namespace ostrivel {

std::optional<std::string> powerEventKind(std::uint32_t eventId) {
  switch (eventId) {
    case 6005:
      return "boot";
    case 6006:
    case 6008:  // unexpected shutdown, written during the following boot
      return "shutdown";
    case 42:
      return "suspend";
    case 107:
      return "resume";
    default:
      return std::nullopt;
  }
}

std::int64_t fileTimeToUnixMs(std::uint64_t fileTime) {
  return static_cast<std::int64_t>(fileTime / 10000) - 11644473600000LL;
}

std::optional<PowerEvent> powerEventFrom(const EventValue& id, const EventValue& created) {
  if (created.type != kEventValueFileTime) {
    return std::nullopt;
  }
  std::optional<std::uint32_t> eventId;
  if (id.type == kEventValueUInt16) {
    eventId = static_cast<std::uint32_t>(id.bits % 65536);
  } else if (id.type == kEventValueUInt32) {
    eventId = static_cast<std::uint32_t>(id.bits);
  }
  if (!eventId) {
    return std::nullopt;
  }
  auto kind = powerEventKind(*eventId);
  if (!kind) {
    return std::nullopt;
  }
  return PowerEvent{fileTimeToUnixMs(created.bits), std::move(*kind)};
}

void EventLogCursor::beginPoll() {
  baseline = seen;
  high = seen;
}

bool EventLogCursor::accept(std::int64_t at) {
  if (at <= baseline) {
    return false;
  }
  high = std::max(high, at);
  return true;
}

void EventLogCursor::endPoll() { seen = high; }

}  // namespace ostrivel
