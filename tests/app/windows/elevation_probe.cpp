// Runs the elevation hop on its arguments and prints the code it returned, so a Wine test can
// watch a relaunch through "runas" without the entry point deciding whether one is needed.
#include <cstdio>
#include <string>

#include "app/windows/console_windows.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: elevation_probe EXECUTABLE [PARAMETERS]\n", stderr);
    return 2;
  }
  const int code = ostrivel::runElevated(argv[1], argc > 2 ? argv[2] : "");
  std::printf("%d\n", code);
  return 0;
}
