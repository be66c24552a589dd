// Power and session moments, and the agent's own start and stop, as "event" records for one callback.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "infra/clock.h"
#include "infra/data.h"

namespace ostrivel {

// The only kinds ever emitted; anything else is dropped without a trace.
bool isEventKind(const std::string& kind);

class Events {
 public:
  using Callback = std::function<void(const Data&)>;
  using SourceCallback = std::function<void(std::int64_t at, const std::string& kind)>;

  explicit Events(const Clock& clock);
  Events(const Events&) = delete;
  Events& operator=(const Events&) = delete;
  virtual ~Events() = default;

  // Emits "started", then starts the platform source.
  void start(Callback callback);
  // Stops the platform source, emits "stopped" and drops the callback; nothing when not running.
  void stop();
  // "logon", "logoff", "lock" or "unlock"; any other text is ignored.
  void onSessionChange(const std::string& kind);

 protected:
  // Start delivering platform events through the callback; stopSource waits until it stopped.
  virtual void startSource(SourceCallback sourceCallback) = 0;
  virtual void stopSource() = 0;

 private:
  void emit(const std::string& kind, std::int64_t at);

  const Clock& clock;
  // Held while the callback runs, so the receiver never runs twice at once.
  std::mutex lock;
  Callback callback;
  bool running = false;
};

}  // namespace ostrivel
