// Power and session moments, and the agent's own start and stop, as "event" records for one callback.
#include "measurement/events.h"

#include <array>
#include <utility>

namespace ostrivel {

bool isEventKind(const std::string& kind) {
  static const std::array<std::string, 10> kKinds{"boot",  "shutdown", "suspend", "resume",  "logon",
                                                  "logoff", "lock",    "unlock",  "started", "stopped"};
  for (const auto& known : kKinds) {
    if (kind == known) {
      return true;
    }
  }
  return false;
}

Events::Events(const Clock& clockIn) : clock(clockIn) {}

void Events::start(Callback callbackIn) {
  {
    std::lock_guard guard(lock);
    callback = std::move(callbackIn);
    running = true;
  }
  emit("started", clock.nowMs());
  startSource([this](std::int64_t at, const std::string& kind) { emit(kind, at); });
}

void Events::stop() {
  {
    std::lock_guard guard(lock);
    if (!running) {
      return;
    }
  }
  // Without the lock, so a poll in progress can finish its callback before the source is joined.
  stopSource();
  emit("stopped", clock.nowMs());
  std::lock_guard guard(lock);
  running = false;
  callback = nullptr;
}

void Events::onSessionChange(const std::string& kind) {
  if (kind == "logon" || kind == "logoff" || kind == "lock" || kind == "unlock") {
    emit(kind, clock.nowMs());
  }
}

void Events::emit(const std::string& kind, std::int64_t at) {
  std::lock_guard guard(lock);
  if (!callback || !isEventKind(kind)) {
    return;
  }
  nlohmann::json payload = {{"at", at}, {"kind", kind}};
  callback(Data(std::move(payload), "event"));
}

}  // namespace ostrivel
