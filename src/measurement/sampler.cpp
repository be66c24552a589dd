// The sampling thread: ticks, waits stop-aware between them and hands samples to the callback.
#include "measurement/sampler.h"

#include <optional>
#include <utility>

#include "measurement/cpu_accounting.h"

namespace ostrivel {

namespace {

// Far deadlines saturate instead of overflowing the steady clock's nanosecond count.
std::chrono::steady_clock::time_point deadlineAfter(std::chrono::seconds duration) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
  return duration >= room ? Clock::time_point::max() : now + duration;
}

}  // namespace

Sampler::Sampler(const Clock& clockIn, Wait waitIn) : clock(clockIn), wait(std::move(waitIn)) {}

Sampler::~Sampler() { stop(); }

void Sampler::start(Callback callbackIn, std::int32_t windowSecondsIn, std::int32_t firstDelaySecondsIn,
                    std::int32_t intervalSecondsIn) {
  // The thread reads the callback and the settings, so they change only while none runs.
  stop();
  callback = std::move(callbackIn);
  windowSeconds = windowSecondsIn;
  firstDelaySeconds = firstDelaySecondsIn;
  intervalSeconds = intervalSecondsIn;
  thread = std::jthread([this](std::stop_token stop) { run(stop); });
}

void Sampler::stop() {
  if (!thread.joinable()) {
    return;
  }
  {
    // Under the waiter's mutex, so the wake-up cannot fall between its test and its wait.
    std::lock_guard lock(mutex);
    thread.request_stop();
  }
  wakeUp.notify_all();
  thread.join();
}

void Sampler::run(std::stop_token stop) {
  // All tick state lives here, so every start begins afresh with a baseline tick.
  CpuAccounting accounting(windowSeconds, intervalSeconds);
  const std::chrono::seconds interval(effectiveIntervalSeconds(windowSeconds, intervalSeconds));
  bool waitedOnce = false;
  while (!stop.stop_requested()) {
    std::optional<Data> sample;
    try {
      std::vector<ProcessRecord> snapshot = listProcesses();
      const double busy = systemBusySeconds();
      const std::int64_t now = clock.nowMs();
      sample = accounting.tick(snapshot, busy, now, processorCount(), [this] { return serviceProcesses(); });
    } catch (...) {
      // A failed tick leaves the baseline where it was; the next tick measures against it or,
      // after too long a gap, starts the window again.
    }
    if (sample) {
      try {
        callback(*sample);
      } catch (...) {
        // The receiver's failure must not end the sampling; the next window is handed out anyway.
      }
    }
    const std::chrono::seconds duration = waitedOnce ? interval : std::chrono::seconds(firstDelaySeconds);
    if (duration.count() > 0) {
      if (wait) {
        wait(stop, duration);
      } else {
        waitOnCondition(stop, duration);
      }
    }
    waitedOnce = true;
  }
}

void Sampler::waitOnCondition(std::stop_token stop, std::chrono::seconds duration) {
  std::unique_lock lock(mutex);
  wakeUp.wait_until(lock, stop, deadlineAfter(duration), [] { return false; });
}

}  // namespace ostrivel
