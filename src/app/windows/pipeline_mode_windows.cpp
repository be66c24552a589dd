// The pipeline modes: "-run" in a console and "-service" under the service control manager.
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

  // Before anything is written under the data folder: the file logger creates its folder. A
  // console run that is not elevated could take nothing back; it writes only where it may.
  GuardReport guard;
  if (!console || processIsElevated()) {
    guard = secureDataFolder(shared.paths.dataDirectory);
  }
  for (const auto& finding : guard.findings) {
    log.log(finding.level, finding.message, {});
  }
  LoggerFile fileLogger(shared.paths.serviceLogDirectory, shared.clock, kLogRetentionDays);
  log.add(&fileLogger);
  for (const auto& finding : guard.findings) {
    fileLogger.log(finding.level, finding.message, {});  // an administrator finds them in the day log too
  }
  log.info("[main] " + std::string(kProductName) + " " + std::string(kAgentVersion) + " -> " + shared.urls.api);

  HttpRequestWindows http(shared.urls.api);
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

  if (console) {
    runInConsole(service);
    return 0;
  }
  // Rewritten at every start, so a service installed by any means restarts after a crash.
  if (!setFailureActions()) {
    log.warn("[main] service recovery actions not set");
  }
  return startServiceDispatcher(&service) ? 0 : 1;
}

}  // namespace ostrivel
