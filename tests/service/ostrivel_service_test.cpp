// The pipeline over fakes of every seam: records and their names, event numbers, the control
// queue, and the restart after a dead credential.
#include "service/ostrivel_service.h"

#include <gtest/gtest.h>

#include <new>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "delivery/api_client.h"
#include "delivery/retry_schedule.h"
#include "enrolment/identity_store.h"
#include "support/fake_apps_registry.h"
#include "support/fake_clock.h"
#include "support/fake_events.h"
#include "support/fake_sampler.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"
#include "support/uploader_waits.h"

namespace ostrivel {
namespace {

using namespace testing;

const std::string kData = "C:\\ProgramData\\Ostrivel";
const std::string kOutbox = kData + "\\outbox";
constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05T12:00:00Z
constexpr std::int64_t kMinute = 60000;
using Names = std::vector<std::string>;

struct Pipeline {
  Pipeline() = default;
  // Back-offs that pass at once, moving the clock on, instead of lasting until the stop.
  explicit Pipeline(bool instantBackOffs) : waits(instantBackOffs ? &clock : nullptr) {}

  FakeClock clock{kNoon, 60};
  RecordingLogger log;
  InMemoryRegistry registry;
  InMemoryFileSystem files;
  ScriptedHttpRequest http{"https://api.test"};
  Identity identity;
  ApiClient api{http, identity, log};
  AgentStateStore state{registry};
  IdentityStore identities{files, registry, kData};
  Initializer initializer{
      log, registry, identities, api, "PC", "2026.1.0.10", "Windows", 10, [](std::int32_t, std::stop_token) {}};
  RetrySchedule retry;
  UploaderWaits waits;
  FileUploader uploader{api, files, state, retry, log, clock, 60, waits.function()};
  FakeEvents events{clock};
  // What the sampling thread does between ticks; unless a test says otherwise, wait for the stop.
  std::function<void(std::stop_token)> betweenTicks = [](std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait(lock, stop, [] { return false; });
  };
  FakeSampler sampler{clock, [this](std::stop_token stop, std::chrono::seconds) { betweenTicks(stop); }};
  FakeAppsRegistry catalogue{clock};
  OstrivelService service{log,   events,      sampler,  files,    catalogue, clock,
                          state, initializer, uploader, identity, kData,     60};

