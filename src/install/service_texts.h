// The texts the installation writes: command lines, the service description, the autostart entry.
#pragma once

#include <cstdint>
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

// Service access rights (winsvc.h) the installation asks for.
inline constexpr std::uint32_t kServiceChangeConfig = 0x0002;
inline constexpr std::uint32_t kServiceStart = 0x0010;

// The access a service handle needs to set failure actions with that many restart actions:
// restarts need the right to start the service besides the right to change its configuration.
std::uint32_t failureActionsAccess(int restartActions);

}  // namespace ostrivel
