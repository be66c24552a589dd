// The entry point's reading of its command line, the elevation hop and consoles.
#include "app/startup.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

// Only A-Z fold; "--silent" counts, exactly, only after "-check". A copy whose token still reads
// as not elevated (elevation refused by policy, a filtered token) runs the verb and fails it
// instead of starting copies without end. Only words that may be typed from Explorer get a
// console of their own.
TEST(Startup, FoldsTheModeReadsSilentAfterCheckHopsToElevationAtMostOnceAndReopensOnlyMissingStreams) {
  // The words, the mode, silent, whether it changes the service, may create a console.
  const std::tuple<std::vector<std::string>, std::string, bool, bool, bool> cases[] = {
      {{}, "", false, false, true},
      {{"-Status", "--silent"}, "status", false, false, true},
      {{"\xC3\x84X"}, "\xC3\x84x", false, false, true},  // the UTF-8 of "Ä" passes unchanged
      {{"-CHECK", "--silent", "more"}, "-check", true, false, false},
      {{"-check", "--Silent"}, "-check", false, false, false},
      {{"-stop"}, "-stop", false, true, false},
      {{"-INSTALL"}, "-install", false, true, false},
      {{"-uninstall"}, "-uninstall", false, true, false}};
  for (const auto& [args, mode, silent, changes, console] : cases) {
    const CommandLine command = parseCommandLine(args);
    EXPECT_EQ(std::tuple(command.mode, command.silent, mayCreateConsole(mode)), std::tuple(mode, silent, console));
    EXPECT_EQ(hopsToElevate(command, false), changes) << mode;
    EXPECT_FALSE(hopsToElevate(command, true)) << mode;
    const CommandLine copy = parseCommandLine(elevationHopArguments(mode));
    EXPECT_EQ(copy.mode, mode);
    EXPECT_FALSE(hopsToElevate(copy, false)) << mode;
  }
  // Typed in cmd, a GUI program starts without standard handles and reads a character device once
  // attached; it is the runtime's handle, still none, that must send the stream to the console.
  for (const StreamKind kind : {StreamKind::none, StreamKind::character, StreamKind::disk, StreamKind::pipe}) {
    EXPECT_EQ(reopensOnConsole(kind), kind == StreamKind::none) << static_cast<int>(kind);
  }
}

}  // namespace
}  // namespace ostrivel
