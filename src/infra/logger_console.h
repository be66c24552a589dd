// Writes lines to the console: errors to standard error, everything else to standard output.
#pragma once

#include "infra/logger.h"

namespace ostrivel {

class LoggerConsole : public Logger {
 public:
  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override;
};

// The console line without its line end: optional stamp, level tag, message.
std::string consoleLine(std::uint32_t level, const std::string& message, const std::string& stamp);

}  // namespace ostrivel
