// The pipeline modes: "-run" in a console and "-service" under the service control manager.
#include "app/windows/modes_windows.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"
#include "infra/product.h"
#include "infra/windows/logger_windows_service.h"

namespace ostrivel {

int runPipelineMode(const SharedObjects& shared) {
  const bool console = shared.command.mode == "-run";
  LoggerMux log;
  LoggerConsole consoleLogger;
  LoggerFile fileLogger(shared.paths.serviceLogDirectory, shared.clock, kLogRetentionDays);
  LoggerWindowsService eventLogger;
  // A service never writes to a console, a console run never to the event log.
  log.add(console ? static_cast<Logger*>(&consoleLogger) : &eventLogger);
  log.add(&fileLogger);
  log.info("[main] " + std::string(kProductName) + " " + std::string(kAgentVersion) + " -> " + shared.urls.api);
  // The measuring pipeline is not wired into this build yet.
  return 1;
}

}  // namespace ostrivel
