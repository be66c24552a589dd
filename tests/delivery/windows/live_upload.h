// What the Windows upload programs share: settings from their bash test, a short back-off, the
// records they queue and the wait for them to reach the history folder.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "delivery/retry_schedule.h"
#include "infra/file_system.h"

namespace ostrivel::testing {

// A variable the bash test set (the local web API's address, the credential it issued).
inline std::string testEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The real back-off wait with a fixed, short delay: the real table would stretch these runs to
// hours, and what is under test is that nothing is lost or doubled, not the table.
class FixedRetry : public RetrySchedule {
 public:
  explicit FixedRetry(std::int32_t secondsIn) : seconds(secondsIn) {}
  std::int32_t next() override { return seconds; }

 private:
  std::int32_t seconds;
};

// Records numbered from..to, named in the order they must arrive.
inline void writeRecords(FileSystem& fs, const std::string& outbox, int from, int to) {
  for (int n = from; n <= to; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "\\days20260105%04d.json", n);
    const std::string record =
        nlohmann::json{{"n", n}, {"kind", "days"}, {"apps", {{"explorer", 0.25 * n}}}}.dump(1, '\t');
    ASSERT_TRUE(fs.writeAtomic(outbox + name, record));
  }
}

// Polls the history folder; the uploader works on its own thread and has no other sign of progress.
inline bool waitForDelivered(FileSystem& fs, const std::string& history, std::size_t count,
                             std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (fs.list(history).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

}  // namespace ostrivel::testing
