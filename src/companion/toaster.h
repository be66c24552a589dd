// Shows one notification to the person at the PC and returns when it is gone.
#pragma once

#include "infra/data.h"

namespace ostrivel {

// The toast is a record named "toast" whose payload holds "title", "lines" (only the first is
// shown) and "action" (the link a click opens). Contract: show blocks until the toast has ended
// (at most about 15 seconds), reports nothing and never throws. Single-threaded use.
class Toaster {
 public:
  virtual ~Toaster() = default;
  virtual void show(const Data& toast) = 0;
};

}  // namespace ostrivel
