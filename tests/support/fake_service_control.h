// A service manager held in memory: a test sets what it reports and what each operation
// answers, and reads back which operations were called, in order.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "install/service_control.h"

namespace ostrivel::testing {

// Successful operations move the state as the real manager would: install leaves the service
// installed and running, stop leaves it not running, uninstall leaves nothing.
class FakeServiceControl : public ServiceControl {
 public:
  void setInstalled(bool value) {
    std::lock_guard lock(mutex);
    installed = value;
  }
  void setRunning(bool value) {
    std::lock_guard lock(mutex);
    running = value;
  }
  // What stop, install and uninstall answer; all succeed until told otherwise.
  void setResults(bool stopResult, bool installResult, bool uninstallResult) {
    std::lock_guard lock(mutex);
    stopAnswer = stopResult;
    installAnswer = installResult;
    uninstallAnswer = uninstallResult;
  }

  // "isInstalled", "isRunning", "stop", "install", "uninstall" in the order they were called.
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex);
    return called;
  }

  bool isInstalled() override {
    std::lock_guard lock(mutex);
    called.emplace_back("isInstalled");
    return installed;
  }
  bool isRunning() override {
    std::lock_guard lock(mutex);
    called.emplace_back("isRunning");
    return installed && running;
  }
  bool stop() override {
    std::lock_guard lock(mutex);
    called.emplace_back("stop");
    if (stopAnswer) {
      running = false;
    }
    return stopAnswer;
  }
  bool install() override {
    std::lock_guard lock(mutex);
    called.emplace_back("install");
    if (installAnswer) {
      installed = running = true;
    }
    return installAnswer;
  }
  bool uninstall() override {
    std::lock_guard lock(mutex);
    called.emplace_back("uninstall");
    if (uninstallAnswer) {
      installed = running = false;
    }
    return uninstallAnswer;
  }

 private:
  mutable std::mutex mutex;
  bool installed = false;
  bool running = false;
  bool stopAnswer = true;
  bool installAnswer = true;
  bool uninstallAnswer = true;
  std::vector<std::string> called;
};

}  // namespace ostrivel::testing
