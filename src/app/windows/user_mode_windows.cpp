// The user modes: the logon check, the status report and the console verbs.
#include "app/windows/modes_windows.h"
#include "companion/ui_companion.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"

namespace ostrivel {

int runUserMode(const SharedObjects& shared) {
  LoggerMux log;
  LoggerConsole consoleLogger;
  LoggerFile fileLogger(shared.paths.userLogDirectory, shared.clock, kLogRetentionDays);
  log.add(&consoleLogger);
  log.add(&fileLogger);

  UiCompanion companion(log);
  return companion.runVerb(shared.command.mode, shared.command.silent);
}

}  // namespace ostrivel
