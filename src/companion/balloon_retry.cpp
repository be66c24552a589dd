// When the balloon's icon goes into the notification area.
#include "companion/balloon_retry.h"

namespace ostrivel {

BalloonAction balloonAction(BalloonEvent event, std::uint64_t elapsedMs, bool iconAdded) {
  if (event == BalloonEvent::retryTick) {
    return iconAdded || elapsedMs >= kIconRetryForMs ? BalloonAction::stopRetrying : BalloonAction::addIcon;
  }
  // A new taskbar starts without the icons of the old one, so the icon goes in again even when
  // it was there; after the toast's time nothing is shown any more.
  return elapsedMs < kToastLimitMs ? BalloonAction::addIcon : BalloonAction::none;
}

}  // namespace ostrivel
