// A DLL planted beside ostrivel.exe under the name of a library it uses: when loaded, it leaves a
// mark in the file OSTRIVEL_PLANTED_MARKER names. It exports nothing the agent could call.
#include "infra/windows/windows_api.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  char marker[MAX_PATH] = {};
  const DWORD length = GetEnvironmentVariableA("OSTRIVEL_PLANTED_MARKER", marker, sizeof marker);
  if (reason == DLL_PROCESS_ATTACH && length > 0 && length < sizeof marker) {
    CloseHandle(CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
  return TRUE;
}
