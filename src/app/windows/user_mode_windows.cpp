// The user modes: the logon check, the status report and the console verbs.
#include <optional>

#include "app/windows/console_windows.h"
#include "app/windows/modes_windows.h"
#include "companion/ui_companion.h"
#include "companion/windows/browser_windows.h"
#include "companion/windows/toaster_windows.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"
#include "infra/windows/folder_security_windows.h"
#include "install/windows/scm_windows.h"
#include "measurement/windows/system_facts_windows.h"
// objbase.h after the gate header: WIN32_LEAN_AND_MEAN leaves COM out of windows.h.
#include <objbase.h>

namespace ostrivel {

namespace {

// The shell hands links (and the elevation hop) to handlers that may be reached through COM;
// ShellExecuteEx asks for COM on the calling thread, or such a handler can fail silently.
class ComApartment {
 public:
  ComApartment() : initialised(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  ~ComApartment() {
    if (initialised) {
      CoUninitialize();
    }
  }

 private:
  bool initialised;
};

}  // namespace

int runUserMode(const SharedObjects& shared) {
  const ComApartment com;
  const std::string& mode = shared.command.mode;
  const std::string executable = executablePath();
  const bool elevated = processIsElevated();
  // An administrator's service change takes the data folder back before its own day log goes
  // there: in a folder a user made first, "logs" could be a link, and the log and its pruning
  // would then land wherever it points, with an administrator's rights. A running service took
  // it back when it started, and is left to write undisturbed.
  GuardReport guard;
  if (changesTheService(mode) && elevated && !ScmWindows(executable, shared.paths.dataDirectory).isRunning()) {
    guard = secureDataFolder(shared.paths.dataDirectory, "[ui] ");
    shared.files.refuse(guard.unsecured);
  }
  LoggerMux log;
  LoggerConsole consoleLogger;
  // logs\ui is the users' folder: an elevated run (an administrator's verb, the installer's
  // actions as LocalSystem) never prunes it, appends only to a real day file of one name in the
  // real folder (the file system checks each append by handle) and, when it cannot, logs to
  // logs\service instead.
  std::optional<ElevatedLogging> elevatedLogging;
  if (elevated) {
    elevatedLogging =
        ElevatedLogging{shared.paths.serviceLogDirectory,
                        "[ui] " + shared.paths.userLogDirectory + " could not be written safely, this run logs to " +
                            shared.paths.serviceLogDirectory,
                        &consoleLogger};
  }
  LoggerFile fileLogger(shared.files, shared.paths.userLogDirectory, shared.clock, kLogRetentionDays,
                        std::move(elevatedLogging));
  log.add(&consoleLogger);
  log.add(&fileLogger);

  ScmWindows services(executable, shared.paths.dataDirectory, &log);
  ToasterWindows toaster(log);
  BrowserWindows browser(log);
  UiCompanion companion(log, shared.state, shared.identities, toaster, browser, services, shared.clock,
                        shared.urls.dashboard, shared.urls.site);

  if (!mayCreateConsole(mode)) {
    attachParentConsole();
    // The manifest asks for no elevation, so a service change from a plain console goes
    // through the consent prompt in a copy of this program and reports that copy's code.
    if (hopsToElevate(shared.command, elevated)) {
      std::string parameters;
      for (const auto& argument : elevationHopArguments(mode)) {
        parameters += (parameters.empty() ? "" : " ") + argument;
      }
      return runElevated(executable, parameters);
    }
    for (const auto& finding : guard.findings) {
      log.log(finding.level, finding.message, {});  // once the console is there to show them
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
