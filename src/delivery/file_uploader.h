// Delivers the outbox's record files to the web API one by one, oldest kind-and-time first, moves
// them to history, backs off on failures, notices a dead credential, and keeps both folders bounded.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "delivery/api_client.h"
#include "delivery/retry_schedule.h"
#include "enrolment/agent_state_store.h"
#include "infra/clock.h"
#include "infra/file_system.h"
#include "infra/logger.h"

namespace ostrivel {

enum class UploaderWait { passInterval, backOff };

// The worker's two timed waits: between passes, and a back-off. Called with `lock` (over the
// uploader's mutex) held and returns with it held. It must end once `seconds` have passed or
// stop is requested, and for the pass interval also once `woken` holds after a notification of
// `condition` (`woken` is always false for a back-off: new files do not shorten it).
using UploaderWaitFunction = std::function<void(
    UploaderWait kind, std::int32_t seconds, std::unique_lock<std::mutex>& lock, std::condition_variable_any& condition,
    std::stop_token stop, const std::function<bool()>& woken)>;

// The production wait: on the condition variable, until the steady-clock deadline.
void waitOnCondition(UploaderWait kind, std::int32_t seconds, std::unique_lock<std::mutex>& lock,
                     std::condition_variable_any& condition, std::stop_token stop, const std::function<bool()>& woken);

class FileUploader {
 public:
  // passIntervalSeconds ≤ 0 means 60. Nothing starts before `start`.
  FileUploader(ApiClient& api, FileSystem& fs, AgentStateStore& state, RetrySchedule& retry, Logger& log,
               const Clock& clock, std::int32_t passIntervalSeconds, UploaderWaitFunction wait = waitOnCondition);
  FileUploader(const FileUploader&) = delete;
  FileUploader& operator=(const FileUploader&) = delete;
  ~FileUploader();

  // Called on the worker thread when the server has refused the credential for good; set it
  // before `start`.
  void setOnCredentialDead(std::function<void()> callback);
  // Ages the history, watches the outbox and starts the worker with a first pass at once. May
  // follow a `stop` (counters and aging days carry over).
  void start(const std::string& outbox, const std::string& history);
  // Ends the watch and the worker; a request in flight finishes first (its own time-outs).
  void stop();
  // Requests a pass; wakes arriving during a pass cause exactly one more pass after it.
  void wake();
  // False after any answer but 200 (a transport failure included) until the next 200.
  bool lastUploadOk() const { return uploadOk.load(); }

 private:
  enum class Aging { history, outbox };

  enum class Next { nextFile, sameFile, endPass };

  void run(std::stop_token stop);
  void runPass(std::stop_token stop);
  void drain(std::stop_token stop);
  void sleepFor(std::int32_t seconds, std::stop_token stop);
  // True when the pass moves past the file (it vanished or was dropped), false to try it again.
  bool unreadable(const std::string& path, std::stop_token stop);
  // A 200: false when the file stays in the outbox and must be skipped for the rest of the pass.
  bool delivered(const std::string& path, const HttpResponse& response, const std::string& stamp);
  Next refused(const std::string& path, const AuthedResponse& response, const std::string& stamp, std::stop_token stop);
  void credentialDead();
  void ageDirectory(const std::string& dir, std::string& lastDay, std::int32_t keepDays, Aging flavour);

  ApiClient& api;
  FileSystem& fs;
  AgentStateStore& state;
  RetrySchedule& retry;
  Logger& log;
  const Clock& clock;
  std::int32_t passIntervalSeconds;
  UploaderWaitFunction wait;
  std::function<void()> onCredentialDead;
  std::string outboxDir;
  std::string historyDir;

  std::mutex mutex;
  std::condition_variable_any condition;
  bool wakeRequested = false;
  bool rerunRequested = false;
  std::atomic<bool> uploadOk{true};

  // Worker-only state; it survives from pass to pass and across restarts.
  std::string lastUnreadable;
  std::int32_t unreadableCount = 0;
  std::optional<std::int64_t> firstRefusedAt;
  std::int32_t refusalStreak = 0;
  std::string lastHistoryAgingDay;
  std::string lastOutboxAgingDay;

  std::jthread worker;
};

}  // namespace ostrivel
