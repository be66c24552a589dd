// The service subsystem over fakes of every seam. The pipeline: records and their names, event
// numbers, the control queue, the stop, and the restart after a dead credential. How the agent
// meets the stops Windows sends: the service host's reports, watcher timing and control handling
// without a service manager.
#include <gtest/gtest.h>

#include <array>
#include <latch>
#include <set>

#include "service/console_run.h"
#include "service/ostrivel_service.h"
#include "service/service_host.h"
#include "support/fake_apps_registry.h"
#include "support/fake_events.h"
#include "support/fake_sampler.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"
#include "support/step_wait.h"
#include "support/uploader_waits.h"

namespace ostrivel {
namespace {

using namespace scm;
using namespace testing;
using nlohmann::json;
using Names = std::vector<std::string>;
const std::string kData = "C:\\ProgramData\\Ostrivel";
const std::string kOutbox = kData + "\\outbox";
constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05T12:00:00Z
constexpr std::int64_t kMinute = 60000;

struct Pipeline {
  // Back-offs that pass at once, moving the clock on, instead of lasting until the stop.
  explicit Pipeline(bool instantBackOffs = false) : waits(instantBackOffs ? &clock : nullptr) {}

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
  std::function<void(std::stop_token)> betweenTicks;
  StepWait never;
  FakeSampler sampler{clock, [this](std::stop_token stop, std::chrono::seconds s) {
                        betweenTicks ? betweenTicks(stop) : never(stop, s);
                      }};
  FakeAppsRegistry catalogue{clock};
  OstrivelService service{log,   events,      sampler,  files,    catalogue, clock,
                          state, initializer, uploader, identity, kData,     60};

