// Installs, queries, stops and removes the "Ostrivel" service with the service control manager.
#include "install/windows/scm_windows.h"

#include <chrono>
#include <thread>
#include <utility>

#include "infra/product.h"
#include "infra/windows/event_source_windows.h"
#include "infra/windows/folder_security_windows.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "install/install_folder.h"
#include "install/service_texts.h"
#include "install/windows/autostart_windows.h"

namespace ostrivel {

namespace {

const std::string kServiceName(kProductName);
static_assert(kServiceChangeConfig == SERVICE_CHANGE_CONFIG && kServiceStart == SERVICE_START);

ServiceHandle openManager(DWORD access) { return ServiceHandle(OpenSCManagerA(nullptr, nullptr, access)); }

// Callers keep the manager open beside every service handle opened through it, and read the
// last error before either is closed.
ServiceHandle openService(const ServiceHandle& manager, DWORD access) {
  if (!manager) {
    return ServiceHandle();
  }
  return ServiceHandle(OpenServiceA(manager.get(), kServiceName.c_str(), access));
}

// Stop pending is not stopped: the service still writes its open bucket and its "stopped" event
// and finishes an upload into history, all in the data folder. A service that cannot be seen
// (gone, or not to be opened) is not waited for.
bool stoppedOrGone() {
  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  const ServiceHandle service = openService(manager, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  return !service || !QueryServiceStatus(service.get(), &status) || status.dwCurrentState == SERVICE_STOPPED;
}

// The service and every logon run the executable where it stands, as LocalSystem and as each
// user: a folder others can write to (a Downloads folder) lets them plant a library or swap the
// program. Said on the console and in the log; the install goes on.
void warnOfWritableFolder(const std::string& executablePath, Logger& log) {
  const std::string folder = executablePath.substr(0, executablePath.find_last_of('\\'));
  FolderSecurityWindows access;
  const auto entry = access.open(folder);
  const auto security = entry ? entry->security() : std::nullopt;
  if (security && writableByNonAdministrators(*security)) {
    log.warn("[ui] users who are not administrators can change " + toNarrow(utf8ToWide(folder), CP_ACP) +
             ", where the service's program stands; install from a folder only administrators can change, "
             "such as Program Files");
  }
}

void setDescription(SC_HANDLE service) {
  char buffer[256] = {};
  const std::string text = serviceDescription();
  text.copy(buffer, sizeof buffer - 1);
  SERVICE_DESCRIPTIONA description{buffer};
  ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &description);
}

}  // namespace

ScmWindows::ScmWindows(std::string executablePathIn, std::string dataDirectoryIn, Logger* logIn)
    : executablePath(std::move(executablePathIn)), dataDirectory(std::move(dataDirectoryIn)), log(logIn) {}

bool ScmWindows::isInstalled() {
  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  return static_cast<bool>(openService(manager, SERVICE_QUERY_STATUS));
}

bool ScmWindows::isRunning() {
  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  const ServiceHandle service = openService(manager, SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  if (!service || !QueryServiceStatus(service.get(), &status)) {
    return false;
  }
  return status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING;
}

bool ScmWindows::stop() {
  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  const ServiceHandle service = openService(manager, SERVICE_STOP);
  if (!service) {
    return false;
  }
  SERVICE_STATUS status{};
  return ControlService(service.get(), SERVICE_CONTROL_STOP, &status) || GetLastError() == ERROR_SERVICE_NOT_ACTIVE;
}

bool ScmWindows::install() {
  // Made or taken back before the service can start and before any user's logon check can
  // create it with that user as owner. A service already running took it back at its start and
  // is left to write undisturbed. A failure is a side step's: the install goes on.
  if (!isRunning()) {
    const GuardReport guard = secureDataFolder(dataDirectory, "[ui] ");
    for (const auto& finding : guard.findings) {
      if (log != nullptr) {
        log->log(finding.level, finding.message, {});
      }
    }
  }
  if (log != nullptr) {
    warnOfWritableFolder(executablePath, *log);
  }
  const ServiceHandle manager = openManager(SC_MANAGER_CREATE_SERVICE);
  if (!manager) {
    return false;
  }
  // The path is UTF-8: the wide calls keep every character of it.
  const std::wstring name = utf8ToWide(kServiceName);
  const std::wstring commandLine = utf8ToWide(serviceCommandLine(executablePath));
  ServiceHandle service(CreateServiceW(manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_EXISTS) {
      return false;
    }
    // A reinstall from a new location points the existing service at the new executable.
    service = openService(manager, SERVICE_ALL_ACCESS);
    if (!service) {
      return false;
    }
    ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, commandLine.c_str(),
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  setDescription(service.get());
  setAutostart(executablePath);
  registerEventSource(executablePath);
  return StartServiceA(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

bool ScmWindows::uninstall() {
  stop();
  for (int attempt = 0; attempt < 50 && !stoppedOrGone(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  removeAutostart();
  unregisterEventSource();
  // Everything the agent kept: logs, outbox, history, identity. Links go as links, whatever they
  // name stays untouched; files still held open stay.
  sweepDataFolder(dataDirectory);

  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  if (!manager) {
    return false;
  }
  const ServiceHandle service = openService(manager, SERVICE_ALL_ACCESS);
  if (!service) {
    return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
  }
  return DeleteService(service.get()) != 0;
}

bool setFailureActions() {
  const ServiceHandle manager = openManager(SC_MANAGER_CONNECT);
  const ServiceHandle service = openService(manager, failureActionsAccess(kFailureRestartCount));
  if (!service) {
    return false;
  }
  SC_ACTION actions[kFailureRestartCount];
  for (auto& action : actions) {
    action = SC_ACTION{SC_ACTION_RESTART, kFailureRestartDelayMs};
  }
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = kFailureResetSeconds;
  failure.cActions = kFailureRestartCount;
  failure.lpsaActions = actions;
  if (!ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
    return false;
  }
  // The actions also follow a stop the service reports as failed (a pipeline that gave up), not
  // only a crash of its process. Best effort: Wine does not know this setting, and without it a
  // crash is still restarted.
  SERVICE_FAILURE_ACTIONS_FLAG onFailedStop{TRUE};
  ChangeServiceConfig2A(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onFailedStop);
  return true;
}

}  // namespace ostrivel
