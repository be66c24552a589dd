// The sampling thread: a look at every process per tick, one "sample" of CPU shares per window.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "infra/clock.h"
#include "infra/data.h"
#include "measurement/process_record.h"

namespace ostrivel {

// The operating system's facts come through the four slots a platform fills.
class Sampler {
 public:
  using Callback = std::function<void(const Data&)>;
  // Waits the given time or until stop is requested, whichever comes first. Tests pass one that
  // they release step by step; the default waits on the sampler's own condition variable.
  using Wait = std::function<void(std::stop_token, std::chrono::seconds)>;

  explicit Sampler(const Clock& clock, Wait wait = {});
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;
  // Stops and joins the thread. A derived class must call stop() in its own destructor: the
  // thread calls the slots below, which must not outlive the derived part.
  virtual ~Sampler();

  // Every process with its CPU time since it started; empty when the system cannot tell.
  virtual std::vector<ProcessRecord> listProcesses() = 0;
  // The processes that host active services; empty when the system cannot tell.
  virtual ServiceMap serviceProcesses() = 0;
  // Logical processors of the machine, at least 1.
  virtual std::uint32_t processorCount() = 0;
  // Busy CPU seconds of the whole machine since boot, summed over processors; 0.0 if unknown.
  virtual double systemBusySeconds() = 0;

  // Launches the thread: a baseline tick, the first sample after firstDelaySeconds, then one
  // per windowSeconds of measured time with a tick every intervalSeconds. The callback runs on
  // the sampling thread with no lock of the sampler held. A running thread is stopped first.
  void start(Callback callback, std::int32_t windowSeconds, std::int32_t firstDelaySeconds,
             std::int32_t intervalSeconds);
  // Ends a pending wait at once and joins; the unfinished window is dropped.
  void stop();

 private:
  void run(std::stop_token stop);
  void waitOnCondition(std::stop_token stop, std::chrono::seconds duration);

  const Clock& clock;
  Callback callback;
  std::int32_t windowSeconds = 60;
  std::int32_t firstDelaySeconds = 3;
  std::int32_t intervalSeconds = 5;
  Wait wait;
  std::mutex mutex;
  std::condition_variable_any wakeUp;
  std::jthread thread;
};

}  // namespace ostrivel
