// What the uploader does with each answer: history, deletion, drops, holds, back-off, dead credentials.
#include "delivery/file_uploader.h"

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <stdexcept>

#include "delivery/api_client.h"
#include "delivery/retry_schedule.h"
#include "enrolment/agent_state_store.h"
#include "records/time_keys.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"
#include "support/uploader_waits.h"

namespace ostrivel::testing {
namespace {

using Strings = std::vector<std::string>;
using Seconds = std::vector<std::int32_t>;

const std::string kOutbox = "C:\\ProgramData\\Ostrivel\\outbox";
const std::string kHistory = "C:\\ProgramData\\Ostrivel\\history";
constexpr std::int64_t kMinuteMs = 60 * 1000;
constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;

HttpResponse answer(std::int32_t status, std::string body = {}) { return {status, std::move(body)}; }
std::string outbox(const std::string& name) { return kOutbox + "\\" + name; }
std::string history(const std::string& name) { return kHistory + "\\" + name; }

// An uploader over in-memory files, a scripted server and a fake clock, with the instant waits.
struct UploaderRig {
  explicit UploaderRig(std::int32_t passSeconds = 60, RetrySchedule* retryIn = nullptr, UploaderWaitFunction wait = {})
      : retry(retryIn != nullptr ? *retryIn : ownRetry),
        uploader(api, fs, state, retry, log, clock, passSeconds, wait ? wait : waits.function()) {
    http.script("serviceAccountToken", {answer(200, R"({"sessionJwt":"jwt-1"})")});
    uploader.setOnCredentialDead([this] { ++credentialDeadCalls; });
  }

  // Record files whose content is their own name, so what the server got shows the order.
  void put(std::initializer_list<std::string> names) {
    for (const auto& name : names) {
      fs.putFile(outbox(name), name);
    }
  }
  // Ingest answers computed per request; the exchange always succeeds.
  void onIngest(std::function<HttpResponse(const SentRequest&)> ingest) {
    http.setHandler([ingest](const SentRequest& request) {
      return request.path == "serviceAccountToken" ? answer(200, R"({"sessionJwt":"jwt-1"})") : ingest(request);
    });
  }
  // Start, or wake the idle uploader through its outbox watch, and wait until the passes that set off are over.
  void startAndSettle() {
    uploader.start(kOutbox, kHistory);
    ASSERT_TRUE(waits.awaitIdle(2));
  }
  // Puts the files, scripts the ingest answers and runs the first passes.
  void run(std::initializer_list<std::string> names, std::vector<HttpResponse> ingest) {
    put(names);
    http.script("ingest", std::move(ingest));
    startAndSettle();
  }
  void wakeAndSettle() {
    const std::size_t idle = waits.intervals().size();
    fs.fireWatch();
    ASSERT_TRUE(waits.awaitIdle(idle + 1));
  }

  Strings sentBodies() const {
    Strings out;
    for (const auto& request : http.sentTo("ingest")) {
      out.push_back(request.body);
    }
    return out;
  }
  std::vector<LoggedLine> linesWith(const std::string& text) const {
    std::vector<LoggedLine> out;
    for (const auto& line : log.lines()) {
      if (line.message.find(text) != std::string::npos) {
        out.push_back(line);
      }
    }
    return out;
  }
  Strings uploaderMessages() const {
    Strings out;
    for (const auto& line : linesWith("[uploader] ")) {
      out.push_back(line.message);
    }
    return out;
  }
  std::optional<std::string> parameter(const std::string& name) const { return registry.peek("parameters", name); }

