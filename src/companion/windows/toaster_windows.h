// Shows a toast as the balloon of a temporary notification-area icon.
#pragma once

#include "companion/toaster.h"
#include "infra/logger.h"

namespace ostrivel {

// Blocks until the balloon is clicked, hidden or timed out by the shell, or 15 seconds passed.
// When the notification area is not there yet, the icon is tried again (see balloon_retry.h).
class ToasterWindows : public Toaster {
 public:
  explicit ToasterWindows(Logger& log);
  void show(const Data& toast) override;

 private:
  Logger& log;
};

}  // namespace ostrivel
