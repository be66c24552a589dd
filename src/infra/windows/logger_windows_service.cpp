// Writes the service's lines to the Windows Application event log under the source "Ostrivel".
#include "infra/windows/logger_windows_service.h"

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"

namespace ostrivel {

namespace {

WORD eventType(std::uint32_t level) {
  switch (level) {
    case kLevelError:
      return EVENTLOG_ERROR_TYPE;
    case kLevelWarn:
      return EVENTLOG_WARNING_TYPE;
    default:
      return EVENTLOG_INFORMATION_TYPE;
  }
}

}  // namespace

void LoggerWindowsService::log(std::uint32_t level, const std::string& message, const std::string& stamp) {
  const std::string source(kProductName);
  EventSourceHandle handle(RegisterEventSourceA(nullptr, source.c_str()));
  if (!handle) {
    return;
  }
  // The event viewer shows the level itself, so no tag goes into the text.
  const std::string text = stamp.empty() ? message : stamp + " " + message;
  const char* strings[] = {text.c_str()};
  ReportEventA(handle.get(), eventType(level), 0, 0, nullptr, 1, 0, strings, nullptr);
}

}  // namespace ostrivel
