// Shows a toast as the balloon of a temporary notification-area icon.
#pragma once

#include "companion/toaster.h"

namespace ostrivel {

// Blocks until the balloon is clicked, hidden or timed out by the shell, or 15 seconds passed.
class ToasterWindows : public Toaster {
 public:
  void show(const Data& toast) override;
};

}  // namespace ostrivel
