// The bridge between the service control manager and the pipeline, and the "-run" console stop.
#pragma once

#include "service/service_pipeline.h"

namespace ostrivel {

// Publishes the pipeline and runs the dispatcher; returns after the service stopped, or false
// at once when the process was not started by the service manager.
bool startServiceDispatcher(ServicePipeline* pipeline);

// "-run": runs the pipeline on the calling thread until a console event stops it; closing the
// console window waits for the pipeline's final flush before Windows ends the process.
void runInConsole(ServicePipeline& pipeline);

}  // namespace ostrivel
