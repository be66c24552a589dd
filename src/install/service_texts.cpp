// The texts the installation writes: command lines, the service description, the autostart entry.
#include "install/service_texts.h"

#include "infra/product.h"

namespace ostrivel {

std::string serviceCommandLine(const std::string& executablePath) {
  return "\"" + executablePath + "\" -service";
}

std::string autostartCommandLine(const std::string& executablePath) {
  return "\"" + executablePath + "\" -check --silent";
}

std::string serviceDescription() {
  const std::string product(kProductName);
  return fitDescription(product + " usage agent - records per-app and per-service CPU minutes for this PC. Remove with '" +
                        product + " -uninstall' or the installer.");
}

std::string fitDescription(const std::string& text) { return text.substr(0, 255); }

std::uint32_t failureActionsAccess(int restartActions) {
  // ChangeServiceConfig2 refuses restart actions unless the handle may also start the service.
  return restartActions > 0 ? kServiceChangeConfig | kServiceStart : kServiceChangeConfig;
}

}  // namespace ostrivel
