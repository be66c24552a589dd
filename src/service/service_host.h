// The service host's decisions: which status is reported when, and what each control does.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>

#include "service/service_pipeline.h"

namespace ostrivel {

// The service manager's numbers this host speaks (winsvc.h, pbt.h, wtsapi32.h, winerror.h).
namespace scm {
inline constexpr std::uint32_t kStopped = 1;
inline constexpr std::uint32_t kStartPending = 2;
inline constexpr std::uint32_t kStopPending = 3;
inline constexpr std::uint32_t kRunning = 4;

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlPause = 2;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;
inline constexpr std::uint32_t kControlPowerEvent = 0x0D;
inline constexpr std::uint32_t kControlSessionChange = 0x0E;

// Stop, shutdown, power event and session change.
inline constexpr std::uint32_t kAcceptedWhileRunning = 0xC5;

inline constexpr std::uint32_t kPowerSuspend = 4;  // PBT_APMSUSPEND
inline constexpr std::uint32_t kSessionLogon = 5;
inline constexpr std::uint32_t kSessionLogoff = 6;
inline constexpr std::uint32_t kSessionLock = 7;
inline constexpr std::uint32_t kSessionUnlock = 8;

inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kCallNotImplemented = 120;
}  // namespace scm

struct ServiceStatus {
  std::uint32_t state = 0;
  std::uint32_t waitHintMs = 0;
  std::uint32_t checkpoint = 0;
  std::uint32_t acceptedControls = 0;
  std::uint32_t serviceExitCode = 0;  // not 0: the service stopped because it failed
};

// Where status reports go: SetServiceStatus on Windows, a list in tests.
class StatusReporter {
 public:
  virtual ~StatusReporter() = default;
  virtual void report(const ServiceStatus& status) = 0;
};

// "logon", "logoff", "lock", "unlock" for the four session events the agent records; empty
// for every other session event (remote connect, console connect, ...).
const char* sessionChangeName(std::uint32_t eventType);

class ServiceHost {
 public:
  static constexpr std::uint32_t kPendingWaitHintMs = 20000;
  static constexpr int kWatcherTickMs = 500;
  static constexpr int kPendingEveryMs = 5000;
  // The service-specific exit code of a pipeline that failed.
  static constexpr std::uint32_t kFailedExitCode = 1;

  // The status watcher's wait between ticks: returns after the duration or at once on a stop.
  using TickWait = std::function<void(std::stop_token, std::chrono::nanoseconds)>;

  // Without a tick wait, the watcher waits in real time.
  explicit ServiceHost(StatusReporter& reporter, TickWait tickWait = {});

  // The service main function after the handler is registered, so only once the process is
  // connected to the service manager: reports start pending, runs start (work that may outlast
  // the manager's patience, such as the data folder's guard), reports running, runs the pipeline
  // until a stop is requested, reports stopped. While start or a stop takes long, the watcher
  // thread repeats the pending report every 5 s with a rising checkpoint.
  void serve(ServicePipeline* pipeline, const std::function<void()>& start = {});
  // The control handler; never throws, never waits for the pipeline.
  std::uint32_t handleControl(std::uint32_t control, std::uint32_t eventType, ServicePipeline* pipeline);
  // One 500 ms step of the status watcher.
  void watcherTick();

  void reportStatus(std::uint32_t state, std::uint32_t waitHintMs, std::uint32_t exitCode = 0);
  std::stop_token stopToken() const { return serviceStop.get_token(); }

 private:
  StatusReporter& reporter;
  TickWait tickWait;
  std::stop_source serviceStop;
  std::atomic<bool> running{false};
  std::atomic<bool> starting{false};
  std::atomic<bool> stopping{false};
  std::atomic<std::uint32_t> checkpoint{0};
  // Orders the watcher's pending reports against the changes of state, so a late start pending
  // never follows running.
  std::mutex statusMutex;
  // Only the watcher thread (or a test driving ticks) touches this.
  int pendingForMs = 0;
};

}  // namespace ostrivel
