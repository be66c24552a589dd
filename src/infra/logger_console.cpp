// Writes lines to the console: errors to standard error, everything else to standard output.
#include "infra/logger_console.h"

#include <cstdio>

namespace ostrivel {

std::string consoleLine(std::uint32_t level, const std::string& message, const std::string& stamp) {
  std::string line;
  if (!stamp.empty()) {
    line += stamp;
    line += ' ';
  }
  line += levelTag(level);
  line += ' ';
  line += message;
  return line;
}

void LoggerConsole::log(std::uint32_t level, const std::string& message, const std::string& stamp) {
  // One fputs per line keeps lines from different threads whole.
  const std::string line = consoleLine(level, message, stamp) + "\n";
  std::FILE* stream = level == kLevelError ? stderr : stdout;
  std::fputs(line.c_str(), stream);
  // A redirected stream is fully buffered; a long "-run" must show its lines as they happen.
  std::fflush(stream);
}

}  // namespace ostrivel
