// Runs the elevation hop on its arguments (EXECUTABLE [PARAMETERS]) and prints the code it
// returned, so a Wine test can watch a relaunch through "runas" without the entry point deciding
// whether one is needed.
#include <cstdio>
#include <string>

#include "app/windows/console_windows.h"
#include "infra/windows/text_windows.h"
#include "infra/windows/windows_api.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // The hop takes the UTF-8 path the entry point reads; the arguments come in the code page.
  const std::string path = ostrivel::wideToUtf8(ostrivel::toWide(argv[1], CP_ACP));
  std::printf("%d\n", ostrivel::runElevated(path, argc > 2 ? argv[2] : ""));
  return 0;
}
