// Turning System event-log entries into power events, and remembering which were delivered.
#include "measurement/power_events.h"

#include <algorithm>

namespace ostrivel {

namespace {

// Event ids are unique only within one provider.
constexpr const char* kEventLogProvider = "EventLog";
constexpr const char* kKernelPowerProvider = "Microsoft-Windows-Kernel-Power";

}  // namespace

std::string powerEventQuery() {
  // Boot, shutdown (clean and unexpected), sleep and wake, and entering and leaving modern
  // standby, of the last 48 hours.
  return std::string("*[System[((Provider[@Name='") + kEventLogProvider +
         "'] and (EventID=6005 or EventID=6006 or EventID=6008)) or (Provider[@Name='" + kKernelPowerProvider +
         "'] and (EventID=42 or EventID=107 or EventID=506 or EventID=507))) and "
         "TimeCreated[timediff(@SystemTime) <= 172800000]]]";
}

std::optional<std::string> powerEventKind(const std::string& provider, std::uint32_t eventId) {
  if (provider == kEventLogProvider) {
    switch (eventId) {
      case 6005:
        return "boot";
      case 6006:
      case 6008:  // unexpected shutdown, written during the following boot
        return "shutdown";
      default:
        return std::nullopt;
    }
  }
  if (provider == kKernelPowerProvider) {
    switch (eventId) {
      case 42:
      case 506:  // modern standby
        return "suspend";
      case 107:
      case 507:
        return "resume";
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

std::int64_t fileTimeToUnixMs(std::uint64_t fileTime) {
  return static_cast<std::int64_t>(fileTime / 10000) - 11644473600000LL;
}

std::optional<PowerEvent> powerEventFrom(const std::string& provider, const EventValue& id, const EventValue& created) {
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
  auto kind = powerEventKind(provider, *eventId);
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
