// Keeps one thread busy for the seconds on its command line (30 by default): a known CPU load.
#include <cstdint>
#include <cstdlib>

#include "infra/windows/windows_api.h"

int main(int argc, char** argv) {
  const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds > 0 ? seconds : 0) * 1000;
  volatile std::uint64_t sink = 0;
  while (GetTickCount64() < end) {
    for (int i = 0; i < 100000; ++i) {
      sink = sink + static_cast<std::uint64_t>(i);
    }
  }
  return 0;
}
