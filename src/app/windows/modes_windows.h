// The two families of modes: the measuring pipeline ("-service", "-run") and the user modes.
#pragma once

#include "app/startup.h"
#include "enrolment/agent_state_store.h"
#include "enrolment/identity_store.h"
#include "infra/clock.h"
#include "infra/registry.h"
#include "infra/windows/file_system_windows.h"

namespace ostrivel {

// What every mode shares; built by the entry point and lent to the mode for its whole run.
struct SharedObjects {
  const CommandLine& command;
  const BaseUrls& urls;
  const AgentPaths& paths;
  const Clock& clock;
  Registry& registry;
  AgentStateStore& state;
  FileSystemWindows& files;  // refuses what the data folder's guard could not secure
  IdentityStore& identities;
};

int runPipelineMode(const SharedObjects& shared);
int runUserMode(const SharedObjects& shared);

}  // namespace ostrivel
