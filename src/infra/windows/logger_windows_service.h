// Writes the service's lines to the Windows Application event log under the source "Ostrivel".
#pragma once

#include "infra/logger.h"

namespace ostrivel {

// Registers the source for every message and deregisters it again: the agent logs a few lines
// a minute, and no handle then outlives a service restart.
class LoggerWindowsService : public Logger {
 public:
  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override;
};

}  // namespace ostrivel
