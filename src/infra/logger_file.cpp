// Appends lines to day-named files ("20260301.log") in one folder and keeps the newest few days.
#include "infra/logger_file.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace ostrivel {

namespace {

// Windows text files: every line ends with a carriage return and a line feed.
std::string formatLine(const std::string& stamp, std::uint32_t level, const std::string& message) {
  std::string line = stamp;
  line += ' ';
  line += levelTag(level);
  line += ' ';
  line += message;
  line += "\r\n";
  return line;
}

}  // namespace

LoggerFile::LoggerFile(FileSystem& filesIn, std::string directoryIn, const Clock& clockIn, std::int32_t keptFilesIn,
                       std::optional<ElevatedLogging> elevatedIn)
    : files(filesIn),
      directory(std::move(directoryIn)),
      clock(clockIn),
      keptFiles(std::max<std::int32_t>(1, keptFilesIn)),
      elevated(std::move(elevatedIn)) {
  files.ensureDirectory(directory);
  currentDayKey = clock.localDayKey();
  prune();
}

std::string LoggerFile::dayPath(const std::string& day) const { return directory + "\\" + day + ".log"; }

void LoggerFile::log(std::uint32_t level, const std::string& message, const std::string& stamp) {
  try {
    std::lock_guard lock(mutex);
    const std::string day = clock.localDayKey();
    const std::string when = stamp.empty() ? clock.localStamp() : stamp;
    const std::string line = formatLine(when, level, message);
    if (!files.append(dayPath(day), line) && elevated && directory != elevated->fallbackDirectory) {
      // Moves only where it can write: after the uninstall's sweep neither folder is there, and
      // the last lines are lost without a word.
      const std::string fallback = elevated->fallbackDirectory + "\\" + day + ".log";
      if (files.append(fallback, formatLine(clock.localStamp(), kLevelWarn, elevated->warning) + line)) {
        directory = elevated->fallbackDirectory;
        if (elevated->console != nullptr) {
          elevated->console->warn(elevated->warning);
        }
      }
    }
    if (day != currentDayKey) {
      currentDayKey = day;
      prune();
    }
  } catch (...) {
    // Logging never reports failure to the thread that logged.
  }
}

void LoggerFile::prune() {
  // Pruning removes files by name: in a folder users may change, only their own processes do it.
  if (elevated) {
    return;
  }
  std::vector<std::string> days;
  for (const auto& name : files.list(directory)) {
    // Exactly ".log": a ".LOG" or ".txt" file in the folder is somebody else's.
    const auto dot = name.rfind('.');
    if (dot != std::string::npos && name.compare(dot, std::string::npos, ".log") == 0) {
      days.push_back(name);
    }
  }
  if (days.size() <= static_cast<std::size_t>(keptFiles)) {
    return;
  }
  std::sort(days.begin(), days.end(), std::greater<>());
  for (std::size_t i = static_cast<std::size_t>(keptFiles); i < days.size(); ++i) {
    files.remove(directory + "\\" + days[i]);
  }
}

}  // namespace ostrivel
