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
  ostrivel::testing::InMemoryFileSystem files;
  ostrivel::testing::InMemoryRegistry registry;
  files.putFile("C:\\data\\identity.json", input);
  // The input's first line also plays the legacy token of the "secure" scope.
  registry.seed("secure", "Token", input.substr(0, input.find('\n')));
  registry.seed("secure", "AgentId", input.substr(0, 16));
  ostrivel::IdentityStore store(files, registry, "C:\\data");
  if (const auto identity = store.loadIdentity()) {
    // Once in the file (invalid UTF-8 of a legacy value replaced on the way), it reads back the same.
    const auto again = store.loadIdentity();
    if (!ostrivel::isValidToken(identity->token) || !again || again != store.loadIdentity()) __builtin_trap();
  }
  return 0;
}
