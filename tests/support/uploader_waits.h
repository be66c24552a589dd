// Waits for a FileUploader that take no real time: the wait between passes lasts until a wake or a
// stop and tells the test the worker has gone idle; a back-off advances a fake clock and returns,
// or, without a clock, lasts until the stop (uploads keep failing for as long as the test looks).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "delivery/file_uploader.h"
#include "support/fake_clock.h"

namespace ostrivel::testing {

class UploaderWaits {
 public:
  explicit UploaderWaits(FakeClock* clock = nullptr) : clock(clock) {}

  UploaderWaitFunction function() {
    return [this](UploaderWait kind, std::int32_t seconds, std::unique_lock<std::mutex>& lock,
                  std::condition_variable_any& condition, std::stop_token stop, const std::function<bool()>& woken) {
      const bool backOff = kind == UploaderWait::backOff;
      {
        std::lock_guard own(mutex);
        (backOff ? backOffSeconds : intervalSeconds).push_back(seconds);
      }
      changed.notify_all();
      if (backOff && clock != nullptr) {
        clock->advance(seconds * 1000LL);
      } else {
        condition.wait(lock, stop, [&] { return !backOff && woken(); });
      }
    };
  }

  // Block until the worker has entered the wait between passes `times` times in all, or a back-off
  // once; the limit only keeps a broken uploader from hanging the test run.
  bool awaitIdle(std::size_t times) {
    return await([&] { return intervalSeconds.size() >= times; });
  }
  bool awaitBackOff() {
    return await([&] { return !backOffSeconds.empty(); });
  }

  std::vector<std::int32_t> backOffs() const { return copy(backOffSeconds); }
  std::vector<std::int32_t> intervals() const { return copy(intervalSeconds); }

 private:
  template <typename Predicate>
  bool await(Predicate done) {
    std::unique_lock own(mutex);
    return changed.wait_for(own, std::chrono::seconds(20), done);
  }
  std::vector<std::int32_t> copy(const std::vector<std::int32_t>& seconds) const {
    std::lock_guard own(mutex);
    return seconds;
  }

  FakeClock* clock;
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::int32_t> backOffSeconds;
  std::vector<std::int32_t> intervalSeconds;
};

}  // namespace ostrivel::testing
