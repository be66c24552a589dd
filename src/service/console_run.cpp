// "-run" in a console: the console's control events stop the pipeline, and the handler waits for
// the final flush where Windows ends the process as soon as the handler returns.
#include "service/console_run.h"

#include <condition_variable>
#include <mutex>
#include <utility>

namespace ostrivel {

namespace {

void waitUntilFinished(std::stop_token finished, std::chrono::nanoseconds limit) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  never.wait_for(lock, finished, limit, [] { return false; });
}

}  // namespace

ConsoleRun::ConsoleRun() : ConsoleRun(waitUntilFinished) {}

ConsoleRun::ConsoleRun(Wait waitIn) : wait(std::move(waitIn)) {}

bool ConsoleRun::run(ServicePipeline& pipeline) {
  const bool clean = pipeline.run(stop.get_token());
  finished.request_stop();
  return clean;
}

bool ConsoleRun::handle(std::uint32_t event) {
  switch (event) {
    case console::kCtrlC:
    case console::kCtrlBreak:
      // The process goes on after the handler: run returns and the entry point exits.
      stop.request_stop();
      return true;
    case console::kClose:
    case console::kLogoff:
    case console::kShutdown:
      // Windows ends the process once the handler returns: the open bucket and the "stopped"
      // event are written only if the handler waits for the pipeline to get there.
      stop.request_stop();
      wait(finished.get_token(), kFinishLimit);
      return true;
    default:
      return false;
  }
}

}  // namespace ostrivel
