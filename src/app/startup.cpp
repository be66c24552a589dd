// What the entry point fixes before it builds anything: the mode, the base URLs, the folders.
#include "app/startup.h"

#include "infra/product.h"

namespace ostrivel {

namespace {

constexpr const char* kElevatedCopyMarker = "--elevated-copy";

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args) {
  CommandLine command;
  if (!args.empty()) {
    command.mode = args[0];
    // Only ASCII letters fold: a locale-aware tolower could change bytes of other characters.
    for (char& c : command.mode) {
      if (c >= 'A' && c <= 'Z') {
        c = static_cast<char>(c - 'A' + 'a');
      }
    }
  }
  if (command.mode == "-status") {
    command.mode = "status";
  }
  command.silent = command.mode == "-check" && args.size() >= 2 && args[1] == "--silent";
  command.elevatedCopy = changesTheService(command.mode) && args.size() >= 2 && args[1] == kElevatedCopyMarker;
  return command;
}

bool changesTheService(const std::string& mode) {
  return mode == "-stop" || mode == "-install" || mode == "-uninstall";
}

bool hopsToElevate(const CommandLine& command, bool elevated) {
  return changesTheService(command.mode) && !elevated && !command.elevatedCopy;
}

std::vector<std::string> elevationHopArguments(const std::string& mode) { return {mode, kElevatedCopyMarker}; }

bool mayCreateConsole(const std::string& mode) { return mode != "-check" && !changesTheService(mode); }

bool reopensOnConsole(StreamKind runtimeHandle) { return runtimeHandle == StreamKind::none; }

BaseUrls resolveBaseUrls(const EnvironmentReader& environment) {
  auto pick = [&](const char* name, std::string_view builtIn) {
    const auto value = environment(name);
    return value && !value->empty() ? *value : std::string(builtIn);
  };
  return BaseUrls{
      pick("OSTRIVEL_API_URL", kBuiltInApiUrl),
      pick("OSTRIVEL_APP_URL", kBuiltInDashboardUrl),
      pick("OSTRIVEL_SITE_URL", kBuiltInSiteUrl),
  };
}

AgentPaths agentPaths(const std::string& programDataRoot) {
  const std::string data = programDataRoot + "\\" + std::string(kProductName);
  return AgentPaths{
      data,
      data + "\\logs\\service",
      data + "\\logs\\ui",
  };
}

}  // namespace ostrivel