  void sample(std::int64_t at, double share, const std::string& key = "chrome") {
    service.onSample(Data({{"at", at}, {"apps", {{key, share}}}, {"services", json::object()}}, "sample"));
  }
  void event(std::int64_t at, const std::string& kind) { service.onEvent(Data({{"at", at}, {"kind", kind}}, "event")); }
  json record(const std::string& name) { return json::parse(files.peek(kOutbox + "\\" + name).value_or("null")); }
  Names outbox() { return files.names(kOutbox); }
};

// Through suspend notices and a stop each in the first minute of a bucket, session exchanges the
// server refuses, an account suspended for a while and an apps record that cannot be written,
// every bucket measured reaches the server exactly once, records of one minute taking the next
// names instead of replacing one another, and every application is described.
TEST(OstrivelService, DeliversEveryBucketOnceThroughFlushesRefusedExchangesAndASuspension) {
  Pipeline p(true);
  ASSERT_TRUE(p.identities.saveIdentity({"a-1", "PC", "osv_pc"}));
  p.registry.seed("parameters", "CadenceMinutes", "10");
  p.catalogue.installed["chrome"] = AppInfo{"C:\\chrome.exe", "", "", "", "", "", 42};
  p.files.setFault([](FsOp op, const std::string& path) {
    return op == FsOp::writeAtomic && path.find("\\apps") != std::string::npos;
  });
  std::latch open(1);  // the server answers nothing before the measuring below is done
  std::vector<json> received;
  const HttpResponse refusals[] = {
      {400, "{}"}, {422, R"({"error":"bad"})"}, {503, ""}, {403, R"({"error":"suspended"})"}};
  p.http.setHandler([&](const SentRequest& request) -> HttpResponse {
    open.wait();
    const std::size_t nth = p.http.sentTo(request.path).size();
    if (request.path == "serviceAccountToken") {
      return nth <= 4 ? refusals[nth - 1] : HttpResponse{200, R"({"sessionJwt":"jwt"})"};
    }
    if (nth == 1) return refusals[3];
    received.push_back(json::parse(request.body));
    return {200, "{}"};
  });
  std::stop_source first;
  std::jthread run([&] { p.service.run(first.get_token()); });
  ASSERT_TRUE(p.log.waitFor("[service] pipeline starting"));
  p.sample(kNoon + 9 * kMinute + 30000, 1.0);            // 12:09:30
  p.sample(kNoon + 10 * kMinute + 5000, 2.0, "editor");  // 12:10:05 closes the 12:00 bucket
  p.files.setFault(nullptr);                             // its apps record was not written
  p.service.suspending();                                // the 12:10 bucket so far
  p.sample(kNoon + 10 * kMinute + 20000, 3.0);
  p.service.suspending();  // again in the same minute
  p.sample(kNoon + 11 * kMinute, 3.0);
  p.sample(kNoon + 20 * kMinute + 5000, 4.0);  // closes the rest of the 12:10 bucket
  // A sample the accumulator refuses is logged and dropped on the sampling thread.
  p.service.onSample(Data({{"at", kNoon}, {"apps", {{"chrome", "busy"}}}}, "sample"));
  open.count_down();
  p.files.fireWatch();
  first.request_stop();  // the 12:20 bucket so far
  run.join();
  // The next start delivers what is left in its first pass, then idles (its second wait).
  const std::size_t waited = p.waits.intervals().size();
  std::stop_source second;
  run = std::jthread([&] { p.service.run(second.get_token()); });
  ASSERT_TRUE(p.waits.awaitIdle(waited + 2));
  second.request_stop();
  run.join();

  std::multiset<std::tuple<std::int64_t, std::int64_t, int>> buckets;
  json described;
  for (const auto& record : received) {
    if (record["kind"] == "days") buckets.emplace(record["start"], record["end"], record["samples"]);
    if (record["kind"] == "apps") described.update(record["apps"]);
  }
  const std::int64_t k10 = kNoon + 10 * kMinute;
  const std::int64_t k20 = kNoon + 20 * kMinute;
  EXPECT_EQ(buckets,
            (std::multiset<std::tuple<std::int64_t, std::int64_t, int>>{
                {kNoon, k10, 1}, {k10, k10 + 5000, 1}, {k10, k10 + 20000, 1}, {k10, k20, 1}, {k20, k20 + 5000, 1}}));
  EXPECT_EQ(described.size(), 2u);
  EXPECT_EQ(described["chrome"]["size"], 42);
  EXPECT_TRUE(p.log.contains("[service] apps202601051200 not queued, the outbox write failed"));
  EXPECT_EQ(p.log.count("dropped"), 1u);
  EXPECT_TRUE(p.log.contains("[service] sample dropped: [json.exception.type_error.302]"));
  for (const auto& name : p.outbox()) EXPECT_FALSE(name.starts_with("days")) << name;
  EXPECT_EQ(p.registry.peek("parameters", "AgentState"), "ok");  // the suspension was lifted
}

// Partial records come after the fifth and the tenth sample of a bucket at a cadence of five, each
// ending a millisecond after its last sample, but not while uploads fail: queued behind a failing
// upload they would only pile up. Event numbers are kept for four days, never dropping the current
// one; and session changes beyond the control queue's limit are dropped.
TEST(OstrivelService, WritesPartialRecordsWhileUploadsSucceedNumbersEventsPerDayAndBoundsTheControlQueue) {
  for (const bool uploadsFail : {false, true}) {
    Pipeline p;
    p.registry.seed("parameters", "CadenceMinutes", "5");
    if (uploadsFail) {
      p.http.script("serviceAccountToken", {{503, ""}});
      p.files.putFile(kOutbox + "\\days202601011200.json", "{}");
      p.uploader.start(kOutbox, kData + "\\history");
      ASSERT_TRUE(p.waits.awaitBackOff());
    }
    for (int i = 0; i < 10; ++i) p.sample(kNoon + i * kMinute + 30000, 1.0);  // 12:00:30 ... 12:09:30
    p.uploader.stop();
    const Names partials = {"apps202601051200.json", "days202601051204.json", "days202601051209.json"};
    EXPECT_EQ(p.outbox(), uploadsFail ? Names{"days202601011200.json"} : partials);
  }
  Pipeline p;
  constexpr std::int64_t kDay = 24 * 60 * kMinute;
  for (int day = 0; day < 5; ++day) p.event(kNoon + day * kDay, "boot");  // 5 to 9 January
  p.event(kNoon + 4 * kDay + 1, "resume");                                // 9 January goes on: its second event
  p.event(kNoon, "shutdown");         // 5 January was forgotten: numbered from 1 again, beside the first
  p.event(kNoon - 3 * kDay, "boot");  // older than all kept days, yet kept while current
  p.event(kNoon - 3 * kDay + 1, "resume");
  EXPECT_EQ(p.outbox(), (Names{"events20260102000001.json", "events20260102000002.json", "events20260105000001.json",
                               "events20260105000001_2.json", "events20260106000001.json", "events20260107000001.json",
                               "events20260108000001.json", "events20260109000001.json", "events20260109000002.json"}));
  // Run never started, so the control worker takes no entries.
  for (std::size_t i = 0; i <= OstrivelService::kControlQueueLimit; ++i) p.service.sessionChanged("lock");
  EXPECT_EQ(p.log.messages(), (Names{"[service] control queue full, lock dropped"}));
}

// One run with two lives: the uploader's first answer revokes the credential, so the pipeline
// stops, enrols again as the same PC and starts over, numbering events on from the outbox.
TEST(OstrivelService, SweepsLeftoversNumbersOnFromTheOutboxAndEnrolsAgainWhenTheCredentialDies) {
  Pipeline p;
  ASSERT_TRUE(p.identities.saveIdentity({"agent-1", "PC", "osv_old"}));
  p.registry.seed("parameters", "AgentId", "agent-1");
  // Names that are not a day and a six-digit sequence do not count. The oldest file goes first, and
  // ingest refuses it.
  for (const char* name : {"apps202601041200.json", "events20260105000007.json", "events20260105000012.json",
                           "events2026010500099.json", "events2026010599999x.json"}) {
    p.files.putFile(kOutbox + "\\" + name, "{}");
  }
  // Left by writers killed before their rename, a minute ago, in each folder the agent writes.
  const std::string stale[] = {kOutbox + "\\days202601051150.json.3.tmp", kData + "\\history\\apps.json.0.tmp",
                               kData + "\\identity.json.12.tmp"};
  for (const auto& path : stale) p.files.putFile(path, "{", kNoon - kMinute);
  p.sample(kNoon + 30000, 1.0);  // a partial record describes chrome; every start describes it again
  p.http.setHandler([&](const SentRequest& request) -> HttpResponse {
    if (request.path == "register") return {200, R"({"nonce":"n-2"})"};
    if (request.path == "register/n-2") return {200, R"({"secret":"osv_new","tokenId":"t","agentId":"agent-1"})"};
    if (request.path != "ingest") return {200, R"({"sessionJwt":"jwt"})"};
    return p.http.sentTo("ingest").size() == 1 ? HttpResponse{403, R"({"error":"revoked"})"} : HttpResponse{503, ""};
  });
  std::stop_source stop;
  std::jthread run([&] { p.service.run(stop.get_token()); });
  ASSERT_TRUE(p.log.waitFor("[service] pipeline starting", 2));
  while (!p.files.exists(kOutbox + "\\events20260105000015.json")) std::this_thread::yield();  // the 2nd "started"
  p.service.sessionChanged("lock");
  p.service.suspending();  // the queue is in order: once the flush is done, so is the lock
  stop.request_stop();
  run.join();

  Names kinds;
  for (int i = 13; i <= 17; ++i)
    kinds.push_back(p.record("events202601050000" + std::to_string(i) + ".json")["events"][0]["kind"]);
  EXPECT_EQ(kinds, (Names{"started", "stopped", "started", "lock", "stopped"}));
  for (const auto& path : stale) EXPECT_FALSE(p.files.exists(path)) << path;
  EXPECT_TRUE(p.files.exists(kOutbox + "\\apps202601051200_2.json"));
  EXPECT_NE(p.http.sentTo("register").front().body.find(R"("previousAgentId":"agent-1")"), std::string::npos);
  EXPECT_EQ(p.identities.loadIdentity()->token, "osv_new");
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
    if (op == FsOp::writeAtomic && path.find("\\days") == std::string::npos) throw std::runtime_error("disk gone");
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
    if (request.path != "ingest") return {200, R"({"sessionJwt":"jwt"})"};
    stop.request_stop();  // while this answer, which revokes the credential, is in flight
    EXPECT_TRUE(p.log.waitFor("[service] stopping"));
    return {403, R"({"error":"revoked"})"};
  });
  EXPECT_TRUE(p.service.run(stop.get_token()));

