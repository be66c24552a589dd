// The user modes: the logon check, the status report and the console verbs.
#include "app/windows/console_windows.h"
#include "app/windows/modes_windows.h"
#include "companion/ui_companion.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"
#include "measurement/windows/system_facts_windows.h"

namespace ostrivel {

int runUserMode(const SharedObjects& shared) {
  LoggerMux log;
  LoggerConsole consoleLogger;
  LoggerFile fileLogger(shared.paths.userLogDirectory, shared.clock, kLogRetentionDays);
  log.add(&consoleLogger);
  log.add(&fileLogger);

  UiCompanion companion(log);

  const std::string& mode = shared.command.mode;
  if (!mayCreateConsole(mode)) {
    attachParentConsole();
    if (changesTheService(mode) && !processIsElevated()) {
      return runElevated(executablePath(), mode);
    }
    return companion.runVerb(mode, shared.command.silent);
  }
  const bool createdConsole = attachOrCreateConsole();
  const int code = companion.runVerb(mode, false);
  if (createdConsole) {
    waitForEnter();
  }
  return code;
}

}  // namespace ostrivel
