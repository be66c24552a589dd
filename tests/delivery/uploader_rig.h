// An uploader over in-memory files, a scripted server and a fake clock, with waits that take no
// real time: back-offs advance the fake clock and return at once, and the wait between passes
// lasts until a wake or a stop and tells the test that the worker has gone idle.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "delivery/retry_schedule.h"
#include "enrolment/agent_state_store.h"
#include "support/fake_clock.h"
#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"

namespace ostrivel::testing {

inline const std::string kOutbox = "C:\\ProgramData\\Ostrivel\\outbox";
inline const std::string kHistory = "C:\\ProgramData\\Ostrivel\\history";
inline constexpr std::int64_t kMinuteMs = 60 * 1000;
inline constexpr std::int64_t kDayMs = 24 * 60 * kMinuteMs;

class InstantWaits {
 public:
  explicit InstantWaits(FakeClock& clock) : clock(clock) {}

  UploaderWaitFunction function() {
    return [this](UploaderWait kind, std::int32_t seconds, std::unique_lock<std::mutex>& lock,
                  std::condition_variable_any& condition, std::stop_token stop, const std::function<bool()>& woken) {
      if (kind == UploaderWait::backOff) {
        std::lock_guard own(mutex);
        backOffSeconds.push_back(seconds);
        clock.advance(seconds * 1000LL);
        return;
      }
      {
        std::lock_guard own(mutex);
        intervalSeconds.push_back(seconds);
      }
      idleChanged.notify_all();
      condition.wait(lock, stop, woken);
    };
  }

  // Blocks until the worker has entered the wait between passes `times` times in all; the
  // limit only keeps a broken uploader from hanging the test run.
  bool idleFor(std::size_t times) {
    std::unique_lock own(mutex);
    return idleChanged.wait_for(own, std::chrono::seconds(20), [&] { return intervalSeconds.size() >= times; });
  }

  std::vector<std::int32_t> backOffs() const {
    std::lock_guard own(mutex);
    return backOffSeconds;
  }
  std::vector<std::int32_t> intervals() const {
    std::lock_guard own(mutex);
    return intervalSeconds;
  }

 private:
  FakeClock& clock;
  mutable std::mutex mutex;
  std::condition_variable idleChanged;
  std::vector<std::int32_t> backOffSeconds;
  std::vector<std::int32_t> intervalSeconds;
};

struct UploaderRig {
  explicit UploaderRig(std::int32_t passSeconds = 60)
      : uploader(api, fs, state, retry, log, clock, passSeconds, waits.function()) {
    http.script("serviceAccountToken", {{200, R"({"sessionJwt":"jwt-1"})"}});
    uploader.setOnCredentialDead([this] { ++credentialDeadCalls; });
  }

  // A record file whose content is its own name, so the server's log shows the order.
  void put(const std::string& name) { fs.putFile(outbox(name), name); }
  static std::string outbox(const std::string& name) { return kOutbox + "\\" + name; }
  static std::string history(const std::string& name) { return kHistory + "\\" + name; }

  // Starts the uploader and waits until the passes it set off are over.
  void startAndSettle() {
    uploader.start(kOutbox, kHistory);
    ASSERT_TRUE(waits.idleFor(2));
  }
  // Wakes the idle uploader and waits until the passes that set off are over.
  void wakeAndSettle() {
    const std::size_t idle = waits.intervals().size();
    uploader.wake();
    ASSERT_TRUE(waits.idleFor(idle + 1));
  }

  std::vector<std::string> sentBodies() const {
    std::vector<std::string> out;
    for (const auto& request : http.sentTo("ingest")) {
      out.push_back(request.body);
    }
    return out;
  }
  std::vector<std::string> uploaderMessages() const {
    std::vector<std::string> out;
    for (const auto& message : log.messages()) {
      if (message.rfind("[uploader] ", 0) == 0) {
        out.push_back(message);
      }
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
  RetrySchedule retry;
  InstantWaits waits{clock};
  ApiClient api{http, identity, log};
  std::atomic<int> credentialDeadCalls{0};
  FileUploader uploader;  // last: stopped before anything it uses goes away
};

}  // namespace ostrivel::testing
