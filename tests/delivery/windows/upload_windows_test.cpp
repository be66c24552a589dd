// The uploader, the API client and WinHTTP over a real outbox folder against the local web API:
// every file delivered once and in order through 503 storms and session refreshes. Run by
// wine/upload_windows_test.sh, which checks the server's side of it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "delivery/retry_schedule.h"
#include "enrolment/agent_state_store.h"
#include "infra/clock_system.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/http_request_windows.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/temp_directory.h"

namespace ostrivel {
namespace {

using nlohmann::json;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// The real back-off wait, made short: the storms below would otherwise take minutes.
class NoDelayRetry : public RetrySchedule {
 public:
  std::int32_t next() override { return 0; }
};

// Polls the history folder; the uploader works on its own thread and has no other sign of progress.
bool waitForDelivered(FileSystem& fs, const std::string& history, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (fs.list(history).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void writeRecords(FileSystem& fs, const std::string& outbox, int from, int to) {
  for (int n = from; n <= to; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "\\days20260105%04d.json", n);
    const std::string record = json{{"n", n}, {"kind", "days"}, {"apps", {{"explorer", 0.25 * n}}}}.dump(1, '\t');
    ASSERT_TRUE(fs.writeAtomic(outbox + name, record));
  }
}

TEST(UploadWindows, DeliversEveryFileOnceInOrderThroughStormsAndRefreshes) {
  const std::string url = environment("OSTRIVEL_TEST_API_URL");
  if (url.empty()) {
    GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through upload_windows_test.sh";
  }
  testing::TempDirectory dir;
  const std::string outbox = dir.string() + "\\outbox";
  const std::string history = dir.string() + "\\history";
  HttpRequestWindows admin(url);
  HttpRequestWindows http(url);
  const Identity identity{environment("OSTRIVEL_TEST_AGENT_ID"), "PC-1", environment("OSTRIVEL_TEST_CREDENTIAL")};
  testing::RecordingLogger log;
  ApiClient api(http, identity, log);
  FileSystemWindows fs;
  testing::InMemoryRegistry registry;
  AgentStateStore state(registry);
  ClockSystem clock;
  NoDelayRetry retry;
  FileUploader uploader(api, fs, state, retry, log, clock, 60);
  const auto script = [&](const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", "ingest"}, {"answers", answers}}.dump(), "").status, 200);
  };

  // A storm from the first upload on.
  script(json::array({json{{"status", 503}, {"count", 4}}}));
  ASSERT_TRUE(fs.ensureDirectory(outbox));
  writeRecords(fs, outbox, 1, 20);
  uploader.start(outbox, history);
  ASSERT_TRUE(waitForDelivered(fs, history, 20));

  // One refused session (refreshed inside the client), then another storm; the files arrive
  // while the uploader waits, so the folder watch has to wake it.
  script(json::array({json{{"status", 401}}, json{{"status", 503}, {"count", 3}}, json{{"status", 502}}}));
  writeRecords(fs, outbox, 21, 30);
  ASSERT_TRUE(waitForDelivered(fs, history, 30));

  // Every session expires at the server.
  ASSERT_EQ(admin.post("admin/expireSessions", "", "").status, 200);
  writeRecords(fs, outbox, 31, 40);
  ASSERT_TRUE(waitForDelivered(fs, history, 40));
  uploader.stop();

  EXPECT_TRUE(fs.list(outbox).empty());
  EXPECT_TRUE(uploader.lastUploadOk());
  EXPECT_TRUE(state.lastUploadAt().has_value());
  EXPECT_EQ(log.count("-> 503, retry in 0s"), 7u);
  EXPECT_EQ(log.count("-> 502, retry in 0s"), 1u);
  EXPECT_EQ(log.count("-> ok (kept), sampling 1m"), 40u);
  EXPECT_EQ(log.count("[apis] serviceAccountToken ok"), 3u);
  EXPECT_EQ(log.count("-> 401"), 0u);  // both refusals were settled by a fresh session
  for (const auto& line : log.lines()) {
    std::printf("%s\n", line.message.c_str());
  }
}

}  // namespace
}  // namespace ostrivel
