// A writer that replaces one file with alternating large contents until it is killed.
// Usage: atomic_writer <path> <ready event name>
#include <cstdio>

#include "infra/windows/file_system_windows.h"
#include "infra/windows/scoped_handle.h"
#include "atomic_writer_contents.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: atomic_writer <path> <ready event name>\n");
    return 2;
  }
  const std::string contents[] = {ostrivel::testing::writerContent(0), ostrivel::testing::writerContent(1)};
  ostrivel::FileSystemWindows files;
  // Told only once the contents are built, so the killer's random moments fall among the writes.
  ostrivel::KernelHandle ready(OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
  if (ready) {
    SetEvent(ready.get());
  }
  for (unsigned n = 0;; ++n) {
    if (!files.writeAtomic(argv[1], contents[n % 2])) {
      return 1;
    }
  }
}
