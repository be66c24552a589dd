// The back-off delays of the uploader: a short table normally, a long one for a suspended account.
#include "delivery/retry_schedule.h"

#include <array>
#include <span>

namespace ostrivel {

namespace {

// The long table begins with the short one, so escalating mid-sequence never jumps backwards.
constexpr std::array<std::int32_t, 4> kShortDelays{5, 10, 30, 60};
constexpr std::array<std::int32_t, 7> kLongDelays{5, 10, 30, 60, 120, 300, 600};

}  // namespace

std::int32_t RetrySchedule::next() {
  const std::span<const std::int32_t> table =
      longSchedule ? std::span<const std::int32_t>(kLongDelays) : std::span<const std::int32_t>(kShortDelays);
  const auto last = static_cast<std::int32_t>(table.size()) - 1;
  if (attempt < last) {
    return table[static_cast<std::size_t>(attempt++)];
  }
  return table[static_cast<std::size_t>(last)];
}

void RetrySchedule::escalate() { longSchedule = true; }

void RetrySchedule::reset() {
  attempt = 0;
  longSchedule = false;
}

}  // namespace ostrivel
