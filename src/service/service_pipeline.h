// What the service host drives: the measuring pipeline's run, session changes and the suspend notice.
#pragma once

#include <stop_token>
#include <string>

namespace ostrivel {

class ServicePipeline {
 public:
  virtual ~ServicePipeline() = default;
  // Blocks for the service's life; returns true when a stop was requested, false when the pipeline
  // failed and ended by itself (the service then stops as failed, so its recovery restarts it).
  virtual bool run(std::stop_token stop) = 0;
  // "logon", "logoff", "lock" or "unlock"; queues and returns at once.
  virtual void sessionChanged(const std::string& name) = 0;
  // The machine is about to suspend: writes the open bucket, waiting at most 1.5 s.
  virtual void suspending() = 0;
};

}  // namespace ostrivel
