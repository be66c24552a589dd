// Prints the owner and access list of each path given, as SDDL, one line per path: what the
// Wine tests read back of the folders the agent secured.
#include <cstdio>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
// After the gate header: the security APIs.
#include <aclapi.h>
#include <sddl.h>

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    const std::wstring path = ostrivel::toWide(argv[i], CP_ACP);
    constexpr SECURITY_INFORMATION kWhat = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, kWhat, nullptr, nullptr, nullptr, nullptr, &raw) !=
        ERROR_SUCCESS) {
      std::printf("%s -\n", argv[i]);
      ++failed;
      continue;
    }
    const ostrivel::LocalMemory descriptor(raw);
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(raw, SDDL_REVISION_1, kWhat, &text, nullptr)) {
      std::printf("%s -\n", argv[i]);
      ++failed;
      continue;
    }
    const ostrivel::LocalMemory owned(text);
    std::printf("%s %s\n", argv[i], text);
  }
  return failed == 0 ? 0 : 1;
}
