// The bridge between the service control manager and the pipeline, and the "-run" console stop.
#include "service/windows/service_host_windows.h"

#include "infra/product.h"
#include "infra/windows/windows_api.h"
#include "service/console_run.h"
#include "service/service_host.h"

namespace ostrivel {

namespace {

// Process-wide, as the manager's callbacks carry no object: created at static initialisation,
// the pipeline published before the dispatcher starts and never unpublished.
ServicePipeline* servicePointer = nullptr;
std::function<void()> serviceStart;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
ConsoleRun consoleRun;

class ScmStatusReporter : public StatusReporter {
 public:
  void report(const ServiceStatus& status) override {
    SERVICE_STATUS raw{};
    raw.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    raw.dwCurrentState = status.state;
    raw.dwControlsAccepted = status.acceptedControls;
    raw.dwWin32ExitCode = status.serviceExitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    raw.dwServiceSpecificExitCode = status.serviceExitCode;
    raw.dwCheckPoint = status.checkpoint;
    raw.dwWaitHint = status.waitHintMs;
    SetServiceStatus(statusHandle, &raw);
  }
};

ScmStatusReporter statusReporter;
ServiceHost host(statusReporter);

DWORD WINAPI controlHandler(DWORD control, DWORD eventType, LPVOID, LPVOID) {
  return host.handleControl(control, eventType, servicePointer);
}

void WINAPI serviceMain(DWORD, LPSTR*) {
  const std::string name(kProductName);
  statusHandle = RegisterServiceCtrlHandlerExA(name.c_str(), controlHandler, nullptr);
  if (statusHandle == nullptr) {
    return;  // the manager times the start out
  }
  host.serve(servicePointer, serviceStart);
}

BOOL WINAPI consoleHandler(DWORD event) { return consoleRun.handle(event) ? TRUE : FALSE; }

}  // namespace

bool startServiceDispatcher(ServicePipeline* pipeline, std::function<void()> start) {
  servicePointer = pipeline;
  serviceStart = std::move(start);
  std::string name(kProductName);
  SERVICE_TABLE_ENTRYA table[] = {{name.data(), serviceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) != 0;
}

std::stop_token serviceStopToken() { return host.stopToken(); }

std::stop_token consoleStopToken() { return consoleRun.stopToken(); }

bool runInConsole(ServicePipeline& pipeline) {
  SetConsoleCtrlHandler(consoleHandler, TRUE);
  return consoleRun.run(pipeline);
}

}  // namespace ostrivel
