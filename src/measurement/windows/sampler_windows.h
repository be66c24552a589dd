// The sampler's facts from Windows: processes, service hosts, processors, machine busy time.
#pragma once

#include <cstddef>
#include <vector>

#include "measurement/sampler.h"
#include "measurement/windows/process_list_windows.h"

namespace ostrivel {

// Every slot runs on the sampling thread only, so the process buffer needs no lock.
class SamplerWindows : public Sampler {
 public:
  explicit SamplerWindows(const Clock& clock, Wait wait = {});
  ~SamplerWindows() override;

  std::vector<ProcessRecord> listProcesses() override;
  ServiceMap serviceProcesses() override;
  std::uint32_t processorCount() override;
  double systemBusySeconds() override;

 private:
  // Allocated once and reused, so a tick makes no large allocation; grows only when the
  // process list outgrows it.
  ProcessBuffer processBuffer;
};

}  // namespace ostrivel
