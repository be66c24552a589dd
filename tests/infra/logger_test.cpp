// The level tags, the mux's order and the console's choice of stream.
#include <gtest/gtest.h>

#include "infra/logger_console.h"
#include "infra/logger_mux.h"
#include "support/recording_logger.h"

namespace ostrivel {
namespace {

TEST(Logger, TagsLevelsAndWritesUnknownLevelsAsInfo) {
  EXPECT_EQ(levelTag(0), "[info]");
  EXPECT_EQ(levelTag(1), "[warn]");
  EXPECT_EQ(levelTag(2), "[error]");
  EXPECT_EQ(levelTag(7), "[info]");
}

TEST(LoggerMux, ForwardsEveryLineToEachMemberInOrder) {
  testing::RecordingLogger first;
  testing::RecordingLogger second;
  LoggerMux mux;
  mux.add(&first);
  mux.add(&second);
  mux.warn("[service] something", "stamp");
  for (const auto* member : {&first, &second}) {
    ASSERT_EQ(member->lines().size(), 1u);
    EXPECT_EQ(member->lines()[0].level, 1u);
    EXPECT_EQ(member->lines()[0].message, "[service] something");
    EXPECT_EQ(member->lines()[0].stamp, "stamp");
  }
}

TEST(LoggerConsole, SendsErrorsToStandardErrorAndTheRestToStandardOutput) {
  LoggerConsole console;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  console.info("[ui] hello");
  console.log(7, "[ui] odd level", "");
  console.warn("[ui] careful", "2026-03-01T14:05:09+01:00");
  console.error("[ui] broken");
  const std::string out = ::testing::internal::GetCapturedStdout();
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out,
            "[info] [ui] hello\n"
            "[info] [ui] odd level\n"
            "2026-03-01T14:05:09+01:00 [warn] [ui] careful\n");
  EXPECT_EQ(err, "[error] [ui] broken\n");
}

}  // namespace
}  // namespace ostrivel
