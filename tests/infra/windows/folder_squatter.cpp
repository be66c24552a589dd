// Holds folders open the way a squatter would, sharing nothing with anyone, until a release file
// appears: folder_squatter <release file> <folder>... Prints "holding" once it holds them all.
#include <cstdio>
#include <vector>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"

int main(int argc, char** argv) {
  std::vector<ostrivel::KernelHandle> held;
  for (int i = 2; i < argc; ++i) {
    held.emplace_back(CreateFileW(ostrivel::toWide(argv[i], CP_ACP).c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!held.back()) {
      std::printf("cannot hold %s: %lu\n", argv[i], GetLastError());
      return 1;
    }
  }
  std::printf("holding\n");
  std::fflush(stdout);
  while (argc > 1 && GetFileAttributesA(argv[1]) == INVALID_FILE_ATTRIBUTES) {
    Sleep(100);
  }
  return 0;
}
