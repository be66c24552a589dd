// Appends lines to day-named files ("20260301.log") in one folder and keeps the newest few days.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "infra/clock.h"
#include "infra/file_system.h"
#include "infra/logger.h"

namespace ostrivel {

// How an elevated process (an administrator's verb, the installer's actions as LocalSystem) logs
// in a folder users may change: it never prunes, and once an append there fails (the folder or
// the day file is not what its name says) it writes on in fallbackDirectory, after the warning,
// logged there once and told to console too.
struct ElevatedLogging {
  std::string fallbackDirectory;
  std::string warning;
  Logger* console = nullptr;
};

class LoggerFile : public Logger {
 public:
  // keptFiles below 1 keeps 1. Creates the folder (errors ignored) and, unless elevated, prunes.
  LoggerFile(FileSystem& files, std::string directory, const Clock& clock, std::int32_t keptFiles,
             std::optional<ElevatedLogging> elevated = std::nullopt);

  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override;

 private:
  std::string dayPath(const std::string& day) const;
  void prune();

  FileSystem& files;
  std::string directory;
  const Clock& clock;
  std::int32_t keptFiles;
  std::optional<ElevatedLogging> elevated;
  std::string currentDayKey;
  std::mutex mutex;
};

}  // namespace ostrivel
