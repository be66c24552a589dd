// Hands every line to several loggers, in the order they were added.
#pragma once

#include <vector>

#include "infra/logger.h"

namespace ostrivel {

// Holds no lock: all members are added before any thread logs.
class LoggerMux : public Logger {
 public:
  void add(Logger* member);
  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override;

 private:
  std::vector<Logger*> members;
};

}  // namespace ostrivel
