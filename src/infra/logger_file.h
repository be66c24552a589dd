// Appends lines to day-named files ("20260301.log") in one folder and keeps the newest few days.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "infra/clock.h"
#include "infra/logger.h"

namespace ostrivel {

class LoggerFile : public Logger {
 public:
  // keptFiles below 1 keeps 1. Creates the folder (errors ignored) and prunes at once.
  LoggerFile(std::string directory, const Clock& clock, std::int32_t keptFiles);

  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override;

 private:
  void prune();

  std::string directory;
  const Clock& clock;
  std::int32_t keptFiles;
  std::string currentDayKey;
  std::mutex mutex;
};

}  // namespace ostrivel
