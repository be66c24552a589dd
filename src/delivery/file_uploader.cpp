// Delivers the outbox's record files to the web API one by one, oldest kind-and-time first, moves
// them to history, backs off on failures, notices a dead credential, and keeps both folders bounded.
#include "delivery/file_uploader.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <set>
#include <vector>

#include "delivery/api_answers.h"
#include "delivery/outbox_files.h"
#include "records/time_keys.h"

namespace ostrivel {

namespace {

constexpr std::int32_t kDefaultPassSeconds = 60;
constexpr std::int32_t kHistoryKeepDays = 7;
constexpr std::int32_t kOutboxKeepDays = 60;
constexpr std::int32_t kUnreadableDropAfter = 5;
constexpr std::int32_t kHoldAfterRefusals = 3;
constexpr std::int32_t kRefusedMinutes = 30;
constexpr std::int64_t kRefusedMs = kRefusedMinutes * 60 * 1000LL;
constexpr std::int32_t kOk = 200;

std::int32_t bumped(std::int32_t count) { return count < std::numeric_limits<std::int32_t>::max() ? count + 1 : count; }

}  // namespace

void waitOnCondition(UploaderWait, std::int32_t seconds, std::unique_lock<std::mutex>& lock,
                     std::condition_variable_any& condition, std::stop_token stop, const std::function<bool()>& woken) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(std::max(seconds, 0));
  condition.wait_until(lock, stop, deadline, woken);
}

FileUploader::FileUploader(ApiClient& api, FileSystem& fs, AgentStateStore& state, RetrySchedule& retry, Logger& log,
                           const Clock& clock, std::int32_t passIntervalSeconds, UploaderWaitFunction wait)
    : api(api),
      fs(fs),
      state(state),
      retry(retry),
      log(log),
      clock(clock),
      passIntervalSeconds(passIntervalSeconds > 0 ? passIntervalSeconds : kDefaultPassSeconds),
      wait(wait ? std::move(wait) : UploaderWaitFunction(waitOnCondition)) {}

FileUploader::~FileUploader() { stop(); }

void FileUploader::setOnCredentialDead(std::function<void()> callback) { onCredentialDead = std::move(callback); }

void FileUploader::start(const std::string& outbox, const std::string& history) {
  stop();
  outboxDir = outbox;
  historyDir = history;
  uploadOk = true;
  ageDirectory(historyDir, lastHistoryAgingDay, kHistoryKeepDays, Aging::history);
  {
    // A wake that raced the previous stop must not turn into a stray second pass.
    std::lock_guard lock(mutex);
    wakeRequested = false;
    rerunRequested = false;
  }
  fs.watch(outboxDir, [this] { wake(); });
  worker = std::jthread([this](std::stop_token stop) { run(stop); });
  wake();
}

void FileUploader::stop() {
  if (!worker.joinable()) {
    return;
  }
  fs.unwatch();
  {
    std::lock_guard lock(mutex);
    worker.request_stop();
    condition.notify_all();
  }
  worker.join();
}

void FileUploader::wake() {
  std::lock_guard lock(mutex);
  if (!wakeRequested) {
    wakeRequested = true;
    condition.notify_one();
  } else {
    rerunRequested = true;
  }
}

void FileUploader::run(std::stop_token stop) {
  const std::function<bool()> woken = [this] { return wakeRequested; };
  std::unique_lock lock(mutex);
  for (;;) {
    wait(UploaderWait::passInterval, passIntervalSeconds, lock, condition, stop, woken);
    if (stop.stop_requested()) {
      return;
    }
    // From here on a wake sets rerunRequested instead, so any number of them give one more pass.
    wakeRequested = true;
    for (;;) {
      lock.unlock();
      runPass(stop);
      lock.lock();
      if (!rerunRequested || stop.stop_requested()) {
        break;
      }
      rerunRequested = false;
    }
    wakeRequested = false;
  }
}

