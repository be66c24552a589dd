// identity.json as found on disk, beside legacy registry values: never a crash, never a
// credential of the wrong form.
#include <cstddef>
#include <cstdint>
#include <string>

#include "enrolment/identity_store.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // The input's first line, if any, also plays the legacy token of the "secure" scope.
  const std::string legacy = input.substr(0, input.find('\n'));
  ostrivel::testing::InMemoryFileSystem files;
  ostrivel::testing::InMemoryRegistry registry;
  files.putFile("C:\\data\\identity.json", input);
  registry.seed("secure", "Token", legacy);
  registry.seed("secure", "AgentId", input.substr(0, 16));

  ostrivel::IdentityStore store(files, registry, "C:\\data");
  if (const auto identity = store.loadIdentity()) {
    if (!ostrivel::isValidToken(identity->token)) {
      __builtin_trap();
    }
    // Once in the file (invalid UTF-8 of a legacy value replaced on the way), it reads back
    // the same every time.
    const auto first = store.loadIdentity();
    const auto second = store.loadIdentity();
    if (!first || !second || *first != *second) {
      __builtin_trap();
    }
  }
  return 0;
}
