// Delivery over the fakes: the lenient readers of the server's answers; the session exchange, the
// bearer and the refresh on 401; what the uploader does with each answer (history, deletion, drops,
// holds, back-off, dead credentials); the back-off table and the outbox clean-up.
#include <gtest/gtest.h>

#include <deque>
#include <stdexcept>

#include "delivery/api_answers.h"
#include "delivery/file_uploader.h"
#include "delivery/outbox_files.h"
#include "records/time_keys.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"
#include "support/uploader_waits.h"

namespace ostrivel::testing {
namespace {

using Strings = std::vector<std::string>;

const std::string kOutbox = "C:\\ProgramData\\Ostrivel\\outbox";
const std::string kHistory = "C:\\ProgramData\\Ostrivel\\history";
HttpResponse answer(std::int32_t status, std::string body = {}) { return {status, std::move(body)}; }
const HttpResponse kSession{200, R"({"sessionJwt":"jwt-1"})"};
HttpResponse session(int n) { return answer(200, R"({"sessionJwt":"jwt-)" + std::to_string(n) + "\"}"); }

TEST(ApiAnswers, OnlyMembersOfTheExactTypeInAnObjectNestedAtMostSixteenDeepCount) {
  for (const char* body : {R"({"error":42})", R"(["error","x"])", "<html>404</html>", R"({"error":"x")"}) {
    EXPECT_EQ(jsonString(body, "error"), "") << body;
  }
  // Brackets nested far deeper than any answer once ended the agent on a stack overflow.
  for (const int depth : {15, 16, 100000}) {
    const std::string body = R"({"error":"x","more":)" + std::string(depth, '[') + "1" + std::string(depth, ']') + "}";
    EXPECT_EQ(jsonString(body, "error"), depth < 16 ? "x" : "") << depth;
  }
  EXPECT_TRUE(jsonDelete(R"({"delete":true})"));
  EXPECT_FALSE(jsonDelete(R"({"delete":"true"})") || jsonDelete("{}") || jsonDelete("true"));
  for (const auto& [cadence, minutes] :
       {std::pair{"1", 1}, {"2", 2}, {"5", 5}, {"10", 10}, {"5.0", 0}, {"\"5\"", 0}, {"3", 0}, {"0", 0}, {"-5", 0}}) {
    EXPECT_EQ(jsonCadenceMinutes(std::string(R"({"cadenceMinutes":)") + cadence + "}").value_or(0), minutes) << cadence;
  }
  // At most 200 characters, never half of one (a 3-byte, a 4-byte and a stray continuation byte), no control.
  EXPECT_EQ(forLog("a\r\nb\tc\x7f\xC2\x85\xC2\xA0z"), "a??b?c??\xC2\xA0z");
  const std::string text = std::string(196, 'x') + "\xE0\xA4\x85\xF0\x9F\x98\x80\x80";
  EXPECT_EQ(forLog(text + "yz"), text + "y");
}

TEST(ApiClient, ExchangesOnceSendsTheBearerAndRefreshesOnceOn401) {
  ScriptedHttpRequest http{"https://api.test//"};
  RecordingLogger log;
  const Identity identity{"agent-1", "PC-1", "osv_sécret"};
  ApiClient api{http, identity, log};
  http.script("serviceAccountToken", {session(1), session(2), {401, "no"}, {200, "{}"}});
  http.script("ingest", {{200, "one"}, {200, ""}, {401, ""}, {401, "expired"}, {401, ""}});
  EXPECT_EQ(api.authedPost("ingest", "a").body, "one");
  api.call("GET", "ingest", "ignored");
  const AuthedResponse twice = api.call("DELETE", "ingest", "");  // refused again after the refresh
  const AuthedResponse refused = api.authedPost("ingest", "b");   // the refresh itself is refused
  api.get("register/n");                                          // plain calls never carry a token and never exchange
  api.del("register/n");
  api.post("register", "{}");
  const AuthedResponse empty = api.authedPost("ingest", "c");  // an exchange answered 200 without a token
  EXPECT_EQ(twice.body + std::to_string(twice.fromExchange) + " " + refused.body +
                std::to_string(refused.fromExchange) + " " + std::to_string(empty.status) + empty.body,
            "expired0 no1 0{}");
  // The exchange is compact, with the credential's UTF-8 as it is.
  const std::string exchange = "POST serviceAccountToken  {\"serviceAccountToken\":\"osv_sécret\"}";
  Strings sent;
  for (const auto& request : http.sent()) {
    sent.push_back(request.method + " " + request.path + " " + request.token + " " + request.body);
  }
  EXPECT_EQ(sent, (Strings{exchange, "POST ingest jwt-1 a", "GET ingest jwt-1 ", "DELETE ingest jwt-1 ", exchange,
                           "DELETE ingest jwt-2 ", "POST ingest jwt-2 b", exchange, "GET register/n  ",
                           "DELETE register/n  ", "POST register  {}", exchange}));
  EXPECT_EQ(http.sent()[0].url, "https://api.test/serviceAccountToken");
}

// An uploader over in-memory files, a scripted server and a fake clock, with waits that take no time.
struct Rig {
  explicit Rig(std::int32_t passSeconds = 0, UploaderWaitFunction wait = {})
      : uploader(api, fs, state, retry, log, clock, passSeconds, wait ? wait : waits.function()) {
    http.script("serviceAccountToken", {kSession});
    uploader.setOnCredentialDead([this] { ++deaths; });
  }
  // Puts record files whose content is their name and scripts the ingest answers; then starts the
  // uploader, or wakes it through its outbox watch, and waits until its passes are over.
  void run(const Strings& names, std::vector<HttpResponse> ingest = {}) {
    for (const auto& name : names) fs.putFile(kOutbox + "\\" + name, name);
    if (!ingest.empty()) http.script("ingest", std::move(ingest));
    const std::size_t idle = waits.intervals().size();
    idle == 0 ? uploader.start(kOutbox, kHistory) : fs.fireWatch();
    ASSERT_TRUE(waits.awaitIdle(idle == 0 ? 2 : idle + 1));  // the worker begins with a wait
  }
  // The uploader's lines, without their "[uploader] ".
  Strings said() const {
    Strings out;
    for (const auto& message : log.messages()) {
      if (message.starts_with("[uploader] ")) out.push_back(message.substr(11));
    }
    return out;
  }
  std::string value(const std::string& name) const { return registry.peek("parameters", name).value_or("-"); }

