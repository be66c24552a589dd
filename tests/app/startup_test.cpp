// The entry point's reading of its command line, the elevation hop, consoles and URL overrides.
#include "app/startup.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

using Args = std::vector<std::string>;

TEST(Startup, FoldsTheModeAndReadsSilentOnlyAfterCheck) {
  const std::tuple<Args, std::string, bool> cases[] = {
      {{}, "", false},
      {{"-STATUS"}, "status", false},
      {{"-Status", "--silent"}, "status", false},
      {{"\xC3\x84X"}, "\xC3\x84x", false},  // only A-Z fold; the UTF-8 of "Ä" passes unchanged
      {{"-CHECK", "--silent", "more"}, "-check", true},
      {{"-check", "--Silent"}, "-check", false},
      {{"-check"}, "-check", false},
  };
  for (const auto& [args, mode, silent] : cases) {
    const CommandLine command = parseCommandLine(args);
    EXPECT_EQ(command.mode, mode);
    EXPECT_EQ(command.silent, silent) << mode;
  }
}

// A copy whose token still reads as not elevated (elevation refused by policy, a filtered token)
// runs the verb and fails it instead of starting copies without end. Only words that may be typed
// from Explorer get a console of their own.
TEST(Startup, OnlyServiceVerbsHopToElevationAndAtMostOnce) {
  const std::tuple<std::string, bool, bool> cases[] = {
      // the word, whether it changes the service, may create a console
      {"-stop", true, false},  {"-INSTALL", true, false}, {"-uninstall", true, false}, {"-check", false, false},
      {"status", false, true}, {"", false, true},         {"help", false, true}};
  for (const auto& [word, changes, console] : cases) {
    const CommandLine command = parseCommandLine({word});
    EXPECT_EQ(changesTheService(command.mode), changes) << word;
    EXPECT_EQ(hopsToElevate(command, false), changes) << word;
    EXPECT_FALSE(hopsToElevate(command, true)) << word;
    EXPECT_FALSE(hopsToElevate(parseCommandLine(elevationHopArguments(command.mode)), false)) << word;
    EXPECT_EQ(parseCommandLine(elevationHopArguments(command.mode)).mode, command.mode);
    EXPECT_EQ(mayCreateConsole(command.mode), console) << word;
  }
}

// Typed in cmd, a GUI program starts without standard handles and reads a character device once
// attached; it is the runtime's handle, still none, that must send the stream to the console.
TEST(Startup, ReopensOnTheConsoleOnlyStreamsWithoutAHandleAndOverridesUrlsOnlyWithNonEmptyValues) {
  for (const StreamKind kind : {StreamKind::none, StreamKind::character, StreamKind::disk, StreamKind::pipe}) {
    EXPECT_EQ(reopensOnConsole(kind), kind == StreamKind::none) << static_cast<int>(kind);
  }
  const BaseUrls urls = resolveBaseUrls([](const std::string& name) -> std::optional<std::string> {
    if (name == "OSTRIVEL_APP_URL") {
      return "http://127.0.0.1:8080/app";
    }
    return name == "OSTRIVEL_API_URL" ? std::optional<std::string>("") : std::nullopt;
  });
  EXPECT_EQ(urls.api + " " + urls.dashboard + " " + urls.site,
            "https://api.ostrivel.com http://127.0.0.1:8080/app https://www.ostrivel.com");
}

}  // namespace
}  // namespace ostrivel
