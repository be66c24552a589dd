// Installs, queries, stops and removes the "Ostrivel" service with the service control manager.
#pragma once

#include <string>

#include "install/service_control.h"

namespace ostrivel {

class ScmWindows : public ServiceControl {
 public:
  ScmWindows(std::string executablePath, std::string dataDirectory);

  bool isInstalled() override;
  bool isRunning() override;
  bool stop() override;
  bool install() override;
  bool uninstall() override;

 private:
  std::string executablePath;
  std::string dataDirectory;
};

// Three restarts a minute apart, reset after a day; the service writes them at every start.
bool setFailureActions();

}  // namespace ostrivel