  EXPECT_EQ(p.log.count("[service] event dropped: disk gone"), 2u);  // "started" and "stopped"
  EXPECT_TRUE(p.log.contains("[service] flush failed: disk gone"));  // at its apps record
  EXPECT_EQ(p.events.sourceStops, 1);
  EXPECT_FALSE(p.files.watching());
  EXPECT_TRUE(p.log.contains("[initializer] credential dropped, enrolment starts over"));
  EXPECT_FALSE(p.identities.loadIdentity());
  p.service.suspending();  // nothing measured was left open: this flush finds no bucket
  EXPECT_EQ(daysWrites, 1);

  // Whatever else throws there ends run with a log line and a failure, not with the exception.
  Pipeline q;
  q.files.putFile(kOutbox + "\\days202601051200.json.1.tmp", "");
  q.files.setFault([](FsOp op, const std::string&) { return op == FsOp::remove ? throw std::bad_alloc() : false; });
  EXPECT_FALSE(q.service.run(stop.get_token()));
  EXPECT_TRUE(q.log.contains("[service] pipeline failed: std::bad_alloc"));
}

// State, wait hint, checkpoint, accepted controls and exit code of a report.
using Report = std::array<std::uint32_t, 5>;

// Every report comes under the host's status mutex, or before its watcher starts or after it ends.
struct Reports : StatusReporter {
  void report(const ServiceStatus& s) override {
    all.push_back({s.state, s.waitHintMs, s.checkpoint, s.acceptedControls, s.serviceExitCode});
  }
  std::vector<Report> all;
};

