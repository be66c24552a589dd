// An events source whose platform side the test drives by hand.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "measurement/events.h"

namespace ostrivel::testing {

class FakeEvents : public Events {
 public:
  using Events::Events;

  // Delivers a platform event as the event-log poller would; dropped when not running.
  void deliver(std::int64_t at, const std::string& kind) {
    SourceCallback callback;
    {
      std::lock_guard lock(mutex);
      callback = source;
    }
    if (callback) {
      callback(at, kind);
    }
  }
  int sourceStops() const {
    std::lock_guard lock(mutex);
    return stops;
  }

 protected:
  void startSource(SourceCallback sourceCallback) override {
    std::lock_guard lock(mutex);
    source = std::move(sourceCallback);
  }
  void stopSource() override {
    std::lock_guard lock(mutex);
    ++stops;
    source = nullptr;
  }

 private:
  mutable std::mutex mutex;
  SourceCallback source;
  int stops = 0;
};

}  // namespace ostrivel::testing