  InMemoryFileSystem fs;
  InMemoryRegistry registry;
  AgentStateStore state{registry};
  ScriptedHttpRequest http;
  Identity identity{"agent-1", "PC-1", "osv_credential"};
  RecordingLogger log;
  FakeClock clock{1767614400000, 60};  // 2026-01-05 12:00 UTC, an hour east
  RetrySchedule ownRetry;
  RetrySchedule& retry;
  UploaderWaits waits{&clock};
  ApiClient api{http, identity, log};
  std::atomic<int> credentialDeadCalls{0};
  FileUploader uploader;  // last: stopped before anything it uses goes away
};

TEST(FileUploader, DeliversInByteOrderIntoHistoryOrDeletesAsTold) {
  UploaderRig rig;
  rig.run(
      {"events20260105-0001.json", "days202601051200.json", "apps20260105.json", "days202601051150.json", "notes.txt"},
      {answer(200), answer(200, R"({"delete":true})"), answer(200, R"({"cadenceMinutes":5})"),
       answer(200, R"({"cadenceMinutes":3,"delete":"yes"})")});

  EXPECT_EQ(rig.sentBodies(), (Strings{"apps20260105.json", "days202601051150.json", "days202601051200.json",
                                       "events20260105-0001.json"}));
  EXPECT_EQ(rig.fs.names(kOutbox), (Strings{"notes.txt"}));
  EXPECT_EQ(rig.fs.names(kHistory),
            (Strings{"apps20260105.json", "days202601051200.json", "events20260105-0001.json"}));
  EXPECT_EQ(rig.fs.peek(history("apps20260105.json")), "apps20260105.json");

  std::vector<LoggedLine> lines = rig.log.lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0].message, "[apis] serviceAccountToken ok");
  const Strings expected{"[uploader] apps20260105.json -> ok (kept), sampling 1m",
                         "[uploader] days202601051150.json -> ok, sampling 1m",
                         "[uploader] days202601051200.json -> ok (kept), sampling 5m",
                         "[uploader] events20260105-0001.json -> ok (kept), sampling 5m"};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(lines[i + 1].message, expected[i]);
    EXPECT_EQ(lines[i + 1].level, kLevelInfo);
    EXPECT_EQ(lines[i + 1].stamp, "2026-01-05T13:00:00+01:00");
  }
  EXPECT_EQ(rig.parameter("CadenceMinutes"), "5");
  EXPECT_EQ(rig.parameter("LastUploadAt"), "2026-01-05T12:00:00Z");
  EXPECT_EQ(rig.parameter("AgentState"), std::nullopt);
  EXPECT_TRUE(rig.uploader.lastUploadOk());
  EXPECT_TRUE(rig.waits.backOffs().empty());
  EXPECT_TRUE(rig.fs.watching());
  rig.uploader.stop();
  EXPECT_FALSE(rig.fs.watching());
}

TEST(FileUploader, AFileThatCannotLeaveTheOutboxIsSentOncePerPass) {
  UploaderRig rig;
  rig.put({"a20260105.json", "b20260105.json", "c20260105.json"});
  bool stuck = true;
  rig.fs.setFault([&](FsOp op, const std::string& path) {
    return stuck && ((op == FsOp::move && path == outbox("a20260105.json")) ||
                     (op == FsOp::remove && path == outbox("c20260105.json")));
  });
  rig.onIngest([](const SentRequest& request) {
    return answer(200, request.body == "c20260105.json" ? R"({"delete":true})" : "");
  });
  rig.startAndSettle();
  EXPECT_EQ(rig.sentBodies(), (Strings{"a20260105.json", "b20260105.json", "c20260105.json"}));
  EXPECT_EQ(rig.uploaderMessages(), (Strings{"[uploader] a20260105.json kept, history move failed",
                                             "[uploader] a20260105.json -> ok (kept), sampling 1m",
                                             "[uploader] b20260105.json -> ok (kept), sampling 1m",
                                             "[uploader] c20260105.json kept, removal failed",
                                             "[uploader] c20260105.json -> ok, sampling 1m"}));
  EXPECT_EQ(rig.log.lines()[1].level, kLevelWarn);
  EXPECT_EQ(rig.fs.names(kOutbox), (Strings{"a20260105.json", "c20260105.json"}));

  stuck = false;  // read by the worker only after the wake below
  rig.wakeAndSettle();
  EXPECT_EQ(rig.sentBodies().size(), 5u);
  EXPECT_TRUE(rig.fs.names(kOutbox).empty());
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a20260105.json", "b20260105.json"}));
}

