// The uploader, the API client and WinHTTP over a real outbox against a local web API that fails:
// a hundred 503s in a row, a server that dies and comes back, answers that come late. Run one
// test at a time by wine/upload_faults_test.sh, which scripts the server, kills and restarts it,
// and checks what it stored.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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

class UploadFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    url = testing::testEnvironment("OSTRIVEL_TEST_API_URL");
    if (url.empty()) {
      GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through upload_faults_test.sh";
    }
    outbox = dir.string() + "\\outbox";
    history = dir.string() + "\\history";
    ASSERT_TRUE(files.ensureDirectory(outbox));
  }

  void TearDown() override {
    for (const auto& line : log.lines()) {
      std::printf("%s\n", line.message.c_str());
    }
  }

  void writeRecords(int from, int to) { testing::writeRecords(files, outbox, from, to); }

  bool waitForDelivered(std::size_t count, std::chrono::seconds limit) {
    return testing::waitForDelivered(files, history, count, limit);
  }

  // The uploader, its client and WinHTTP against the server, backing off retrySeconds each time.
  struct LiveUploader {
    LiveUploader(UploadFaults& test, std::int32_t retrySeconds)
        : http(test.url),
          api(http, test.identity, test.log),
          retry(retrySeconds),
          uploader(api, test.files, test.state, retry, test.log, test.clock, 60) {
      uploader.start(test.outbox, test.history);
    }
    HttpRequestWindows http;
    ApiClient api;
    testing::FixedRetry retry;
    FileUploader uploader;
  };

  void script(const json& answers) {
    HttpRequestWindows admin(url);
    ASSERT_EQ(admin.post("admin/script", json{{"path", "ingest"}, {"answers", answers}}.dump(), "").status, 200);
  }

  std::string url;
  testing::TempDirectory dir;
  std::string outbox;
  std::string history;
  FileSystemWindows files;
  testing::RecordingLogger log;
  testing::InMemoryRegistry registry;
  AgentStateStore state{registry};
  ClockSystem clock;
  Identity identity{testing::testEnvironment("OSTRIVEL_TEST_AGENT_ID"), "PC-1", testing::testEnvironment("OSTRIVEL_TEST_CREDENTIAL")};
};

TEST_F(UploadFaults, AHundred503sThenRecoveryDeliverEveryFileOnceInOrder) {
  script(json::array({json{{"status", 503}, {"count", 100}}}));
  writeRecords(1, 30);
  LiveUploader live(*this, 0);
  ASSERT_TRUE(waitForDelivered(30, std::chrono::seconds(120)));
  live.uploader.stop();

  EXPECT_TRUE(files.list(outbox).empty());
  EXPECT_EQ(log.count("days202601050001.json -> 503, retry in 0s"), 100u);  // the first file held the queue
  EXPECT_EQ(log.count("-> ok (kept)"), 30u);
  EXPECT_TRUE(live.uploader.lastUploadOk());
}

// The bash test kills the server once it has stored some of these, and starts it again later.
TEST_F(UploadFaults, AServerThatStopsAndComesBackLosesNothing) {
  writeRecords(1, 60);
  LiveUploader live(*this, 1);
  ASSERT_TRUE(waitForDelivered(60, std::chrono::seconds(180)));
  live.uploader.stop();

  EXPECT_TRUE(files.list(outbox).empty());
  EXPECT_GE(log.count("-> 0, retry in 1s"), 1u) << "the server was never found gone";
  EXPECT_EQ(log.count("-> ok (kept)"), 60u);
}

TEST_F(UploadFaults, AnAnswerWithinTheTimeOutIsTakenALaterOneRetried) {
  // Ten seconds, answered by the server's real handling: stored, and taken by the agent.
  script(json::array({json{{"delayMs", 10000}}}));
  writeRecords(1, 1);
  LiveUploader live(*this, 0);
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitForDelivered(1, std::chrono::seconds(60)));
  EXPECT_GE(std::chrono::steady_clock::now() - first, std::chrono::seconds(9));

  // Sixteen seconds, past the 15-second time-out: a 200 the agent never sees (the script answers
  // before storing), so the same file goes again and is stored by the second try.
  script(json::array({json{{"status", 200}, {"body", "{\"ok\":true}"}, {"delayMs", 16000}}}));
  const auto second = std::chrono::steady_clock::now();
  writeRecords(2, 2);
  ASSERT_TRUE(waitForDelivered(2, std::chrono::seconds(90)));
  const auto took = std::chrono::steady_clock::now() - second;
  live.uploader.stop();
  EXPECT_GE(took, std::chrono::seconds(15));
  EXPECT_LT(took, std::chrono::seconds(40));
  EXPECT_EQ(log.count("days202601050002.json -> 0, retry in 0s"), 1u);
  EXPECT_EQ(log.count("-> ok (kept)"), 2u);
}

}  // namespace
}  // namespace ostrivel
