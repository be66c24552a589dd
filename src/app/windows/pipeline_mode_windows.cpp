// The pipeline modes: "-run" in a console and "-service" under the service control manager.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "app/windows/console_windows.h"
#include "app/windows/modes_windows.h"
#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "delivery/retry_schedule.h"
#include "enrolment/initializer.h"
#include "infra/logger_console.h"
#include "infra/logger_file.h"
#include "infra/logger_mux.h"
#include "infra/product.h"
#include "infra/windows/folder_security_windows.h"
#include "infra/windows/http_request_windows.h"
#include "infra/windows/logger_windows_service.h"
#include "install/windows/scm_windows.h"
#include "measurement/windows/apps_registry_windows.h"
#include "measurement/windows/events_windows.h"
#include "measurement/windows/sampler_windows.h"
#include "measurement/windows/system_facts_windows.h"
#include "service/ostrivel_service.h"
#include "service/windows/service_host_windows.h"

namespace ostrivel {

namespace {

// Takes the data folder back; what it could not secure, the agent does not write into.
GuardReport secureForThePipeline(const SharedObjects& shared, Logger& log) {
  GuardReport guard = secureDataFolder(shared.paths.dataDirectory, "[main] ");
  shared.files.refuse(guard.unsecured);
  for (const auto& finding : guard.findings) {
    log.log(finding.level, finding.message, {});
  }
  return guard;
}

// Runs the guard again a pass interval apart until every folder is secured (a squatter's handle
// let go, say); meanwhile records are measured and those that cannot be queued are warned about.
void secureAgainUntilDone(std::stop_token stop, const SharedObjects& shared, Logger& log) {
  std::mutex mutex;
  std::condition_variable_any never;
  std::unique_lock lock(mutex);
  for (;;) {
    never.wait_for(lock, stop, std::chrono::seconds(kUploaderPassSeconds), [] { return false; });
    if (stop.stop_requested() || secureForThePipeline(shared, log).unsecured.empty()) {
      return;
    }
  }
}

}  // namespace

int runPipelineMode(const SharedObjects& shared) {
  const bool console = shared.command.mode == "-run";
  LoggerMux log;
  LoggerConsole consoleLogger;
  LoggerWindowsService eventLogger;
  if (console) {
    attachParentConsole();
  }
  // A service never writes to a console, a console run never to the event log.
  log.add(console ? static_cast<Logger*>(&consoleLogger) : &eventLogger);
  // The process's stop also cuts the HTTP request in flight, so the uploader returns at once.
  const std::stop_token stop = console ? consoleStopToken() : serviceStopToken();

  HttpRequestWindows http(shared.urls.api, stop);
  SamplerWindows sampler(shared.clock);
  EventsWindows events(shared.clock);
  AppsRegistryWindows catalogue(shared.clock);
  RetrySchedule retry;
  Identity identity;
  ApiClient api(http, identity, log);
  FileUploader uploader(api, shared.files, shared.state, retry, log, shared.clock, kUploaderPassSeconds);

  Initializer initializer(log, shared.registry, shared.identities, api, computerName(), std::string(kAgentVersion),
                          osVersionText(), kEnrolmentPollSeconds);
  OstrivelService service(log, events, sampler, shared.files, catalogue, shared.clock, shared.state, initializer,
                          uploader, identity, shared.paths.dataDirectory, kSamplingWindowSeconds);

  // Before anything is written under the data folder: the file logger creates its folder. A
  // console run that is not elevated could take nothing back; it writes only where it may.
  std::optional<LoggerFile> fileLogger;
  std::jthread secureAgain;  // declared after what it uses: joined before they go
  const auto prepare = [&] {
    GuardReport guard;
    if (!console || processIsElevated()) {
      guard = secureForThePipeline(shared, log);
    }
    fileLogger.emplace(shared.files, shared.paths.serviceLogDirectory, shared.clock, kLogRetentionDays);
    log.add(&*fileLogger);
    for (const auto& finding : guard.findings) {
      fileLogger->log(finding.level, finding.message, {});  // an administrator finds them in the day log too
    }
    log.info("[main] " + std::string(kProductName) + " " + std::string(kAgentVersion) + " -> " + shared.urls.api);
    if (!guard.unsecured.empty()) {
      secureAgain = std::jthread([&](std::stop_token own) { secureAgainUntilDone(own, shared, log); });
    }
  };

  if (console) {
    prepare();
    return runInConsole(service) ? 0 : 1;
  }
  // A service connects to the service manager first: the manager fails a start not connected
  // within 30 s, and the guard reads the security of every file kept, weeks of them after a
  // long time offline, on a disk that is slow at boot. It runs while the start is reported.
  return startServiceDispatcher(&service,
                                [&] {
                                  prepare();
                                  // Rewritten at every start, so a service installed by any means
                                  // restarts after a crash.
                                  if (!setFailureActions()) {
                                    log.warn("[main] service recovery actions not set");
                                  }
                                })
             ? 0
             : 1;
}

}  // namespace ostrivel
