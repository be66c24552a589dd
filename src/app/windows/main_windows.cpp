// The entry point: fixes the mode, folders and URLs, builds every object the mode needs, runs it.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/startup.h"
#include "app/windows/modes_windows.h"
#include "enrolment/agent_state_store.h"
#include "enrolment/identity_store.h"
#include "infra/clock_system.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/registry_windows.h"
#include "infra/windows/windows_api.h"
#include "measurement/windows/system_facts_windows.h"

using namespace ostrivel;

int main(int argc, char** argv) {
  // Before anything can load a library: the ones not in the import table (see the build's
  // delay-loaded list) come from System32 only, never from the executable's folder, where
  // anyone who can write there (a Downloads folder) could plant one to run as LocalSystem.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  const CommandLine command = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  // The overrides are read once, before anything else is built.
  const BaseUrls urls = resolveBaseUrls([](const std::string& name) -> std::optional<std::string> {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
  });
  const AgentPaths paths = agentPaths(programDataDir());

  ClockSystem clock;
  RegistryWindows registry;
  AgentStateStore state(registry);
  FileSystemWindows files(paths.dataDirectory);
  IdentityStore identities(files, registry, paths.dataDirectory);
  const SharedObjects shared{command, urls, paths, clock, registry, state, files, identities};

  if (command.mode == "-service" || command.mode == "-run") {
    return runPipelineMode(shared);
  }
  return runUserMode(shared);
}
