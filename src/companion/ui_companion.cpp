// The user-side object: the logon check, the status report and the console verbs.
#include "companion/ui_companion.h"

#include "infra/product.h"

namespace ostrivel {

std::string usageLine() {
  return "usage: " + std::string(kProductName) + " [-check | -service | -run | -stop | -install | -uninstall | status]";
}

UiCompanion::UiCompanion(Logger& loggerIn) : logger(loggerIn) {}

std::int32_t UiCompanion::runVerb(const std::string& verb, bool silent) {
  logger.info("[ui] verb: " + (verb.empty() ? std::string("(none)") : verb) + (silent ? " --silent" : ""));
  logger.info(usageLine());
  return verb.empty() ? 0 : 1;
}

}  // namespace ostrivel
