// What the entry point fixes before it builds anything: the mode, the base URLs, the folders.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrivel {

struct CommandLine {
  std::string mode;           // first argument, A-Z folded to lower case, "-status" read as "status"
  bool silent = false;        // "-check --silent" (the flag compared exactly)
  bool elevatedCopy = false;  // a service verb followed by the hop's marker: started by the hop
};

// args are the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& args);

// "-stop", "-install" and "-uninstall" change the service and need an elevated process.
bool changesTheService(const std::string& mode);

// The process is not elevated and must start an elevated copy of itself for the verb. The copy
// never hops again: if its token still reads as not elevated, it runs the verb and reports the
// failure instead of starting copies without end.
bool hopsToElevate(const CommandLine& command, bool elevated);
// The arguments the elevated copy is started with: the mode and a marker the usage never shows.
std::vector<std::string> elevationHopArguments(const std::string& mode);

// "-check" and the service-changing verbs only attach to a parent console; every other word may
// create a console of its own (started from Explorer) and then waits for Enter before closing it.
bool mayCreateConsole(const std::string& mode);

// What a standard stream's handle is (GetFileType); none when the stream has no handle.
enum class StreamKind { none, character, disk, pipe };

// Whether a standard stream is reopened on the console the process attached to, given the kind
// of the handle the C runtime writes that stream to. Attaching gives the process the console's
// standard handles where it had none, but the C runtime keeps the handle it found at start-up:
// only the runtime's own handle tells whether the stream writes anywhere. A redirection (a file,
// a pipe, a device such as NUL) stays.
bool reopensOnConsole(StreamKind runtimeHandle);

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
