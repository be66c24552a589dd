// When the balloon's icon goes into the notification area: at once; again every second for the
// first seconds when there is no taskbar yet (the Run entry can start before it); and again
// whenever a new taskbar announces itself; all within the toast's 15 seconds.
#pragma once

#include <cstdint>

namespace ostrivel {

inline constexpr std::uint32_t kToastLimitMs = 15000;
inline constexpr std::uint32_t kIconRetryEveryMs = 1000;
inline constexpr std::uint32_t kIconRetryForMs = 5000;

// The retry timer ticked, or the shell broadcast "TaskbarCreated" (a taskbar started, or
// restarted and lost every icon).
enum class BalloonEvent { retryTick, taskbarCreated };
enum class BalloonAction { none, addIcon, stopRetrying };

// elapsedMs counts from the toast's start; iconAdded tells whether the icon is in the area.
BalloonAction balloonAction(BalloonEvent event, std::uint64_t elapsedMs, bool iconAdded);

}  // namespace ostrivel