TEST(FileUploader, FiveFailedReadsInARowDropAFileAndAVanishedFileIsSkipped) {
  UploaderRig rig;
  rig.put({"a20260105.json", "b20260105.json", "c20260105.json"});
  int readsOfA = 0;
  // Fails four times, is read once (and answered 503), then fails for good.
  rig.fs.setFault([&](FsOp op, const std::string& path) {
    return op == FsOp::read && path == outbox("a20260105.json") && ++readsOfA != 5;
  });
  rig.onIngest([&](const SentRequest& request) {
    if (request.body == "b20260105.json") {
      rig.fs.remove(outbox("c20260105.json"));  // gone before its turn comes
    }
    return answer(request.body == "a20260105.json" ? 503 : 200);
  });
  rig.startAndSettle();

  EXPECT_EQ(readsOfA, 10);
  EXPECT_EQ(rig.sentBodies(), (Strings{"a20260105.json", "b20260105.json"}));
  const std::string a = "[uploader] a20260105.json ";
  EXPECT_EQ(rig.uploaderMessages(),
            (Strings{a + "unreadable, retry in 5s", a + "unreadable, retry in 10s", a + "unreadable, retry in 30s",
                     a + "unreadable, retry in 60s", a + "-> 503, retry in 60s", a + "unreadable, retry in 60s",
                     a + "unreadable, retry in 60s", a + "unreadable, retry in 60s", a + "unreadable, retry in 60s",
                     a + "unreadable 5x, dropped unsent", "[uploader] b20260105.json -> ok (kept), sampling 1m"}));
  for (const auto& line : rig.linesWith("unreadable")) {
    EXPECT_EQ(line.level, kLevelWarn);
    EXPECT_EQ(line.stamp, "");
  }
  EXPECT_TRUE(rig.fs.names(kOutbox).empty());
}

TEST(FileUploader, TwoRefusalsAreDroppedAndTheThirdInARowHoldsTheQueue) {
  UploaderRig rig;
  rig.run({"f1.json", "f2.json", "f3.json", "f4.json", "f5.json"},
          {answer(422, R"({"error":"bad record"})"), answer(400, "<html/>"), answer(422), answer(400), answer(200),
           answer(422), answer(503),
           answer(422, "{\"error\":\"again\\r\\n[uploader] x\\u0085" + std::string(300, 'y') + "\"}"), answer(200)});

  EXPECT_EQ(rig.sentBodies(),
            (Strings{"f1.json", "f2.json", "f3.json", "f3.json", "f3.json", "f4.json", "f5.json", "f5.json"}));
  EXPECT_EQ(
      rig.uploaderMessages(),
      (Strings{"[uploader] f1.json -> 422 bad record, dropped unsent", "[uploader] f2.json -> 400, dropped unsent",
               "[uploader] 3 permanent refusals in a row, holding the queue instead of dropping it",
               "[uploader] f3.json -> 422, retry in 5s", "[uploader] f3.json -> 400, retry in 10s",
               "[uploader] f3.json -> ok (kept), sampling 1m", "[uploader] f4.json -> 422, dropped unsent",
               "[uploader] f5.json -> 503, retry in 5s",
               "[uploader] f5.json -> 422 again??[uploader] x?" + std::string(180, 'y') + ", dropped unsent"}));
  const auto lines = rig.log.lines();
  EXPECT_EQ(lines[3].level, kLevelError);
  EXPECT_EQ(lines[3].stamp, "2026-01-05T13:00:00+01:00");
  EXPECT_EQ(lines[1].level, kLevelWarn);
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"f3.json"}));
  EXPECT_TRUE(rig.fs.names(kOutbox).empty());
}

// Answers one upload attempt each, at a set time. A 401 is given by the exchange (which is where
// a refused credential shows), so every attempt costs one answer whether a session is held or not.
struct Attempt {
  std::int64_t atMs;
  std::int32_t status;
};

