// The entry point's reading of its command line, environment overrides and folders.
#include "app/startup.h"

#include <gtest/gtest.h>
#include <map>

namespace ostrivel {
namespace {

TEST(Startup, FoldsTheModeAndReadsSilentOnlyAfterCheck) {
  EXPECT_EQ(parseCommandLine({}).mode, "");
  for (const char* spelling : {"-STATUS", "-Status", "-status", "status"}) {
    EXPECT_EQ(parseCommandLine({spelling}).mode, "status") << spelling;
  }
  EXPECT_EQ(parseCommandLine({"-SERVICE"}).mode, "-service");
  // Only A-Z fold; other bytes (here UTF-8 of "Ä") pass unchanged.
  EXPECT_EQ(parseCommandLine({"\xC3\x84X"}).mode, "\xC3\x84x");

  EXPECT_TRUE(parseCommandLine({"-check", "--silent"}).silent);
  EXPECT_TRUE(parseCommandLine({"-CHECK", "--silent", "more"}).silent);
  EXPECT_FALSE(parseCommandLine({"-check", "--Silent"}).silent);
  EXPECT_FALSE(parseCommandLine({"-check"}).silent);
  EXPECT_FALSE(parseCommandLine({"status", "--silent"}).silent);
}

TEST(Startup, OverridesBaseUrlsOnlyWithNonEmptyVariables) {
  std::map<std::string, std::string> env{
      {"OSTRIVEL_API_URL", ""},
      {"OSTRIVEL_APP_URL", "http://127.0.0.1:8080/app"},
  };
  const BaseUrls urls = resolveBaseUrls([&](const std::string& name) -> std::optional<std::string> {
    const auto found = env.find(name);
    return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
  });
  EXPECT_EQ(urls.api, kBuiltInApiUrl);
  EXPECT_EQ(urls.dashboard, "http://127.0.0.1:8080/app");
  EXPECT_EQ(urls.site, kBuiltInSiteUrl);
  for (const auto builtIn : {kBuiltInApiUrl, kBuiltInDashboardUrl, kBuiltInSiteUrl}) {
    EXPECT_EQ(builtIn.rfind("https://", 0), 0u);
  }
}

TEST(Startup, PlacesDataAndLogFoldersUnderProgramData) {
  const AgentPaths paths = agentPaths("C:\\ProgramData");
  EXPECT_EQ(paths.dataDirectory, "C:\\ProgramData\\Ostrivel");
  EXPECT_EQ(paths.serviceLogDirectory, "C:\\ProgramData\\Ostrivel\\logs\\service");
  EXPECT_EQ(paths.userLogDirectory, "C:\\ProgramData\\Ostrivel\\logs\\ui");
}

// A copy whose token still reads as not elevated (elevation refused by policy, a filtered token)
// runs the verb and fails it instead of starting copies without end.
TEST(Startup, HopsToElevationAtMostOnce) {
  const auto hops = [](const std::vector<std::string>& args, bool elevated) {
    return hopsToElevate(parseCommandLine(args), elevated);
  };
  EXPECT_TRUE(hops({"-INSTALL"}, false));
  EXPECT_FALSE(hops({"-install"}, true));
  EXPECT_FALSE(hops({"-check"}, false));
  EXPECT_FALSE(hops({"status"}, false));
  for (const char* verb : {"-stop", "-install", "-uninstall"}) {
    const auto copy = elevationHopArguments(verb);
    EXPECT_EQ(parseCommandLine(copy).mode, verb);
    EXPECT_FALSE(hops(copy, false)) << verb;
  }
}

}  // namespace
}  // namespace ostrivel

namespace ostrivel {
namespace {

TEST(Startup, RoutesServiceVerbsThroughElevationAndOnlyOtherWordsToANewConsole) {
  for (const char* verb : {"-stop", "-install", "-uninstall"}) {
    EXPECT_TRUE(changesTheService(verb)) << verb;
    EXPECT_FALSE(mayCreateConsole(verb)) << verb;
  }
  EXPECT_FALSE(changesTheService("-check"));
  EXPECT_FALSE(mayCreateConsole("-check"));
  for (const char* word : {"status", "", "help", "-run-later"}) {
    EXPECT_FALSE(changesTheService(word)) << word;
    EXPECT_TRUE(mayCreateConsole(word)) << word;
  }
}

// Typed in cmd, a GUI program starts without standard handles and reads a character device once
// attached; it is the runtime's handle, still none, that must send the stream to the console.
TEST(Startup, ReopensOnTheConsoleOnlyStreamsTheRuntimeHasNoHandleFor) {
  EXPECT_TRUE(reopensOnConsole(StreamKind::none));
  for (const StreamKind kept : {StreamKind::character, StreamKind::disk, StreamKind::pipe}) {
    EXPECT_FALSE(reopensOnConsole(kept)) << static_cast<int>(kept);
  }
}

}  // namespace
}  // namespace ostrivel
