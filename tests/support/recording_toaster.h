// A toaster that keeps every toast it was asked to show, instead of showing it.
#pragma once

#include <mutex>
#include <vector>

#include "companion/toaster.h"

namespace ostrivel::testing {

class RecordingToaster : public Toaster {
 public:
  void show(const Data& toast) override {
    std::lock_guard lock(mutex);
    shown.push_back(toast);
  }

  std::vector<Data> toasts() const {
    std::lock_guard lock(mutex);
    return shown;
  }

  void clear() {
    std::lock_guard lock(mutex);
    shown.clear();
  }

 private:
  mutable std::mutex mutex;
  std::vector<Data> shown;
};

}  // namespace ostrivel::testing
