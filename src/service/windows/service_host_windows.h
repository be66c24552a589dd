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

// Ctrl+C, Ctrl+Break and closing the console request a stop of the returned token's source.
std::stop_token installConsoleHandler();

}  // namespace ostrivel
