// The console sends errors to standard error and the rest, with the level tag, to standard output.
#include <gtest/gtest.h>

#include "infra/logger_console.h"

namespace ostrivel {
namespace {

TEST(LoggerConsole, SendsErrorsToStandardErrorAndTheRestToStandardOutput) {
  LoggerConsole console;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  console.info("[ui] hello");
  console.log(7, "[ui] odd level", "");
  console.warn("[ui] careful", "2026-03-01T14:05:09+01:00");
  console.error("[ui] broken");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "[info] [ui] hello\n[info] [ui] odd level\n2026-03-01T14:05:09+01:00 [warn] [ui] careful\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[error] [ui] broken\n");
}

}  // namespace
}  // namespace ostrivel
