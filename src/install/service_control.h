// Installs, queries, stops and removes the agent's Windows service.
#pragma once

namespace ostrivel {

// Contract: every operation reports a plain boolean and never throws; handles are closed before
// each returns. Called from the single thread of a per-user process.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  virtual bool isInstalled() = 0;
  // Start pending or running; stop pending counts as not running.
  virtual bool isRunning() = 0;
  // The stop was accepted or the service was not active; does not wait for it to stop.
  virtual bool stop() = 0;
  // The service ends up started or already running.
  virtual bool install() = 0;
  // The service entry is gone; side steps (autostart, event source, data folder) never fail it.
  virtual bool uninstall() = 0;
};

}  // namespace ostrivel