void answerAttempts(UploaderRig& rig, std::deque<Attempt>& attempts) {
  rig.http.setHandler([&rig, &attempts](const SentRequest& request) {
    if (attempts.empty()) {
      return answer(request.path == "serviceAccountToken" ? 500 : 200);
    }
    const Attempt next = attempts.front();
    if ((request.path == "serviceAccountToken") != (next.status == 401)) {
      return next.status == 401 ? answer(401) : answer(200, R"({"sessionJwt":"jwt-1"})");
    }
    attempts.pop_front();
    rig.clock.set(next.atMs);
    return answer(next.status);
  });
}

TEST(FileUploader, ThirtyMinutesOfLoginRefusalsDeclareTheCredentialDead) {
  UploaderRig rig;
  rig.put({"a.json", "b.json"});
  const std::int64_t ten = rig.clock.nowMs() - 2 * 60 * kMinuteMs;  // 10:00
  std::deque<Attempt> attempts{{ten, 401},
                               {ten + 20 * kMinuteMs, 503},  // restarts the thirty minutes
                               {ten + 25 * kMinuteMs, 401},
                               {ten + 55 * kMinuteMs - 1000, 401},
                               {ten + 55 * kMinuteMs, 401}};
  answerAttempts(rig, attempts);
  rig.startAndSettle();

  EXPECT_TRUE(attempts.empty());
  EXPECT_EQ(rig.uploaderMessages(),
            (Strings{"[uploader] a.json -> 401, retry in 5s", "[uploader] a.json -> 503, retry in 10s",
                     "[uploader] a.json -> 401, retry in 30s", "[uploader] a.json -> 401, retry in 60s",
                     "[uploader] login refused for 30 minutes straight, credential dead"}));
  EXPECT_EQ(rig.log.lines().back().level, kLevelWarn);
  EXPECT_EQ(rig.parameter("AgentState"), "tokenDead");
  EXPECT_EQ(rig.parameter("ErrorCode"), "login-refused");
  EXPECT_EQ(rig.credentialDeadCalls.load(), 1);
  EXPECT_FALSE(rig.uploader.lastUploadOk());
  // The pass ended there; the files stay for the next credential.
  EXPECT_EQ(rig.fs.names(kOutbox), (Strings{"a.json", "b.json"}));

  // The refusal run ended with the death: the next 401 starts a new thirty minutes.
  attempts = {{ten + 60 * kMinuteMs, 401}, {ten + 61 * kMinuteMs, 200}, {ten + 61 * kMinuteMs, 200}};
  rig.wakeAndSettle();
  EXPECT_EQ(rig.credentialDeadCalls.load(), 1);
  EXPECT_TRUE(rig.fs.names(kOutbox).empty());
  EXPECT_TRUE(rig.uploader.lastUploadOk());
}

TEST(FileUploader, ASuspendedAccountKeepsTheQueueOnTheLongSchedule) {
  UploaderRig rig;
  rig.run({"a.json"}, {answer(403, R"({"error":"suspended"})"), answer(503), answer(0), answer(503), answer(503),
                       answer(503), answer(200)});
  EXPECT_EQ(rig.waits.backOffs(), (Seconds{5, 10, 30, 60, 120, 300}));
  EXPECT_EQ(rig.uploaderMessages().front(), "[uploader] a.json -> 403, retry in 5s");
  EXPECT_EQ(rig.credentialDeadCalls.load(), 0);
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a.json"}));
  // The delivery shows the account is paid up again.
  EXPECT_EQ(rig.parameter("AgentState"), "ok");
  EXPECT_EQ(rig.parameter("ErrorCode"), std::nullopt);
  for (const std::int32_t next : {5, 10, 30, 60, 60}) {  // the 200 went back to the short table
    EXPECT_EQ(rig.retry.next(), next);
  }
}

