// Turning System event-log entries into power events, and remembering which were delivered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrivel {

// The event log's variant type codes for the two rendered values the agent asks for.
inline constexpr std::uint32_t kEventValueUInt16 = 6;
inline constexpr std::uint32_t kEventValueUInt32 = 8;
inline constexpr std::uint32_t kEventValueFileTime = 17;

// One rendered value: its variant type code and its raw bits.
struct EventValue {
  std::uint32_t type = 0;
  std::uint64_t bits = 0;
};

struct PowerEvent {
  std::int64_t at;   // milliseconds since the Unix epoch
  std::string kind;  // "boot", "shutdown", "suspend" or "resume"
};

// The System log query for the power events of the last 48 hours.
std::string powerEventQuery();

// EventLog's 6005 boot, 6006 and 6008 shutdown; Kernel-Power's 42 and 506 suspend, 107 and 507
// resume; none for any other provider or id.
std::optional<std::string> powerEventKind(const std::string& provider, std::uint32_t eventId);

// 100-ns units since 1601 to milliseconds since 1970.
std::int64_t fileTimeToUnixMs(std::uint64_t fileTime);

// The event of a rendered provider, id and creation time; none when the id is of another type or
// kind, or the time is not a FILETIME.
std::optional<PowerEvent> powerEventFrom(const std::string& provider, const EventValue& id, const EventValue& created);

// Keeps the newest time delivered, so every poll of the last 48 hours delivers only what is new.
// Lives in memory: after a service start the window's events come again, each with its time.
class EventLogCursor {
 public:
  void beginPoll();
  // True when the event is newer than everything delivered before this poll.
  bool accept(std::int64_t at);
  void endPoll();
  std::int64_t lastSeen() const { return seen; }

 private:
  std::int64_t seen = 0;
  std::int64_t baseline = 0;
  std::int64_t high = 0;
};

}  // namespace ostrivel
