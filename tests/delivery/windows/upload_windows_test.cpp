// The uploader, the API client and WinHTTP over a real outbox against the local web API as it
// fails: a deep answer, storms, refused and expired sessions, answers that come late, and a server
// that dies and comes back. Run by wine/upload_windows_test.sh, which kills and restarts the
// server and checks, from what it stored, that every record arrived once and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "delivery/windows/live_upload.h"
#include "enrolment/agent_state_store.h"
#include "infra/clock_system.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/http_request_windows.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/temp_directory.h"

namespace ostrivel::testing {
namespace {

using nlohmann::json;
using std::chrono::seconds;

TEST(UploadWindows, DeliversEveryFileOnceInOrderWhateverTheServerDoes) {
  const std::string url = testEnvironment("OSTRIVEL_TEST_API_URL");
  if (url.empty()) {
    GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through upload_windows_test.sh";
  }
  TempDirectory dir;
  const std::string outbox = dir.string() + "\\outbox";
  const std::string history = dir.string() + "\\history";
  HttpRequestWindows admin(url);
  HttpRequestWindows http(url);
  const Identity identity{testEnvironment("OSTRIVEL_TEST_AGENT_ID"), "PC-1",
                          testEnvironment("OSTRIVEL_TEST_CREDENTIAL")};
  RecordingLogger log;
  ApiClient api(http, identity, log);
  FileSystemWindows fs;
  InMemoryRegistry registry;
  AgentStateStore state(registry);
  ClockSystem clock;
  FixedRetry noWait(0);
  FileUploader uploader(api, fs, state, noWait, log, clock, 60);
  const auto script = [&](const std::string& path, const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", path}, {"answers", answers}}.dump(), "").status, 200);
  };
  // Writes the records from..to and waits until the history holds every record up to `to`.
  const auto deliver = [&](int from, int to, int limitSeconds) {
    writeRecords(fs, outbox, from, to);
    return waitForDelivered(fs, history, static_cast<std::size_t>(to), seconds(limitSeconds));
  };

  // The first exchange is answered with brackets nested 200,000 deep, which once overflowed the
  // uploader's stack: now an answer without a token, retried. Then a hundred 503s hold the queue.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  script("serviceAccountToken", json::array({json{{"status", 200}, {"body", "{\"sessionJwt\":" + deep + "}"}}}));
  script("ingest", json::array({json{{"status", 503}, {"count", 100}}}));
  ASSERT_TRUE(fs.ensureDirectory(outbox));
  uploader.start(outbox, history);
  ASSERT_TRUE(deliver(1, 20, 120));
  // A refused session, refreshed inside the client, and another storm; the files arrive while the
  // uploader waits, so the folder watch has to wake it. Then every session expires at the server.
  script("ingest", json::array({json{{"status", 401}}, json{{"status", 503}, {"count", 3}}, json{{"status", 502}}}));
  ASSERT_TRUE(deliver(21, 30, 60));
  ASSERT_EQ(admin.post("admin/expireSessions", "", "").status, 200);
  ASSERT_TRUE(deliver(31, 40, 60));
  EXPECT_EQ(log.count("days202601050001.json -> 503, retry in 0s"), 100u);
  EXPECT_EQ(log.count("-> 503, retry in 0s") + log.count("-> 502, retry in 0s"), 104u);
  EXPECT_EQ(log.count("[apis] serviceAccountToken ok"), 3u);
  EXPECT_EQ(log.count("[apis] serviceAccountToken 200 without a sessionJwt"), 1u);
  EXPECT_EQ(log.count("-> 401"), 0u);  // both refusals were settled by a fresh session

  // Ten seconds late, by the server's real handling, is taken. Sixteen, past the 15-second time-out,
  // is a 200 the agent never sees (the script answers before storing): sent again and stored.
  script("ingest", json::array({json{{"delayMs", 10000}}}));
  ASSERT_TRUE(deliver(41, 41, 60));
  script("ingest", json::array({json{{"status", 200}, {"body", "{\"ok\":true}"}, {"delayMs", 16000}}}));
  ASSERT_TRUE(deliver(42, 42, 90));
  EXPECT_EQ(log.count("days202601050042.json -> 0, retry in 0s"), 1u);
  EXPECT_EQ(log.count("-> 0, retry in 0s"), 2u);  // that one and the deep exchange
  uploader.stop();

  // Answers a tenth of a second slow, during which the bash test kills the server and restarts it
  // ten seconds later (backing off a second at a time meanwhile).
  script("ingest", json::array({json{{"delayMs", 100}, {"count", 60}}}));
  FixedRetry oneSecond(1);
  FileUploader patient(api, fs, state, oneSecond, log, clock, 60);
  patient.start(outbox, history);
  ASSERT_TRUE(deliver(43, 102, 180));
  patient.stop();
  EXPECT_GE(log.count("-> 0, retry in 1s"), 1u) << "the server was never found gone";
  EXPECT_TRUE(fs.list(outbox).empty());
  EXPECT_EQ(log.count("-> ok (kept), sampling 1m"), 102u);
  EXPECT_TRUE(patient.lastUploadOk());
  for (const auto& line : log.lines()) {
    std::printf("%s\n", line.message.c_str());
  }
}

}  // namespace
}  // namespace ostrivel::testing
