// The uploader, the API client and WinHTTP over a real outbox folder against the local web API:
// every file delivered once and in order through 503 storms and session refreshes. Run by
// wine/upload_windows_test.sh, which checks the server's side of it.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "enrolment/agent_state_store.h"
#include "infra/clock_system.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/http_request_windows.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/temp_directory.h"
#include "delivery/windows/live_upload.h"

namespace ostrivel {
namespace {

using nlohmann::json;

TEST(UploadWindows, DeliversEveryFileOnceInOrderThroughStormsAndRefreshes) {
  const std::string url = testing::testEnvironment("OSTRIVEL_TEST_API_URL");
  if (url.empty()) {
    GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through upload_windows_test.sh";
  }
  testing::TempDirectory dir;
  const std::string outbox = dir.string() + "\\outbox";
  const std::string history = dir.string() + "\\history";
  HttpRequestWindows admin(url);
  HttpRequestWindows http(url);
  const Identity identity{testing::testEnvironment("OSTRIVEL_TEST_AGENT_ID"), "PC-1", testing::testEnvironment("OSTRIVEL_TEST_CREDENTIAL")};
  testing::RecordingLogger log;
  ApiClient api(http, identity, log);
  FileSystemWindows fs;
  testing::InMemoryRegistry registry;
  AgentStateStore state(registry);
  ClockSystem clock;
  testing::FixedRetry retry(0);
  FileUploader uploader(api, fs, state, retry, log, clock, 60);
  const auto script = [&](const std::string& path, const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", path}, {"answers", answers}}.dump(), "").status, 200);
  };

  // The first exchange is answered with brackets nested 200,000 deep, which once overflowed the
  // uploader's stack: now an answer without a token, retried. Then a storm from the first upload on.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  script("serviceAccountToken", json::array({json{{"status", 200}, {"body", "{\"sessionJwt\":" + deep + "}"}}}));
  script("ingest", json::array({json{{"status", 503}, {"count", 4}}}));
  ASSERT_TRUE(fs.ensureDirectory(outbox));
  testing::writeRecords(fs, outbox, 1, 20);
  uploader.start(outbox, history);
  ASSERT_TRUE(testing::waitForDelivered(fs, history, 20, std::chrono::seconds(60)));

  // One refused session (refreshed inside the client), then another storm; the files arrive
  // while the uploader waits, so the folder watch has to wake it.
  script("ingest", json::array({json{{"status", 401}}, json{{"status", 503}, {"count", 3}}, json{{"status", 502}}}));
  testing::writeRecords(fs, outbox, 21, 30);
  ASSERT_TRUE(testing::waitForDelivered(fs, history, 30, std::chrono::seconds(60)));

  // Every session expires at the server.
  ASSERT_EQ(admin.post("admin/expireSessions", "", "").status, 200);
  testing::writeRecords(fs, outbox, 31, 40);
  ASSERT_TRUE(testing::waitForDelivered(fs, history, 40, std::chrono::seconds(60)));
  uploader.stop();

  EXPECT_TRUE(fs.list(outbox).empty());
  EXPECT_TRUE(uploader.lastUploadOk());
  EXPECT_TRUE(state.lastUploadAt().has_value());
  EXPECT_EQ(log.count("-> 503, retry in 0s"), 7u);
  EXPECT_EQ(log.count("-> 502, retry in 0s"), 1u);
  EXPECT_EQ(log.count("-> ok (kept), sampling 1m"), 40u);
  EXPECT_EQ(log.count("[apis] serviceAccountToken ok"), 3u);
  EXPECT_EQ(log.count("[apis] serviceAccountToken 200 without a sessionJwt"), 1u);
  EXPECT_EQ(log.count("-> 0, retry in 0s"), 1u);
  EXPECT_EQ(log.count("-> 401"), 0u);  // both refusals were settled by a fresh session
  for (const auto& line : log.lines()) {
    std::printf("%s\n", line.message.c_str());
  }
}

}  // namespace
}  // namespace ostrivel