void FileUploader::runPass(std::stop_token stop) {
  std::string crash;
  try {
    drain(stop);
    return;
  } catch (const std::exception& e) {
    crash = std::string("[uploader] drain crashed: ") + e.what();
  } catch (...) {
    crash = "[uploader] drain crashed";
  }
  log.warn(crash);
  sleepFor(retry.next(), stop);
  std::lock_guard lock(mutex);
  rerunRequested = true;
}

void FileUploader::sleepFor(std::int32_t seconds, std::stop_token stop) {
  static const std::function<bool()> never = [] { return false; };
  std::unique_lock lock(mutex);
  wait(UploaderWait::backOff, seconds, lock, condition, stop, never);
}

void FileUploader::drain(std::stop_token stop) {
  ageDirectory(outboxDir, lastOutboxAgingDay, kOutboxKeepDays, Aging::outbox);
  std::set<std::string> skipSet;  // delivered but still in the outbox: not sent twice in one pass
  std::vector<std::string> paths;
  std::size_t index = 0;
  while (!stop.stop_requested()) {
    if (index >= paths.size()) {
      paths = listJson(fs, outboxDir);
      index = 0;
      if (std::all_of(paths.begin(), paths.end(), [&](const std::string& p) { return skipSet.count(p) > 0; })) {
        return;
      }
    }
    const std::string path = paths[index];
    if (skipSet.count(path) > 0) {
      ++index;
      continue;
    }
    const std::optional<std::string> content = fs.read(path);
    if (!content) {
      if (unreadable(path, stop)) {
        ++index;
      }
      continue;
    }
    lastUnreadable.clear();
    unreadableCount = 0;
    const std::string stamp = clock.localStamp();
    const AuthedResponse response = api.authedPost("ingest", *content);
    if (response.status == kOk) {
      if (!delivered(path, response, stamp)) {
        skipSet.insert(path);
      }
      ++index;
      continue;
    }
    switch (refused(path, response, stamp, stop)) {
      case Next::nextFile:
        ++index;
        break;
      case Next::sameFile:
        break;
      case Next::endPass:
        return;
    }
  }
}

bool FileUploader::unreadable(const std::string& path, std::stop_token stop) {
  const std::vector<std::string> listing = listJson(fs, outboxDir);
  if (std::find(listing.begin(), listing.end(), path) == listing.end()) {
    return true;  // it vanished between the listing and the read
  }
  unreadableCount = path == lastUnreadable ? bumped(unreadableCount) : 1;
  lastUnreadable = path;
  if (unreadableCount >= kUnreadableDropAfter && fs.remove(path)) {
    log.warn("[uploader] " + fileName(path) + " unreadable " + std::to_string(unreadableCount) + "x, dropped unsent");
    lastUnreadable.clear();
    unreadableCount = 0;
    return true;
  }
  const std::int32_t delay = retry.next();
  log.warn("[uploader] " + fileName(path) + " unreadable, retry in " + std::to_string(delay) + "s");
  sleepFor(delay, stop);
  return false;
}

bool FileUploader::delivered(const std::string& path, const HttpResponse& response, const std::string& stamp) {
  const std::string name = fileName(path);
  const bool deleteIt = jsonDelete(response.body);
  bool left = true;
  if (!deleteIt) {
    if (moveInto(fs, path, historyDir)) {
      ageDirectory(historyDir, lastHistoryAgingDay, kHistoryKeepDays, Aging::history);
    } else {
      left = false;
      log.warn("[uploader] " + name + " kept, history move failed", stamp);
    }
  } else if (!fs.remove(path)) {
    // Left in place it would be listed again at once and resent in a loop without back-off.
    left = false;
    log.warn("[uploader] " + name + " kept, removal failed", stamp);
  }
  state.setLastUploadAt(clock.utcStamp());
  // The account is paid up again: without this the logon check would call it paused until the
  // service restarts. Written only on the change, not with every upload.
  if (state.readState() == AgentState::suspended) {
    state.writeState(AgentState::ok);
    state.clearErrorCode();
  }
  if (const auto cadence = jsonCadenceMinutes(response.body); cadence && *cadence != state.cadenceMinutes()) {
    state.setCadenceMinutes(*cadence);
  }
  retry.reset();
  uploadOk = true;
  refusalStreak = 0;
  firstRefusedAt.reset();
  log.info("[uploader] " + name + " -> ok" + (deleteIt ? "" : " (kept)") + ", sampling " +
               std::to_string(state.cadenceMinutes()) + "m",
           stamp);
  return left;
}

