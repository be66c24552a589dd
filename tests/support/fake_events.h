// An events source whose platform side the test drives by hand.
#pragma once

#include "measurement/events.h"

namespace ostrivel::testing {

class FakeEvents : public Events {
 public:
  using Events::Events;
  // The platform's callback while the source runs; call it as the event-log poller would.
  SourceCallback source;
  int sourceStops = 0;

 protected:
  void startSource(SourceCallback callback) override { source = std::move(callback); }
  void stopSource() override {
    ++sourceStops;
    source = nullptr;
  }
};

}  // namespace ostrivel::testing
