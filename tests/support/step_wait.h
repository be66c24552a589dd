// A stop-aware wait a test releases step by step, so a thread loops once per step, in no real time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>
#include <vector>

namespace ostrivel::testing {

// Hand std::ref of it to the object under test as its wait.
class StepWait {
 public:
  // The waiting side: notes the duration asked for, then blocks until a step is released or
  // stop is requested.
  void operator()(std::stop_token stop, std::chrono::nanoseconds duration) {
    std::unique_lock lock(mutex);
    asked.push_back(duration);
    changed.notify_all();
    if (changed.wait(lock, stop, [this] { return released > 0; })) --released;
  }

  // Releases the current wait and blocks until the next one has begun: one turn of the loop.
  bool step() {
    std::unique_lock lock(mutex);
    const std::size_t next = asked.size() + 1;
    ++released;
    changed.notify_all();
    lock.unlock();
    return awaitWaits(next);
  }

  // Blocks until `count` waits have begun. The guard only turns a broken thread into a failed
  // test instead of a hang; a working one gets there at once.
  bool awaitWaits(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(60), [&] { return asked.size() >= count; });
  }

  std::vector<std::chrono::nanoseconds> durations() const {
    std::lock_guard lock(mutex);
    return asked;
  }

 private:
  mutable std::mutex mutex;
  std::condition_variable_any changed;
  std::vector<std::chrono::nanoseconds> asked;
  std::size_t released = 0;
};

}  // namespace ostrivel::testing
