// The user-side object: the logon check, the status report and the console verbs.
#pragma once

#include <cstdint>
#include <string>

#include "infra/logger.h"

namespace ostrivel {

// The usage line printed for a word no verb knows.
std::string usageLine();

class UiCompanion {
 public:
  explicit UiCompanion(Logger& logger);

  // Logs what it was asked, runs the verb and returns the process exit code.
  std::int32_t runVerb(const std::string& verb, bool silent);

 private:
  Logger& logger;
};

}  // namespace ostrivel