  void sample(std::int64_t at, double share, const std::string& key = "chrome") {
    service.onSample(Data({{"at", at}, {"apps", {{key, share}}}, {"services", nlohmann::json::object()}}, "sample"));
  }
  void event(std::int64_t at, const std::string& kind) { service.onEvent(Data({{"at", at}, {"kind", kind}}, "event")); }
  nlohmann::json record(const std::string& name) {
    const auto text = files.peek(kOutbox + "\\" + name);
    return text ? nlohmann::json::parse(*text) : nlohmann::json();
  }
  Names outbox(const std::string& prefix = {}) {
    Names out;
    for (const auto& name : files.names(kOutbox)) {
      if (name.rfind(prefix, 0) == 0) {
        out.push_back(name);
      }
    }
    return out;
  }
};

TEST(OstrivelService, WritesABucketWhenASampleOfTheNextClosesItOrASuspendFlushesItNeverReplacingOne) {
  Pipeline p;
  p.registry.seed("parameters", "CadenceMinutes", "10");
  p.catalogue.installed["chrome"] = AppInfo{"C:\\chrome.exe", "120.0", "Google", "", "", "", 42};
  p.sample(kNoon + 9 * kMinute + 30000, 3.0);  // 12:09:30
  EXPECT_TRUE(p.outbox().empty());
  p.sample(kNoon + 10 * kMinute + 5000, 5.0, "code");  // 12:10:05 closes the 12:00 bucket at once
  EXPECT_EQ(p.outbox(), (Names{"apps202601051200.json", "days202601051210.json"}));
  const auto days = p.record("days202601051210.json");
  EXPECT_EQ(days["start"], kNoon);
  EXPECT_EQ(days["end"], kNoon + 10 * kMinute);
  EXPECT_EQ(days["samples"], 1);
  EXPECT_EQ(days["apps"]["chrome"], 3.0);
  EXPECT_EQ(days["tz"], 60);
  EXPECT_EQ(p.record("apps202601051200.json")["apps"]["chrome"]["path"], "C:\\chrome.exe");

  // A suspend ends the open bucket at its last sample. In the same minute as the records still
  // queued, its own take the next names instead of replacing them.
  p.event(kNoon + 10 * kMinute + 20000, "suspend");
  EXPECT_EQ(p.outbox(), (Names{"apps202601051200.json", "apps202601051200_2.json", "days202601051210.json",
                               "days202601051210_2.json", "events20260105000001.json"}));
  EXPECT_EQ(p.record("days202601051210.json")["apps"], (nlohmann::json{{"chrome", 3.0}}));
  EXPECT_EQ(p.record("days202601051210_2.json")["apps"], (nlohmann::json{{"code", 5.0}}));
  EXPECT_EQ(p.record("apps202601051200_2.json")["apps"], (nlohmann::json{{"code", nlohmann::json::object()}}));
  const auto suspend = p.record("events20260105000001.json");
  EXPECT_EQ(suspend["events"][0]["kind"], "suspend");
  EXPECT_EQ(suspend["tz"], 60);

  // An application whose apps record could not be written is described again with the next bucket.
  p.files.setFault([](FsOp op, const std::string& path) {
    return op == FsOp::writeAtomic && path.find("\\apps") != std::string::npos;
  });
  p.sample(kNoon + 11 * kMinute, 7.0, "editor");
  p.event(kNoon + 11 * kMinute + 10000, "suspend");
  p.files.setFault(nullptr);
  EXPECT_EQ(p.record("days202601051211.json")["end"], kNoon + 11 * kMinute);
  // After resume the next sample opens a fresh bucket at the same aligned start.
  p.sample(kNoon + 18 * kMinute, 6.0, "editor");
  p.event(kNoon + 18 * kMinute + 1000, "suspend");
  EXPECT_EQ(p.record("days202601051218.json")["samples"], 1);
  EXPECT_EQ(p.record("days202601051218.json")["start"], kNoon + 10 * kMinute);
  EXPECT_EQ(p.outbox("apps"), (Names{"apps202601051200.json", "apps202601051200_2.json", "apps202601051200_3.json"}));
  EXPECT_EQ(p.record("apps202601051200_3.json")["apps"], (nlohmann::json{{"editor", nlohmann::json::object()}}));
}

// Through a suspend notice and a stop each in the first minute of a bucket, session exchanges the
// server refuses, and an account suspended for a while, every bucket measured reaches the server
// exactly once and no record is dropped unsent.
TEST(OstrivelService, DeliversEveryBucketOnceThroughFlushesRefusedExchangesAndASuspension) {
  Pipeline p(true);
  ASSERT_TRUE(p.identities.saveIdentity({"a-1", "PC", "osv_pc"}));
  p.registry.seed("parameters", "CadenceMinutes", "10");
  std::mutex mutex;
  std::condition_variable_any opened;
  bool open = false;  // the server answers nothing before the measuring below is done
  std::size_t exchanges = 0;
  std::size_t ingests = 0;
  std::vector<nlohmann::json> received;
  p.http.setHandler([&](const SentRequest& request) -> HttpResponse {
    std::unique_lock lock(mutex);
    opened.wait(lock, [&] { return open; });
    if (request.path == "serviceAccountToken") {
      const HttpResponse refusals[] = {
          {400, "{}"}, {422, R"({"error":"bad"})"}, {503, ""}, {403, R"({"error":"suspended"})"}};
      return exchanges < std::size(refusals) ? refusals[exchanges++] : HttpResponse{200, R"({"sessionJwt":"jwt"})"};
    }
    if (++ingests == 1) {
      return {403, R"({"error":"suspended"})"};
    }
    received.push_back(nlohmann::json::parse(request.body));
    return {200, "{}"};
  });

  std::stop_source first;
  std::jthread run([&] { p.service.run(first.get_token()); });
  ASSERT_TRUE(p.log.waitFor("[service] pipeline starting"));
  p.sample(kNoon + 9 * kMinute + 30000, 1.0);            // 12:09:30
  p.sample(kNoon + 10 * kMinute + 5000, 2.0, "editor");  // 12:10:05 closes the 12:00 bucket
  p.service.suspending();                                // 12:10:20: the 12:10 bucket so far
  p.sample(kNoon + 11 * kMinute, 3.0);
  p.sample(kNoon + 19 * kMinute + 30000, 3.0);
  p.sample(kNoon + 20 * kMinute + 5000, 4.0);  // closes the rest of the 12:10 bucket
  {
    std::lock_guard lock(mutex);
    open = true;
  }
  opened.notify_all();
  p.files.fireWatch();
  first.request_stop();  // at 12:20:30, the 12:20 bucket so far
  run.join();

  // The next start delivers what is left in its first pass, then idles (its second wait).
  const std::size_t waited = p.waits.intervals().size();
  std::stop_source second;
  run = std::jthread([&] { p.service.run(second.get_token()); });
  ASSERT_TRUE(p.waits.awaitIdle(waited + 2));
  second.request_stop();
  run.join();

  std::multiset<std::tuple<std::int64_t, std::int64_t, int>> buckets;
  std::set<std::string> described;
  for (const auto& record : received) {
    if (record["kind"] == "days") {
      buckets.emplace(record["start"], record["end"], record["samples"]);
    } else if (record["kind"] == "apps") {
      for (const auto& [key, info] : record["apps"].items()) {
        described.insert(key);
      }
    }
  }
  EXPECT_EQ(buckets, (std::multiset<std::tuple<std::int64_t, std::int64_t, int>>{
                         {kNoon, kNoon + 10 * kMinute, 1},
                         {kNoon + 10 * kMinute, kNoon + 10 * kMinute + 5000, 1},
                         {kNoon + 10 * kMinute, kNoon + 20 * kMinute, 2},
                         {kNoon + 20 * kMinute, kNoon + 20 * kMinute + 5000, 1},
                     }));
  EXPECT_EQ(described, (std::set<std::string>{"chrome", "editor"}));
  EXPECT_FALSE(p.log.contains("dropped"));
  EXPECT_TRUE(p.outbox("days").empty());
  EXPECT_EQ(p.registry.peek("parameters", "AgentState"), "ok");  // the suspension was lifted
  EXPECT_FALSE(p.registry.peek("parameters", "ErrorCode"));
}

TEST(OstrivelService, WritesPartialRecordsAtTheCadenceOnlyWhileUploadsSucceed) {
  for (const bool uploadsFail : {false, true}) {
    Pipeline p;
    p.registry.seed("parameters", "CadenceMinutes", "5");
    if (uploadsFail) {
      p.files.putFile(kOutbox + "\\days202601011200.json", "{}");
      p.http.script("serviceAccountToken", {{503, ""}});
      p.uploader.start(kOutbox, kData + "\\history");
      ASSERT_TRUE(p.waits.awaitBackOff());
    }
    for (int i = 0; i < 10; ++i) {
      p.sample(kNoon + i * kMinute + 30000, 1.0);  // 12:00:30 ... 12:09:30, one bucket
    }
    p.uploader.stop();
    if (uploadsFail) {
      EXPECT_TRUE(p.outbox("days20260105").empty());
      continue;
    }
    // After the fifth and the tenth sample, each ending a millisecond after its last sample.
    EXPECT_EQ(p.outbox("days20260105"), (Names{"days202601051204.json", "days202601051209.json"}));
    EXPECT_EQ(p.record("days202601051204.json")["end"], kNoon + 4 * kMinute + 30001);
    EXPECT_EQ(p.record("days202601051209.json")["samples"], 10);
  }
}

TEST(OstrivelService, NumbersEventsPerDayKeepingFourDaysButNeverTheCurrentOne) {
  Pipeline p;
  constexpr std::int64_t kDay = 24 * 60 * kMinute;
  for (int day = 0; day < 5; ++day) {
    p.event(kNoon + day * kDay, "boot");  // 5 to 9 January
  }
  p.event(kNoon + 4 * kDay + 1, "resume");  // 9 January goes on: its second event
  p.event(kNoon, "shutdown");               // 5 January was forgotten: numbered from 1 again, beside the first
  p.event(kNoon - 3 * kDay, "boot");        // older than all kept days, yet kept while current
  p.event(kNoon - 3 * kDay + 1, "resume");
  EXPECT_EQ(p.outbox("events"),
            (Names{"events20260102000001.json", "events20260102000002.json", "events20260105000001.json",
                   "events20260105000001_2.json", "events20260106000001.json", "events20260107000001.json",
                   "events20260108000001.json", "events20260109000001.json", "events20260109000002.json"}));
  EXPECT_EQ(p.record("events20260105000001.json")["events"][0]["kind"], "boot");
  EXPECT_EQ(p.record("events20260105000001_2.json")["events"][0]["kind"], "shutdown");

  // An event without an integer time is filed under the epoch's day.
  p.service.onEvent(Data({{"at", "soon"}, {"kind", "boot"}}, "event"));
  EXPECT_EQ(p.record("events19700101000001.json")["date"], "19700101");
}

TEST(OstrivelService, WarnsWhenTheOutboxCannotBeWrittenAndGoesOn) {
  Pipeline p;
  p.files.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  p.event(kNoon, "boot");
  p.sample(kNoon, 1.0);
  EXPECT_TRUE(p.log.contains("[service] events20260105000001 not queued, the outbox write failed"));
  EXPECT_TRUE(p.log.contains("[service] days202601051200 not queued, the outbox write failed"));
  p.files.setFault(nullptr);
  p.event(kNoon, "boot");
  EXPECT_EQ(p.outbox(), (Names{"events20260105000002.json"}));
}

TEST(OstrivelService, DropsSessionChangesBeyondTheQueueLimit) {
  Pipeline p;  // run never started: the worker is not taking entries
  for (std::size_t i = 0; i < OstrivelService::kControlQueueLimit; ++i) {
    p.service.sessionChanged("lock");
  }
  EXPECT_FALSE(p.log.contains("control queue full"));
  p.service.sessionChanged("unlock");
  EXPECT_EQ(p.log.messages(), (std::vector<std::string>{"[service] control queue full, unlock dropped"}));
  EXPECT_EQ(p.log.lines().front().level, kLevelWarn);
}

TEST(OstrivelService, RunsNumbersFromTheOutboxAndStopsInOrder) {
  Pipeline p;
  ASSERT_TRUE(p.identities.saveIdentity({"a-1", "PC", "osv_pc"}));
  for (const char* name : {"events20260105000007.json", "events20260105000012.json", "events2026010500099.json",
                           "events20260104000030.json"}) {
    p.files.putFile(kOutbox + "\\" + name, "{}");
  }
  // Left by writers killed before their rename; one a minute old goes, a younger one may be in use.
  const std::string stale[] = {kOutbox + "\\days202601051150.json.3.tmp", kData + "\\history\\apps.json.0.tmp",
                               kData + "\\identity.json.12.tmp"};
  for (const auto& path : stale) {
    p.files.putFile(path, "{", kNoon - kMinute);
  }
  p.files.putFile(kOutbox + "\\days202601051200.json.4.tmp", "{", kNoon - kMinute + 1);
  p.files.putFile(kData + "\\setup.tmp", "", 0);
  p.http.script("serviceAccountToken", {{503, ""}});
  std::stop_source stop;
  std::jthread run([&] { p.service.run(stop.get_token()); });
  ASSERT_TRUE(p.log.waitFor("[service] pipeline starting"));
  EXPECT_TRUE(p.log.contains("[service] 3 stale temporary files removed"));
  for (const auto& path : stale) {
    EXPECT_FALSE(p.files.exists(path)) << path;
  }
  EXPECT_TRUE(p.files.exists(kOutbox + "\\days202601051200.json.4.tmp"));
  EXPECT_TRUE(p.files.exists(kData + "\\setup.tmp"));
  ASSERT_TRUE(p.sampler.awaitListCalls(1));
  p.service.sessionChanged("lock");
  p.service.suspending();  // the queue is in order: once the flush is done, so is the lock
  ASSERT_TRUE(p.log.waitFor("serviceAccountToken -> 503"));
  stop.request_stop();
  run.join();

  // "started" took 13, the lock 14, "stopped" 15: the 24-character name was not a sequence.
  EXPECT_EQ(p.record("events20260105000013.json")["events"][0]["kind"], "started");
  EXPECT_EQ(p.record("events20260105000014.json")["events"][0]["kind"], "lock");
  EXPECT_EQ(p.record("events20260105000015.json")["events"][0]["kind"], "stopped");
  EXPECT_TRUE(p.log.contains("[service] stopping"));
  EXPECT_EQ(p.events.sourceStops(), 1);
  EXPECT_EQ(p.registry.peek("parameters", "AgentState"), "ok");
}

// The stop takes the sampler down before the last flush, reads the restart flag only once the
// uploader stopped, and logs what throws on the way without skipping a step.
TEST(OstrivelService, StopLeavesNoSampleOrDeadCredentialBehindAndSurvivesExceptions) {
  Pipeline p;
  ASSERT_TRUE(p.identities.saveIdentity({"a-1", "PC", "osv_pc"}));
  p.registry.seed("parameters", "CadenceMinutes", "10");
  p.files.putFile(kOutbox + "\\events20260104000001.json", "{}");
  // Every write but a days record's throws. The sampler's first measured tick is held until a
  // days record was written or the sampler stops.
  std::mutex mutex;
  std::condition_variable_any written;
  int daysWrites = 0;
  std::stop_token samplerStop;
  p.files.setFault([&](FsOp op, const std::string& path) {
    if (op == FsOp::writeAtomic && path.find("\\days") == std::string::npos) {
      throw std::runtime_error("disk gone");
    }
    std::lock_guard lock(mutex);
    daysWrites += op == FsOp::writeAtomic ? 1 : 0;
    written.notify_all();
    return false;
  });
  p.betweenTicks = [&](std::stop_token stop) {
    std::lock_guard lock(mutex);
    samplerStop = stop;
    p.clock.advance(3000);
  };
  p.sampler.beforeList = [&] {
    std::unique_lock lock(mutex);
    written.wait(lock, samplerStop, [&] { return daysWrites > 0 || !samplerStop.stop_possible(); });
  };
  p.sample(kNoon + 30000, 2.0);
  std::stop_source stop;
  p.http.setHandler([&](const SentRequest& request) -> HttpResponse {
    if (request.path != "ingest") {
      return {200, R"({"sessionJwt":"jwt"})"};
    }
    stop.request_stop();  // while this answer, which revokes the credential, is in flight
    p.log.waitFor("[service] stopping");
    return {403, R"({"error":"revoked"})"};
  });
  EXPECT_TRUE(p.service.run(stop.get_token()));

  EXPECT_EQ(p.log.count("[service] event dropped: disk gone"), 2u);  // "started" and "stopped"
  EXPECT_TRUE(p.log.contains("[service] flush failed: disk gone"));  // at its apps record
  EXPECT_EQ(p.events.sourceStops(), 1);
  EXPECT_FALSE(p.files.watching());
  EXPECT_TRUE(p.log.contains("[initializer] credential dropped, enrolment starts over"));
  EXPECT_FALSE(p.identities.loadIdentity());
  p.service.suspending();  // nothing measured was left open: this flush finds no bucket
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(daysWrites, 1);
  }

