// Installs, queries, stops and removes the "Ostrivel" service with the service control manager.
#pragma once

#include <string>

#include "infra/logger.h"
#include "install/service_control.h"

namespace ostrivel {

class ScmWindows : public ServiceControl {
 public:
  // log, when given, receives what the data folder's guard finds at install, and a warning when
  // the executable's folder can be changed by users who are not administrators.
  ScmWindows(std::string executablePath, std::string dataDirectory, Logger* log = nullptr);

  bool isInstalled() override;
  bool isRunning() override;
  bool stop() override;
  bool install() override;
  bool uninstall() override;

 private:
  std::string executablePath;
  std::string dataDirectory;
  Logger* log;
};

// Three restarts a minute apart, reset after a day; the service writes them at every start.
bool setFailureActions();

}  // namespace ostrivel
