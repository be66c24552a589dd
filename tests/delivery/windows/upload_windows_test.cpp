// The uploader, the API client and WinHTTP over a real outbox against the local web API as it
// fails: a deep answer, storms, refused and expired sessions, answers that come late, and a server
// that dies and comes back. Run by wine/upload_windows_test.sh, which kills and restarts the
// server and checks, from what it stored, that every record arrived once and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
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

// The real back-off wait with a fixed, short delay: the real table would stretch these runs to
// hours, and what is under test is that nothing is lost or doubled, not the table.
struct FixedRetry : RetrySchedule {
  std::int32_t next() override { return seconds; }
  std::int32_t seconds = 0;
};

// A variable the bash test set (the local web API's address, the credential it issued).
std::string setting(const char* name) { return std::getenv(name) == nullptr ? "" : std::getenv(name); }

TEST(UploadWindows, DeliversEveryFileOnceInOrderWhateverTheServerDoes) {
  const std::string url = setting("OSTRIVEL_TEST_API_URL");
  if (url.empty()) GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through upload_windows_test.sh";
  TempDirectory dir;
  const std::string outbox = dir.string() + "\\outbox", history = dir.string() + "\\history";
  HttpRequestWindows admin(url), http(url);
  const Identity identity{setting("OSTRIVEL_TEST_AGENT_ID"), "PC-1", setting("OSTRIVEL_TEST_CREDENTIAL")};
  RecordingLogger log;
  ApiClient api(http, identity, log);
  FileSystemWindows fs;
  InMemoryRegistry registry;
  AgentStateStore state(registry);
  ClockSystem clock;
  FixedRetry retry;
  FileUploader uploader(api, fs, state, retry, log, clock, 60);
  const auto script = [&](const std::string& path, const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", path}, {"answers", answers}}.dump(), "").status, 200);
  };
  // Writes the records from..to, named in the order they must arrive, and polls the history until
  // it holds every record up to `to`: the uploader works on its own thread and shows no other progress.
  const auto deliver = [&](int from, int to, int limitSeconds) {
    for (int n = from; n <= to; ++n) {
      char name[32];
      std::snprintf(name, sizeof name, "\\days20260105%04d.json", n);
      const json record{{"n", n}, {"kind", "days"}, {"apps", {{"explorer", 0.25 * n}}}};
      if (!fs.writeAtomic(outbox + name, record.dump(1, '\t'))) return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
    while (fs.list(history).size() < static_cast<std::size_t>(to)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
  uploader.stop();

  // Answers a tenth of a second slow, during which the bash test kills the server and restarts it
  // ten seconds later (backing off a second at a time meanwhile).
  script("ingest", json::array({json{{"delayMs", 100}, {"count", 60}}}));
  retry.seconds = 1;
  uploader.start(outbox, history);
  ASSERT_TRUE(deliver(43, 102, 180));
  uploader.stop();
}

}  // namespace
}  // namespace ostrivel::testing