  // Whatever else throws there ends run with a log line and a failure, not with the exception.
  Pipeline q;
  q.files.putFile(kOutbox + "\\days202601051200.json.1.tmp", "");
  q.files.setFault(
      [](FsOp op, const std::string&) -> bool { return op == FsOp::remove ? throw std::bad_alloc() : false; });
  EXPECT_FALSE(q.service.run(stop.get_token()));
  EXPECT_TRUE(q.log.contains("[service] pipeline failed: std::bad_alloc"));
}

TEST(OstrivelService, EnrolsAgainAfterTheUploaderDeclaresTheCredentialDead) {
  Pipeline p;
  ASSERT_TRUE(p.identities.saveIdentity({"agent-1", "PC", "osv_old"}));
  p.registry.seed("parameters", "AgentId", "agent-1");
  p.files.putFile(kOutbox + "\\days202601051200.json", "{}");
  std::atomic<int> ingests{0};
  p.http.setHandler([&](const SentRequest& request) -> HttpResponse {
    if (request.path == "serviceAccountToken") {
      return {200, R"({"sessionJwt":"jwt"})"};
    }
    if (request.path == "ingest") {
      return ++ingests == 1 ? HttpResponse{403, R"({"error":"revoked"})"} : HttpResponse{200, "{}"};
    }
    if (request.path == "register") {
      return {200, R"({"nonce":"n-2"})"};
    }
    if (request.path == "register/n-2" && request.method == "GET") {
      return {200, R"({"secret":"osv_new","tokenId":"t","agentId":"agent-1"})"};
    }
    return {200, ""};
  });
  std::stop_source stop;
  std::jthread run([&] { p.service.run(stop.get_token()); });
  ASSERT_TRUE(p.log.waitFor("[service] pipeline starting", 2));
  stop.request_stop();
  run.join();

  std::vector<std::string> flow;
  for (const auto& message : p.log.messages()) {
    if (message.rfind("[service]", 0) == 0 || message.find("credential") != std::string::npos ||
        message.find("registration") != std::string::npos) {
      flow.push_back(message);
    }
  }
  EXPECT_EQ(flow, (std::vector<std::string>{
                      "[service] pipeline starting",
                      "[service] stopping",
                      "[initializer] credential dropped, enrolment starts over",
                      "[initializer] registration started",
                      "[initializer] polling the registration claim",
                      "[initializer] registration claimed",
                      "[service] pipeline starting",
                      "[service] stopping",
                  }));
  EXPECT_TRUE(p.log.contains("[uploader] days202601051200.json -> 403 revoked"));
  EXPECT_NE(p.http.sentTo("register").front().body.find(R"("previousAgentId":"agent-1")"), std::string::npos);
  EXPECT_EQ(p.identity.token, "osv_new");
  EXPECT_EQ(p.identities.loadIdentity()->token, "osv_new");
}

}  // namespace
}  // namespace ostrivel
