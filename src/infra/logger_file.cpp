// Appends lines to day-named files ("20260301.log") in one folder and keeps the newest few days.
#include "infra/logger_file.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <share.h>
#endif

namespace ostrivel {

namespace fs = std::filesystem;

namespace {

// Text mode, so Windows writes CRLF; shared, so the status report and support tools can read
// a day file while the service appends to it.
std::FILE* openForAppend(const fs::path& path) {
#ifdef _WIN32
  return _wfsopen(path.c_str(), L"a", _SH_DENYNO);
#else
  return std::fopen(path.c_str(), "a");
#endif
}

}  // namespace

LoggerFile::LoggerFile(std::string directoryIn, const Clock& clockIn, std::int32_t keptFilesIn)
    : directory(std::move(directoryIn)), clock(clockIn), keptFiles(std::max<std::int32_t>(1, keptFilesIn)) {
  std::error_code ignored;
  fs::create_directories(fs::path(directory), ignored);
  currentDayKey = clock.localDayKey();
  prune();
}

void LoggerFile::log(std::uint32_t level, const std::string& message, const std::string& stamp) {
  try {
    std::lock_guard lock(mutex);
    const std::string day = clock.localDayKey();
    if (std::FILE* file = openForAppend(fs::path(directory) / (day + ".log"))) {
      std::string line = stamp.empty() ? clock.localStamp() : stamp;
      line += ' ';
      line += levelTag(level);
      line += ' ';
      line += message;
      line += '\n';
      std::fputs(line.c_str(), file);
      std::fclose(file);
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
  std::vector<fs::path> days;
  try {
    std::error_code error;
    for (fs::directory_iterator it(fs::path(directory), error), end; !error && it != end; it.increment(error)) {
      // Exactly ".log": a ".LOG" or ".txt" file in the folder is somebody else's.
      if (it->path().extension() == ".log") {
        days.push_back(it->path());
      }
    }
  } catch (...) {
    return;  // A listing that fails part-way leaves the folder unpruned.
  }
  if (days.size() <= static_cast<std::size_t>(keptFiles)) {
    return;
  }
  std::sort(days.begin(), days.end(), std::greater<>());
  for (std::size_t i = static_cast<std::size_t>(keptFiles); i < days.size(); ++i) {
    std::error_code ignored;
    fs::remove(days[i], ignored);
  }
}

}  // namespace ostrivel