FileUploader::Next FileUploader::refused(const std::string& path, const AuthedResponse& response,
                                         const std::string& stamp, std::stop_token stop) {
  uploadOk = false;
  const std::string name = fileName(path);
  const std::int32_t status = response.status;

  if (status == 401) {
    const std::int64_t now = clock.nowMs();
    if (!firstRefusedAt) {
      firstRefusedAt = now;
    } else if (now - *firstRefusedAt >= kRefusedMs) {
      api.dropSession();
      state.writeState(AgentState::tokenDead);
      state.setErrorCode("login-refused");
      log.warn("[uploader] login refused for " + std::to_string(kRefusedMinutes) + " minutes straight, credential dead",
               stamp);
      firstRefusedAt.reset();
      credentialDead();
      return Next::endPass;  // the file stays for the next credential
    }
  } else {
    firstRefusedAt.reset();
  }

  if (status == 403) {
    if (jsonString(response.body, "error") == "suspended") {
      // The account may be paid up again: keep the queue and ask slowly.
      state.writeState(AgentState::suspended);
      state.setErrorCode("suspended");
      retry.escalate();
    } else {
      api.dropSession();
      if (!response.fromExchange) {
        fs.remove(path);  // refused by ingest itself; a refused exchange never sent it
      }
      state.writeState(AgentState::tokenDead);
      state.setErrorCode("revoked");
      log.warn("[uploader] " + name + " -> 403 revoked", stamp);
      credentialDead();
      return Next::endPass;
    }
  }

  // Only ingest judges a record; a refused exchange is retried like any other failure.
  if ((status == 400 || status == 422) && !response.fromExchange) {
    refusalStreak = bumped(refusalStreak);
    if (refusalStreak < kHoldAfterRefusals) {
      const std::string error = forLog(jsonString(response.body, "error"));
      log.warn("[uploader] " + name + " -> " + std::to_string(status) + (error.empty() ? "" : " " + error) +
                   ", dropped unsent",
               stamp);
      fs.remove(path);
      return Next::nextFile;
    }
    // A server refusing everything is more likely broken than every record bad: stop dropping.
    if (refusalStreak == kHoldAfterRefusals) {
      log.error("[uploader] " + std::to_string(refusalStreak) +
                    " permanent refusals in a row, holding the queue instead of dropping it",
                stamp);
    }
  } else {
    refusalStreak = 0;
  }

  const std::int32_t delay = retry.next();
  log.warn("[uploader] " + name + " -> " + std::to_string(status) + ", retry in " + std::to_string(delay) + "s", stamp);
  sleepFor(delay, stop);
  return Next::sameFile;
}

void FileUploader::credentialDead() {
  if (onCredentialDead) {
    onCredentialDead();
  }
}

void FileUploader::ageDirectory(const std::string& dir, std::string& lastDay, std::int32_t keepDays, Aging flavour) {
  const std::string today = dayKey(clock.nowMs());
  if (dir.empty() || today == lastDay) {
    return;  // at most once per UTC day and folder
  }
  lastDay = today;
  const std::int32_t removed = purgeOldDays(fs, dir, keepDays);
  if (removed < 1) {
    return;
  }
  if (flavour == Aging::history) {
    log.info("[uploader] history aged past " + std::to_string(keepDays) + " days, " + std::to_string(removed) +
             " files");
  } else {
    log.error("[uploader] outbox over " + std::to_string(keepDays) + " days, " + std::to_string(removed) +
              " files dropped undelivered");
  }
}

}  // namespace ostrivel
