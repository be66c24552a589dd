// Power events from the System event log, polled every 30 seconds on a thread of their own.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "measurement/events.h"
#include "measurement/power_events.h"

namespace ostrivel {

class EventsWindows : public Events {
 public:
  explicit EventsWindows(const Clock& clock);
  ~EventsWindows() override;

 protected:
  void startSource(SourceCallback sourceCallback) override;
  void stopSource() override;

 private:
  void poll(const SourceCallback& deliver);

  // Only the poller thread touches the cursor; a restart of the same object keeps it, so
  // nothing is delivered twice after a re-enrolment.
  EventLogCursor cursor;
  std::mutex mutex;
  std::condition_variable_any wakeUp;
  std::jthread poller;
};

}  // namespace ostrivel