  InMemoryFileSystem fs;
  InMemoryRegistry registry;
  AgentStateStore state{registry};
  ScriptedHttpRequest http;
  Identity identity{"agent-1", "PC-1", "osv_credential"};
  RecordingLogger log;
  FakeClock clock{1767614400000, 60};  // 2026-01-05 12:00 UTC, an hour east
  RetrySchedule retry;
  UploaderWaits waits{&clock};
  ApiClient api{http, identity, log};
  std::atomic<int> deaths{0};
  FileUploader uploader;  // last: stopped before anything it uses goes away
};

TEST(FileUploader, DeliversInByteOrderIntoHistoryOrDeletesAsTold) {
  Rig rig;
  rig.run({"events20260105-0001.json", "days202601051200.json", "apps20260105.json", "days202601051150.json", "x.txt"},
          {answer(200), answer(200, R"({"delete":true})"), answer(200, R"({"cadenceMinutes":5})"),
           answer(200, R"({"cadenceMinutes":3,"delete":"yes"})")});
  EXPECT_EQ(rig.said(),
            (Strings{"apps20260105.json -> ok (kept), sampling 1m", "days202601051150.json -> ok, sampling 1m",
                     "days202601051200.json -> ok (kept), sampling 5m",
                     "events20260105-0001.json -> ok (kept), sampling 5m"}));
  EXPECT_EQ(rig.fs.names(kHistory),
            (Strings{"apps20260105.json", "days202601051200.json", "events20260105-0001.json"}));
  EXPECT_EQ(rig.registry.values("parameters"),
            (std::map<std::string, std::string>{{"CadenceMinutes", "5"}, {"LastUploadAt", "2026-01-05T12:00:00Z"}}));
  EXPECT_EQ(rig.waits.intervals().front(), 60);  // the default pass interval
}

TEST(FileUploader, AFileThatCannotLeaveTheOutboxIsSentOncePerPassAndOneNeverReadIsDroppedAfterFiveTries) {
  Rig rig;
  bool stuck = true;  // read by the worker only between the runs
  int lists = 0;
  rig.fs.setFault([&](FsOp op, const std::string& path) {
    if (op == FsOp::list && path == kOutbox && ++lists == 1) throw std::runtime_error("disk gone");
    return (op == FsOp::read && path.ends_with("b.json")) ||
           (stuck &&
            ((op == FsOp::move && path.ends_with("a.json")) || (op == FsOp::remove && path.ends_with("c.json"))));
  });
  rig.run({"a.json", "b.json", "c.json"}, {answer(200), answer(200, R"({"delete":true})"), answer(200)});
  EXPECT_EQ(rig.said(), (Strings{"drain crashed: disk gone", "a.json kept, history move failed",
                                 "a.json -> ok (kept), sampling 1m", "b.json unreadable, retry in 5s",
                                 "b.json unreadable, retry in 10s", "b.json unreadable, retry in 30s",
                                 "b.json unreadable, retry in 60s", "b.json unreadable 5x, dropped unsent",
                                 "c.json kept, removal failed", "c.json -> ok, sampling 1m"}));
  EXPECT_EQ(rig.waits.backOffs().front(), 5);  // after the crash
  stuck = false;
  rig.run({});
  EXPECT_EQ(rig.said().size(), 12u);  // a and c once more
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a.json", "c.json"}));
}

TEST(FileUploader, TwoRefusalsAreDroppedTheThirdInARowHoldsTheQueueAndOtherFailuresAreRetried) {
  Rig rig;
  rig.run({"f1.json", "f2.json", "f3.json", "f4.json", "f5.json"},
          {answer(422, R"({"error":"bad record"})"), answer(400, "<html/>"), answer(422), answer(201), answer(0),
           answer(200), answer(422), answer(503),
           answer(422, "{\"error\":\"a\\r\\n[uploader] x\\u0085" + std::string(300, 'y') + "\"}")});
  EXPECT_EQ(rig.said(), (Strings{"f1.json -> 422 bad record, dropped unsent", "f2.json -> 400, dropped unsent",
                                 "3 permanent refusals in a row, holding the queue instead of dropping it",
                                 "f3.json -> 422, retry in 5s", "f3.json -> 201, retry in 10s",
                                 "f3.json -> 0, retry in 30s", "f3.json -> ok (kept), sampling 1m",
                                 "f4.json -> 422, dropped unsent", "f5.json -> 503, retry in 5s",
                                 "f5.json -> 422 a??[uploader] x?" + std::string(184, 'y') + ", dropped unsent"}));
  EXPECT_EQ(rig.log.lines()[3].level, kLevelError);
}

TEST(FileUploader, A403RevokesTheCredentialUnlessTheAccountIsSuspendedAndARefusedExchangeDropsNothing) {
  const struct {
    HttpResponse exchange, ingest;
    const char* said;
    const char* state;  // AgentState and ErrorCode
    Strings history;
  } cases[] = {
      {answer(400), answer(200), "a.json -> 400, retry in 5s", "- -", {"a.json", "b.json"}},
      {answer(403), answer(200), "a.json -> 403 revoked", "tokenDead revoked", {"a.json", "b.json"}},
      {kSession, answer(403), "a.json -> 403 revoked", "tokenDead revoked", {"b.json"}},
      {kSession, answer(403, R"({"error":"suspended"})"), "a.json -> 403, retry in 5s", "ok -", {"a.json", "b.json"}},
  };
  for (const auto& c : cases) {
    Rig rig;
    rig.http.script("serviceAccountToken", {c.exchange, kSession});
    rig.run({"a.json", "b.json"}, {c.ingest, answer(503), answer(503), answer(503), answer(503), answer(200)});
    const bool revoked = c.state[0] == 't';
    EXPECT_EQ(rig.deaths.load(), revoked ? 1 : 0) << c.said;
    rig.run({});  // after a revocation the next pass exchanges the credential anew
    EXPECT_EQ(rig.said().front(), c.said);
    EXPECT_EQ(rig.value("AgentState") + " " + rig.value("ErrorCode"), c.state) << c.said;
    EXPECT_EQ(rig.fs.names(kHistory), c.history) << c.said;
    EXPECT_EQ(rig.http.sent("serviceAccountToken").size(), revoked || c.exchange.status != 200 ? 2u : 1u) << c.said;
    EXPECT_EQ(rig.waits.backOffs().back(), c.state[0] == 'o' ? 120 : 60) << c.said;  // a suspension: the long table
  }
}

TEST(FileUploader, ThirtyMinutesOfLoginRefusalsDeclareTheCredentialDead) {
  Rig rig;
  // Ingest answers and the second they come at; a 401 is given again after the fresh session.
  std::deque<std::pair<std::int64_t, std::int32_t>> answers{
      {0, 401}, {0, 401}, {1200, 503}, {1500, 401}, {1500, 401}, {3299, 401}, {3299, 401}, {3300, 401}, {3300, 401}};
  const std::int64_t start = rig.clock.nowMs();
  rig.http.setHandler([&](const SentRequest& request) {
    if (request.path != "ingest") return kSession;
    const auto [at, status] = answers.front();
    answers.pop_front();
    rig.clock.set(start + at * 1000);
    return answer(status);
  });
  rig.run({"a.json"});
  EXPECT_EQ(rig.value("AgentState") + " " + rig.value("ErrorCode"), "tokenDead login-refused");

  // The death ended the run of refusals: the next credential is not dead at its first 401.
  answers = {{3600, 401}, {3600, 401}, {3660, 200}};
  rig.run({});
  EXPECT_EQ(rig.said(),
            (Strings{"a.json -> 401, retry in 5s", "a.json -> 503, retry in 10s", "a.json -> 401, retry in 30s",
                     "a.json -> 401, retry in 60s", "login refused for 30 minutes straight, credential dead",
                     "a.json -> 401, retry in 60s", "a.json -> ok (kept), sampling 1m"}));
  EXPECT_EQ(rig.deaths.load(), 1);
}

TEST(FileUploader, HistoryKeepsSevenDaysAndTheOutboxSixtyAgedOnceADay) {
  Rig rig;
  constexpr std::int64_t kDayMs = 24 * 3600 * 1000;
  const auto day = [&](int ago) { return dayKey(rig.clock.nowMs() - ago * kDayMs); };
  for (int ago = 101; ago <= 108; ++ago) rig.fs.putFile(kHistory + "\\days" + day(ago) + "1200.json", "old");
  rig.fs.putFile(kHistory + "\\apps.json", "undated");
  Strings outbox{"events" + day(60) + "-0001.json"};
  for (int ago = 0; ago <= 60; ++ago) outbox.push_back("days" + day(ago) + "1200.json");
  rig.run(outbox, {answer(200)});
  EXPECT_EQ(rig.said()[0], "history aged past 7 days, 1 files");
  EXPECT_EQ(rig.said()[1], "outbox over 60 days, 2 files dropped undelivered");
  EXPECT_EQ(rig.log.lines()[1].level, kLevelError);
  EXPECT_EQ(rig.fs.names(kHistory).size(), 68u);  // aged at most once a day: 60 delivered, 7 old, the undated

  rig.clock.advance(kDayMs);
  rig.run({"days" + day(0) + "0000.json"});
  EXPECT_TRUE(rig.log.contains("[uploader] history aged past 7 days, 61 files"));
  EXPECT_EQ(rig.fs.names(kHistory).size(), 8u);
}

TEST(FileUploader, StopEndsTheRealBackOffAtOnceAndStartResumesAtOnce) {
  Rig rig(3600, waitOnCondition);
  rig.retry.escalate();
  for (int i = 0; i < 6; ++i) rig.retry.next();  // the next back-off is the long table's ten minutes, past the time-out
  rig.fs.putFile(kOutbox + "\\a.json", "a");
  rig.http.script("ingest", {answer(503), answer(200)});
  rig.uploader.start(kOutbox, kHistory);
  ASSERT_TRUE(rig.log.waitFor("-> 503"));
  rig.uploader.stop();
  EXPECT_FALSE(rig.uploader.lastUploadOk());
  EXPECT_FALSE(rig.fs.watching());
  rig.uploader.start(kOutbox, kHistory);
  EXPECT_TRUE(rig.uploader.lastUploadOk());
  ASSERT_TRUE(rig.log.waitFor("-> ok"));
  rig.uploader.stop();
  EXPECT_EQ(rig.fs.names(kHistory), (Strings{"a.json"}));
}

TEST(RetrySchedule, ShortTableCapsAtAMinuteEscalationGoesOnToTenAndResetStartsOverShort) {
  RetrySchedule schedule;
  std::vector<std::int32_t> delays;
  for (int i = 0; i < 17; ++i) {
    i == 5 ? schedule.escalate() : i == 11 ? schedule.reset() : void();
    delays.push_back(schedule.next());
  }
  EXPECT_EQ(delays, (std::vector<std::int32_t>{5, 10, 30, 60, 60, 60, 120, 300, 600, 600, 600, 5, 10, 30, 60, 60, 60}));
}

TEST(OutboxFiles, RemovesOnlyWhatAnAtomicWriteLeftBehindAMinuteAgo) {
  InMemoryFileSystem fs;
  for (const char* name : {"days1.json.12.tmp", "setup.tmp", ".1.tmp", "c.x.tmp", "d..tmp"}) {
    fs.putFile(std::string("C:\\out\\") + name, "", 1000000 - 90000);
  }
  fs.putFile("C:\\out\\a.7.tmp", "", 1000000 - 60000);  // a minute to the millisecond
  fs.putFile("C:\\out\\b.json.3.tmp", "", 1000000 - 59999);
  EXPECT_EQ(removeStaleTemporaries(fs, "C:\\out", 1000000), 2);
  EXPECT_EQ(fs.names("C:\\out"), (Strings{".1.tmp", "b.json.3.tmp", "c.x.tmp", "d..tmp", "setup.tmp"}));
}

}  // namespace
}  // namespace ostrivel::testing
