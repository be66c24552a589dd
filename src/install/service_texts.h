// The texts the installation writes: command lines, the service description, the autostart entry.
#pragma once

#include <string>

namespace ostrivel {

// "\"<path>\" -service": what the service manager starts.
std::string serviceCommandLine(const std::string& executablePath);
// "\"<path>\" -check --silent": what runs at every user's logon.
std::string autostartCommandLine(const std::string& executablePath);
// The description users see in the services console, cut to the 255 characters it may hold.
std::string serviceDescription();
std::string fitDescription(const std::string& text);

// Failure actions: three restarts a minute apart, the count reset after a day without failure.
inline constexpr unsigned kFailureResetSeconds = 86400;
inline constexpr unsigned kFailureRestartDelayMs = 60000;
inline constexpr int kFailureRestartCount = 3;

}  // namespace ostrivel