TEST(FileUploader, ARefusedSessionExchangeKeepsTheFileItNeverSent) {
  for (const auto& [exchange, line] : {std::pair{answer(400, R"({"error":"bad"})"), "a.json -> 400, retry in 5s"},
                                       std::pair{answer(422), "a.json -> 422, retry in 5s"},
                                       std::pair{answer(403, R"({"error":"revoked"})"), "a.json -> 403 revoked"}}) {
    UploaderRig rig;
    rig.http.script("serviceAccountToken", {exchange, answer(200, R"({"sessionJwt":"jwt-1"})")});
    rig.run({"a.json"}, {answer(200)});
    EXPECT_EQ(rig.uploaderMessages().front(), std::string("[uploader] ") + line);
    EXPECT_EQ(rig.credentialDeadCalls.load(), exchange.status == 403 ? 1 : 0);
    rig.wakeAndSettle();
    EXPECT_EQ(rig.sentBodies(), (Strings{"a.json"})) << line;
    EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a.json"}));
  }
}

TEST(FileUploader, AnyOther403RevokesTheCredentialAndDropsTheFile) {
  for (const char* body : {R"({"error":"revoked"})", "", R"({"error":"Suspended"})"}) {
    UploaderRig rig;
    rig.run({"a.json", "b.json"}, {answer(403, body), answer(200)});
    EXPECT_EQ(rig.sentBodies(), (Strings{"a.json"})) << body;
    EXPECT_EQ(rig.uploaderMessages(), (Strings{"[uploader] a.json -> 403 revoked"}));
    EXPECT_EQ(rig.parameter("AgentState"), "tokenDead");
    EXPECT_EQ(rig.parameter("ErrorCode"), "revoked");
    EXPECT_EQ(rig.credentialDeadCalls.load(), 1);
    EXPECT_EQ(rig.fs.names(kOutbox), (Strings{"b.json"}));

    // The session was dropped: the next pass exchanges the credential again.
    rig.wakeAndSettle();
    EXPECT_EQ(rig.http.sentTo("serviceAccountToken").size(), 2u);
    EXPECT_EQ(rig.fs.names(kHistory), (Strings{"b.json"}));
  }
}

TEST(FileUploader, AFailingFileBlocksTheFilesBehindIt) {
  UploaderRig rig;
  rig.run({"a.json", "b.json"}, {answer(503), answer(503), answer(503), answer(0), answer(201), answer(404),
                                 answer(429), answer(200), answer(200)});
  EXPECT_EQ(rig.sentBodies(),
            (Strings{"a.json", "a.json", "a.json", "a.json", "a.json", "a.json", "a.json", "a.json", "b.json"}));
  EXPECT_EQ(rig.waits.backOffs(), (Seconds{5, 10, 30, 60, 60, 60, 60}));
  const Strings messages = rig.uploaderMessages();
  ASSERT_EQ(messages.size(), 9u);
  EXPECT_EQ(messages[3], "[uploader] a.json -> 0, retry in 60s");
  EXPECT_EQ(messages[4], "[uploader] a.json -> 201, retry in 60s");
  EXPECT_TRUE(rig.uploader.lastUploadOk());
}

TEST(FileUploader, HistoryKeepsSevenDaysAndTheOutboxSixty) {
  UploaderRig rig;
  const std::int64_t today = rig.clock.nowMs();
  for (int day = 1; day <= 8; ++day) {
    rig.fs.putFile(history("days" + dayKey(today - (100 + day) * kDayMs) + "1200.json"), "old");
  }
  rig.fs.putFile(history("apps.json"), "undated");
  for (int day = 0; day < 61; ++day) {
    rig.put({"days" + dayKey(today - day * kDayMs) + "1200.json"});
  }
  rig.run({"events" + dayKey(today - 60 * kDayMs) + "-0001.json"}, {answer(200)});

  const auto aging = rig.linesWith(" days, ");
  ASSERT_EQ(aging.size(), 2u);
  EXPECT_EQ(aging[0].message, "[uploader] history aged past 7 days, 1 files");
  EXPECT_EQ(aging[0].level, kLevelInfo);
  EXPECT_EQ(aging[0].stamp, "");
  EXPECT_EQ(aging[1].message, "[uploader] outbox over 60 days, 2 files dropped undelivered");
  EXPECT_EQ(aging[1].level, kLevelError);
  EXPECT_EQ(aging[1].stamp, "");
  EXPECT_EQ(rig.sentBodies().size(), 60u);
  // Aged at most once a day: the 60 delivered days joined 7 old ones and the undated file.
  EXPECT_EQ(rig.fs.names(kHistory).size(), 68u);

  rig.clock.advance(kDayMs);
  rig.put({"days" + dayKey(rig.clock.nowMs()) + "0000.json"});
  rig.wakeAndSettle();
  EXPECT_TRUE(rig.log.contains("[uploader] history aged past 7 days, 61 files"));
  EXPECT_EQ(rig.fs.names(kHistory).size(), 8u);
  EXPECT_TRUE(rig.fs.exists(history("apps.json")));
}

