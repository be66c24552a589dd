// A stand-in for the agent's service in the Wine tests: registered as "Ostrivel", it reports
// running at once and stays so until the manager stops it. It measures and uploads nothing.
#include "infra/windows/windows_api.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void report(DWORD state) {
  SERVICE_STATUS status{};
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
  if (code == SERVICE_CONTROL_STOP || code == SERVICE_CONTROL_SHUTDOWN) {
    // Stop pending before the signal, or the manager may see the service stop unannounced.
    report(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
    return NO_ERROR;
  }
  return code == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI serviceMain(DWORD, LPSTR*) {
  statusHandle = RegisterServiceCtrlHandlerExA("Ostrivel", control, nullptr);
  if (statusHandle == nullptr) {
    return;
  }
  stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  report(SERVICE_RUNNING);
  WaitForSingleObject(stopEvent, INFINITE);
  CloseHandle(stopEvent);
  report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  char name[] = "Ostrivel";
  SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
