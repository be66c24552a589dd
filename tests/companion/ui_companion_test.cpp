// The verb dispatcher's own lines and exit codes.
#include "companion/ui_companion.h"

#include <gtest/gtest.h>

#include "support/recording_logger.h"

namespace ostrivel {
namespace {

const std::string kUsage =
    "usage: Ostrivel [-check | -service | -run | -stop | -install | -uninstall | status]";

TEST(UiCompanion, PrintsUsageForTheEmptyVerbAndForUnknownWords) {
  testing::RecordingLogger log;
  UiCompanion companion(log);
  EXPECT_EQ(companion.runVerb("", false), 0);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"[ui] verb: (none)", kUsage}));

  log.clear();
  EXPECT_EQ(companion.runVerb("help", false), 1);
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"[ui] verb: help", kUsage}));
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.level, kLevelInfo);
  }
}

}  // namespace
}  // namespace ostrivel
