// The bridge between the service control manager and the pipeline, and the "-run" console stop.
#pragma once

#include <functional>
#include <stop_token>

#include "service/service_pipeline.h"

namespace ostrivel {

// Publishes the pipeline and runs the dispatcher; returns after the service stopped, or false
// at once when the process was not started by the service manager. start runs in the service's
// start, once the process is connected to the manager, before the pipeline.
bool startServiceDispatcher(ServicePipeline* pipeline, std::function<void()> start);

// Requested when the service manager stops the service.
std::stop_token serviceStopToken();
// Requested when a console event stops "-run".
std::stop_token consoleStopToken();

// "-run": runs the pipeline on the calling thread until a console event stops it; closing the
// console window waits for the pipeline's final flush before Windows ends the process. False when
// the pipeline failed.
bool runInConsole(ServicePipeline& pipeline);

}  // namespace ostrivel
