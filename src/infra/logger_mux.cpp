// Hands every line to several loggers, in the order they were added.
#include "infra/logger_mux.h"

namespace ostrivel {

void LoggerMux::add(Logger* member) { members.push_back(member); }

void LoggerMux::log(std::uint32_t level, const std::string& message, const std::string& stamp) {
  for (Logger* member : members) {
    member->log(level, message, stamp);
  }
}

}  // namespace ostrivel
