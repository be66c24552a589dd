// The user modes: the logon check, the status report and the console verbs.
#include "app/windows/console_windows.h"
#include "app/windows/modes_windows.h"
#include "companion/ui_companion.h"
#include "companion/windows/browser_windows.h"
#include "companion/windows/toaster_windows.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"
#include "install/windows/scm_windows.h"
#include "measurement/windows/system_facts_windows.h"

namespace ostrivel {

int runUserMode(const SharedObjects& shared) {
  LoggerMux log;
  LoggerConsole consoleLogger;
  LoggerFile fileLogger(shared.paths.userLogDirectory, shared.clock, kLogRetentionDays);
  log.add(&consoleLogger);
  log.add(&fileLogger);

  const std::string executable = executablePath();
  ScmWindows services(executable, shared.paths.dataDirectory, &log);
  ToasterWindows toaster;
  BrowserWindows browser;
  UiCompanion companion(log, shared.state, shared.identities, toaster, browser, services, shared.clock,
                        shared.urls.dashboard, shared.urls.site);

  const std::string& mode = shared.command.mode;
  if (!mayCreateConsole(mode)) {
    attachParentConsole();
    // The manifest asks for no elevation, so a service change from a plain console goes
    // through the consent prompt in a copy of this program and reports that copy's code.
    if (changesTheService(mode) && !processIsElevated()) {
      return runElevated(executable, mode);
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
