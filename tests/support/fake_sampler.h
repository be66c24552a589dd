// A Sampler over a machine the test scripts (link ostrivel_measurement to use it).
#pragma once

#include "measurement/sampler.h"

namespace ostrivel::testing {

// Scripted processes on one processor, no services, no busy reading. Change the script only while
// the sampling thread waits (a step wait orders the change before the next tick).
class FakeSampler : public Sampler {
 public:
  using Sampler::Sampler;
  ~FakeSampler() override { stop(); }

  std::vector<ProcessRecord> processes;
  // Runs first in every listProcesses: a test holds a tick there, or throws as an allocation
  // failure would.
  std::function<void()> beforeList;

  std::vector<ProcessRecord> listProcesses() override {
    if (beforeList) beforeList();
    return processes;
  }
  ServiceMap serviceProcesses() override { return {}; }
  std::uint32_t processorCount() override { return 1; }
  double systemBusySeconds() override { return 0.0; }
};

}  // namespace ostrivel::testing
