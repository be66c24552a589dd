// The service host's decisions: which status is reported when, and what each control does.
#include "service/service_host.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ostrivel {

const char* sessionChangeName(std::uint32_t eventType) {
  switch (eventType) {
    case scm::kSessionLogon:
      return "logon";
    case scm::kSessionLogoff:
      return "logoff";
    case scm::kSessionLock:
      return "lock";
    case scm::kSessionUnlock:
      return "unlock";
    default:
      return "";
  }
}

namespace {

void waitInRealTime(std::stop_token stop, std::chrono::nanoseconds duration) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, stop, duration, [] { return false; });
}

}  // namespace

ServiceHost::ServiceHost(StatusReporter& reporterIn, TickWait tickWaitIn)
    : reporter(reporterIn), tickWait(tickWaitIn ? std::move(tickWaitIn) : waitInRealTime) {}

void ServiceHost::reportStatus(std::uint32_t state, std::uint32_t waitHintMs, std::uint32_t exitCode) {
  ServiceStatus status;
  status.serviceExitCode = exitCode;
  status.state = state;
  status.waitHintMs = waitHintMs;
  // A pending state with a wait hint must show progress, or the manager gives up on it.
  status.checkpoint = waitHintMs == 0 ? 0 : ++checkpoint;
  status.acceptedControls = state == scm::kRunning ? scm::kAcceptedWhileRunning : 0;
  reporter.report(status);
}

void ServiceHost::watcherTick() {
  std::lock_guard lock(statusMutex);
  if (!starting && !stopping) {
    pendingForMs = 0;
    return;
  }
  pendingForMs += kWatcherTickMs;
  if (pendingForMs >= kPendingEveryMs) {
    reportStatus(starting ? scm::kStartPending : scm::kStopPending, kPendingWaitHintMs);
    pendingForMs = 0;
  }
}

void ServiceHost::serve(ServicePipeline* pipeline, const std::function<void()>& start) {
  reportStatus(scm::kStartPending, kPendingWaitHintMs);
  starting = true;
  running = true;
  std::jthread watcher([this](std::stop_token stop) {
    while (running && !stop.stop_requested()) {
      tickWait(stop, std::chrono::milliseconds(kWatcherTickMs));
      if (!stop.stop_requested()) {
        watcherTick();
      }
    }
  });

  if (start) {
    start();
  }
  {
    // Running before enrolment or any measuring begins: the manager must not wait for those.
    std::lock_guard lock(statusMutex);
    starting = false;
    reportStatus(scm::kRunning, 0);
  }

  const bool clean = pipeline == nullptr || pipeline->run(serviceStop.get_token());

  running = false;
  stopping = false;
  watcher.request_stop();
  watcher.join();
  // A pipeline that failed stops the service as failed: the manager's recovery actions then start
  // it again, where a clean stop would leave the PC unmeasured until the next boot.
  reportStatus(scm::kStopped, 0, clean ? 0 : kFailedExitCode);
}

std::uint32_t ServiceHost::handleControl(std::uint32_t control, std::uint32_t eventType, ServicePipeline* pipeline) {
  try {
    switch (control) {
      case scm::kControlStop:
      case scm::kControlShutdown:
        // Stop pending is reported before the stop is signalled: reported after, it could
        // race the final stopped report and leave the manager with a stale state.
        {
          std::lock_guard lock(statusMutex);
          stopping = true;
          reportStatus(scm::kStopPending, kPendingWaitHintMs);
        }
        serviceStop.request_stop();
        return scm::kNoError;
      case scm::kControlInterrogate:
        return scm::kNoError;
      case scm::kControlPowerEvent:
        if (eventType == scm::kPowerSuspend && pipeline != nullptr) {
          pipeline->suspending();
        }
        return scm::kNoError;
      case scm::kControlSessionChange: {
        const std::string name = sessionChangeName(eventType);
        if (!name.empty() && pipeline != nullptr) {
          pipeline->sessionChanged(name);
        }
        return scm::kNoError;
      }
      default:
        return scm::kCallNotImplemented;
    }
  } catch (...) {
    // The manager's control thread must never see an exception.
    return scm::kNoError;
  }
}

}  // namespace ostrivel
