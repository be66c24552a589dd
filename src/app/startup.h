// What the entry point fixes before it builds anything: the mode, the base URLs, the folders.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel {

struct CommandLine {
  std::string mode;     // first argument, A-Z folded to lower case, "-status" read as "status"
  bool silent = false;  // "-check --silent" (the flag compared exactly)
};

// args are the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// "-stop", "-install" and "-uninstall" change the service and need an elevated process.
bool changesTheService(const std::string& mode);

// "-check" and the service-changing verbs only attach to a parent console; every other word may
// create a console of its own (started from Explorer) and then waits for Enter before closing it.
bool mayCreateConsole(const std::string& mode);

inline constexpr std::string_view kBuiltInApiUrl = "https://api.ostrivel.com";
inline constexpr std::string_view kBuiltInDashboardUrl = "https://app.ostrivel.com";
inline constexpr std::string_view kBuiltInSiteUrl = "https://www.ostrivel.com";

struct BaseUrls {
  std::string api;
  std::string dashboard;
  std::string site;
};

using EnvironmentReader = std::function<std::optional<std::string>(const std::string& name)>;

// OSTRIVEL_API_URL, OSTRIVEL_APP_URL and OSTRIVEL_SITE_URL override the built-in URLs when set
// and not empty; nothing validates them.
BaseUrls resolveBaseUrls(const EnvironmentReader& environment);

struct AgentPaths {
  std::string dataDirectory;        // <ProgramData>\Ostrivel
  std::string serviceLogDirectory;  // ...\logs\service
  std::string userLogDirectory;     // ...\logs\ui
};

AgentPaths agentPaths(const std::string& programDataRoot);

inline constexpr int kLogRetentionDays = 14;
inline constexpr int kUploaderPassSeconds = 60;
inline constexpr int kEnrolmentPollSeconds = 10;
inline constexpr int kSamplingWindowSeconds = 60;

}  // namespace ostrivel