TEST(FileUploader, WakesDuringAPassGiveExactlyOneMorePass) {
  UploaderRig rig(-5);
  rig.put({"a.json"});
  // The file never leaves the outbox, so every pass sends it exactly once.
  rig.fs.setFault([](FsOp op, const std::string&) { return op == FsOp::move; });
  int sends = 0;
  rig.onIngest([&](const SentRequest&) {
    if (++sends == 1) {
      rig.uploader.wake();
      rig.uploader.wake();
      rig.uploader.wake();
    }
    return answer(200);
  });
  rig.startAndSettle();
  EXPECT_EQ(rig.sentBodies().size(), 2u);

  rig.wakeAndSettle();
  EXPECT_EQ(rig.sentBodies().size(), 3u);
  EXPECT_EQ(rig.waits.intervals(), (Seconds{60, 60, 60}));
}

TEST(FileUploader, ACrashedPassIsLoggedBackedOffAndRunAgain) {
  UploaderRig rig;
  rig.put({"a.json"});
  int lists = 0;
  rig.fs.setFault([&](FsOp op, const std::string& path) {
    if (op == FsOp::list && path == kOutbox && ++lists == 1) {
      throw std::runtime_error("disk gone");
    }
    return false;
  });
  rig.http.script("ingest", {answer(200)});
  rig.startAndSettle();
  EXPECT_EQ(rig.uploaderMessages(),
            (Strings{"[uploader] drain crashed: disk gone", "[uploader] a.json -> ok (kept), sampling 1m"}));
  EXPECT_EQ(rig.log.lines().front().level, kLevelWarn);
  EXPECT_EQ(rig.waits.backOffs(), (Seconds{5}));
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a.json"}));
}

// A back-off that would last an hour: only a stop can end it in time.
class HourLongRetry : public RetrySchedule {
 public:
  std::int32_t next() override { return 3600; }
};

TEST(FileUploader, StopEndsTheRealBackOffAtOnceAndStartResumes) {
  HourLongRetry hour;
  UploaderRig rig(3600, &hour, waitOnCondition);
  std::promise<void> refused;
  std::promise<void> accepted;
  int ingests = 0;
  rig.onIngest([&](const SentRequest&) {
    (++ingests == 1 ? refused : accepted).set_value();
    return answer(ingests == 1 ? 503 : 200);
  });
  rig.put({"a.json"});

  rig.uploader.start(kOutbox, kHistory);
  refused.get_future().wait();
  rig.uploader.stop();  // a stop that did not end the hour's back-off would hang here
  EXPECT_TRUE(rig.fs.exists(outbox("a.json")));
  EXPECT_FALSE(rig.uploader.lastUploadOk());
  EXPECT_FALSE(rig.fs.watching());

  rig.uploader.start(kOutbox, kHistory);  // the first pass runs at once, without waiting the hour
  EXPECT_TRUE(rig.uploader.lastUploadOk());
  accepted.get_future().wait();
  rig.uploader.stop();  // the pass checks for the stop only after the file is moved
  EXPECT_TRUE(rig.fs.exists(history("a.json")));
  EXPECT_EQ(ingests, 2);
}

}  // namespace
}  // namespace ostrivel::testing
