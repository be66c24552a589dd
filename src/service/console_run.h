// "-run" in a console: the console's control events stop the pipeline, and the handler waits for
// the final flush where Windows ends the process as soon as the handler returns.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <stop_token>

#include "service/service_pipeline.h"

namespace ostrivel {

// The console control events (wincon.h).
namespace console {
inline constexpr std::uint32_t kCtrlC = 0;
inline constexpr std::uint32_t kCtrlBreak = 1;
inline constexpr std::uint32_t kClose = 2;
inline constexpr std::uint32_t kLogoff = 5;
inline constexpr std::uint32_t kShutdown = 6;
}  // namespace console

class ConsoleRun {
 public:
  // Blocks until finished is stopped (the pipeline returned) or limit has passed.
  using Wait = std::function<void(std::stop_token finished, std::chrono::nanoseconds limit)>;
  // Windows ends the process 5 s after a close, logoff or shutdown event reached the handler;
  // the wait ends a little before, so the handler returns on its own.
  static constexpr std::chrono::milliseconds kFinishLimit{4500};

  ConsoleRun();
  explicit ConsoleRun(Wait wait);

  // Runs the pipeline on the calling thread until a console event stops it.
  // False when the pipeline failed.
  bool run(ServicePipeline& pipeline);
  // The console control handler, on a thread of the system: true when the event was handled,
  // false to let the next handler have it.
  bool handle(std::uint32_t event);
  // Requested when a console event stops the run.
  std::stop_token stopToken() const { return stop.get_token(); }

 private:
  Wait wait;
  std::stop_source stop;
  std::stop_source finished;
};

}  // namespace ostrivel
