// The one seam every component writes its messages through.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ostrivel {

inline constexpr std::uint32_t kLevelInfo = 0;
inline constexpr std::uint32_t kLevelWarn = 1;
inline constexpr std::uint32_t kLevelError = 2;

// "[info]", "[warn]" or "[error]"; any unknown level is written as info.
std::string_view levelTag(std::uint32_t level);

// Contract: log never reports failure and never throws; a line that cannot be written is lost.
// The message carries its component tag ("[service] ..."); the stamp is an optional time text
// the caller chose, normally empty. Implementations may be called from any thread.
class Logger {
 public:
  virtual ~Logger() = default;
  virtual void log(std::uint32_t level, const std::string& message, const std::string& stamp) = 0;

  void info(const std::string& message, const std::string& stamp = {}) { log(kLevelInfo, message, stamp); }
  void warn(const std::string& message, const std::string& stamp = {}) { log(kLevelWarn, message, stamp); }
  void error(const std::string& message, const std::string& stamp = {}) { log(kLevelError, message, stamp); }
};

}  // namespace ostrivel