// Runs onRun, then returns at once: true when the stop was requested, false (a failure) otherwise.
struct FakePipeline : ServicePipeline {
  bool run(std::stop_token stop) override { return onRun(), stop.stop_requested(); }
  void sessionChanged(const std::string& name) override {
    names.push_back(name);
    if (name == "unlock") throw std::runtime_error("queue broken");
  }
  void suspending() override { names.push_back("suspend"); }
  std::function<void()> onRun = [] {};
  std::vector<std::string> names;
};

// The handler never throws and never waits for the pipeline; it passes on the four session events
// the agent records and a suspend, before the pipeline is published too. Pending states repeat
// every five seconds, the checkpoint rising.
TEST(ServiceHost, ReportsPendingStatesPassesControlsOnAndStopsAsCleanOrFailed) {
  Reports reports;
  testing::StepWait ticks;
  ServiceHost host(reports, std::ref(ticks));
  FakePipeline pipeline;
  // clang-format off
  const std::pair<std::uint32_t, std::uint32_t> controls[] = {{kControlSessionChange, kSessionLock},
      {kControlSessionChange, 3 /* remote connect */}, {kControlSessionChange, kSessionUnlock},
      {kControlSessionChange, kSessionLogon}, {kControlSessionChange, kSessionLogoff},
      {kControlPowerEvent, 18 /* resume */}, {kControlPowerEvent, kPowerSuspend}, {kControlInterrogate, 0}};
  // clang-format on
  pipeline.onRun = [&] {
    for (const auto& [control, type] : controls) EXPECT_EQ(host.handleControl(control, type, &pipeline), kNoError);
    EXPECT_EQ(host.handleControl(kControlPause, 0, &pipeline), kCallNotImplemented);
    for (int tick = 0; tick < 20; ++tick) ticks.step();  // running normally: nothing to report
    host.handleControl(kControlShutdown, 0, nullptr);
    for (int tick = 0; tick < 24; ++tick) ticks.step();  // 12 s of stopping
  };
  std::size_t reportsBeforeStart = 0;
  host.serve(&pipeline, [&] {
    // The data folder's guard on a slow disk: 12 s of the watcher's ticks go by.
    reportsBeforeStart = reports.all.size();
    EXPECT_EQ(host.handleControl(kControlSessionChange, kSessionLock, nullptr), kNoError);
    ticks.awaitWaits(1);
    for (int tick = 0; tick < 24; ++tick) ticks.step();
  });
  EXPECT_EQ(reportsBeforeStart, 1u);  // start pending, which only a connected service can report
  EXPECT_EQ(pipeline.names, (std::vector<std::string>{"lock", "unlock", "logon", "logoff", "suspend"}));
  // Running takes the stop, shutdown, power and session controls.
  // clang-format off
  EXPECT_EQ(reports.all, (std::vector<Report>{{kStartPending, 20000, 1, 0, 0}, {kStartPending, 20000, 2, 0, 0},
      {kStartPending, 20000, 3, 0, 0}, {kRunning, 0, 0, 0xC5, 0}, {kStopPending, 20000, 4, 0, 0},
      {kStopPending, 20000, 5, 0, 0}, {kStopPending, 20000, 6, 0, 0}, {kStopped, 0, 0, 0, 0}}));
  // clang-format on
  // A pipeline that gave up by itself stops the service as failed, for its recovery to restart it.
  Reports failed;
  pipeline.onRun = [] {};
  ServiceHost(failed).serve(&pipeline);
  EXPECT_EQ(failed.all.back(), (Report{kStopped, 0, 0, 0, ServiceHost::kFailedExitCode}));
}


// Windows ends the process once the handler of a close, logoff or shutdown returns: the handler
// waits, for a limited time, until the pipeline has returned from its final flush.
TEST(ConsoleRun, CtrlCAndBreakStopAtOnceCloseLogoffAndShutdownAlsoWaitForThePipelineOthersPassOn) {
  for (std::uint32_t event = 0; event <= 7; ++event) {
    const bool stops = event <= console::kClose || event == console::kLogoff || event == console::kShutdown;
    const bool waits = stops && event >= console::kClose;
    std::vector<std::chrono::nanoseconds> limits;
    std::stop_token finished;
    ConsoleRun run([&](std::stop_token token, std::chrono::nanoseconds limit) {  // time runs out at once
      finished = token;
      limits.push_back(limit);
    });
    EXPECT_EQ(run.handle(event), stops) << event;
    FakePipeline pipeline;
    pipeline.onRun = [&] { EXPECT_FALSE(finished.stop_requested()) << event; };
    EXPECT_EQ(run.run(pipeline), stops) << event;
    EXPECT_EQ(finished.stop_requested(), waits) << event;
    EXPECT_EQ(limits, std::vector(waits ? 1 : 0, std::chrono::nanoseconds(ConsoleRun::kFinishLimit))) << event;
  }
}

}  // namespace
}  // namespace ostrivel
