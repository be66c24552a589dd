// An idle Windows process: the floor of what any process costs under the system it runs on.
// "idle_windows N" starts N idle copies of itself and returns, so a benchmark can give the
// machine hundreds of processes to enumerate. Run by tests/bench/agent_bench.sh.
#include <cstdio>
#include <cstdlib>

#include "infra/windows/windows_api.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  const int copies = std::atoi(commandLine);
  if (copies <= 0) {
    Sleep(INFINITE);
    return 0;
  }
  char self[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
  if (length == 0 || length >= sizeof self) return 1;
  char line[MAX_PATH + 2];
  std::snprintf(line, sizeof line, "\"%s\"", self);
  for (int i = 0; i < copies; ++i) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) return 1;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
  return 0;
}
