// A Sampler over a machine the test scripts (link ostrivel_measurement to use it).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

#include "measurement/sampler.h"

namespace ostrivel::testing {

// Scripted processes, processors and busy time, no services, with counts of what was asked.
class FakeSampler : public Sampler {
 public:
  explicit FakeSampler(const Clock& clock, Wait wait = {}) : Sampler(clock, std::move(wait)) {}
  ~FakeSampler() override { stop(); }

  // What the following ticks see; may be called while the thread runs.
  void setProcesses(std::vector<ProcessRecord> processes) {
    std::lock_guard lock(mutex);
    snapshot = std::move(processes);
  }
  void setProcessorCount(std::uint32_t count) {
    std::lock_guard lock(mutex);
    cpus = count;
  }
  void setBusySeconds(double seconds) {
    std::lock_guard lock(mutex);
    busy = seconds;
  }
  // The next listProcesses throws, as an allocation failure would.
  void failNextList() {
    std::lock_guard lock(mutex);
    failList = true;
  }

  std::size_t listCalls() const {
    std::lock_guard lock(mutex);
    return lists;
  }
  std::size_t serviceCalls() const {
    std::lock_guard lock(mutex);
    return serviceLists;
  }
  // Blocks until `count` ticks have begun; false after a guard that only a broken thread meets.
  bool awaitListCalls(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(60), [&] { return lists >= count; });
  }

  // Runs first in every listProcesses, outside the fake's lock: a test holds a tick there.
  std::function<void()> beforeList;

  std::vector<ProcessRecord> listProcesses() override {
    if (beforeList) {
      beforeList();
    }
    std::lock_guard lock(mutex);
    ++lists;
    changed.notify_all();
    if (std::exchange(failList, false)) {
      throw std::runtime_error("scripted failure");
    }
    return snapshot;
  }
  ServiceMap serviceProcesses() override {
    std::lock_guard lock(mutex);
    ++serviceLists;
    return {};
  }
  std::uint32_t processorCount() override {
    std::lock_guard lock(mutex);
    return cpus;
  }
  double systemBusySeconds() override {
    std::lock_guard lock(mutex);
    return busy;
  }

 private:
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::vector<ProcessRecord> snapshot;
  std::uint32_t cpus = 1;
  double busy = 0.0;
  bool failList = false;
  std::size_t lists = 0;
  std::size_t serviceLists = 0;
};

}  // namespace ostrivel::testing
