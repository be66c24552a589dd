// A logger that keeps every line, so tests can check texts, levels and stamps.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "infra/logger.h"

namespace ostrivel::testing {

struct LoggedLine {
  std::uint32_t level;
  std::string message;
  std::string stamp;
};

class RecordingLogger : public Logger {
 public:
  void log(std::uint32_t level, const std::string& message, const std::string& stamp) override {
    std::lock_guard lock(mutex);
    recorded.push_back({level, message, stamp});
    logged.notify_all();
  }

  // Blocks until `times` lines contain the text; the limit only keeps a broken component from
  // hanging the test run.
  bool waitFor(const std::string& text, std::size_t times = 1) const {
    std::unique_lock lock(mutex);
    return logged.wait_for(lock, std::chrono::seconds(20), [&] { return countIn(recorded, text) >= times; });
  }

  std::vector<LoggedLine> lines() const {
    std::lock_guard lock(mutex);
    return recorded;
  }

  std::vector<std::string> messages() const {
    std::vector<std::string> out;
    for (const auto& line : lines()) out.push_back(line.message);
    return out;
  }

  // How many lines contain the text.
  std::size_t count(const std::string& text) const { return countIn(lines(), text); }
  bool contains(const std::string& text) const { return count(text) > 0; }

  void clear() {
    std::lock_guard lock(mutex);
    recorded.clear();
  }

 private:
  static std::size_t countIn(const std::vector<LoggedLine>& lines, const std::string& text) {
    return std::count_if(lines.begin(), lines.end(),
                         [&](const LoggedLine& line) { return line.message.find(text) != std::string::npos; });
  }

  mutable std::mutex mutex;
  mutable std::condition_variable logged;
  std::vector<LoggedLine> recorded;
};

}  // namespace ostrivel::testing
