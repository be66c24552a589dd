// Day files: what a line looks like and which files the retention
// keeps, and an elevated run that never prunes the users' folder and leaves it once it cannot
// write there.
#include <gtest/gtest.h>

#include "infra/logger_file.h"
#include "support/fake_clock.h"
#include "support/in_memory_file_system.h"
#include "support/recording_logger.h"

namespace ostrivel {
namespace {

using testing::FsOp;

const std::string kLogs = "C:\\ProgramData\\Ostrivel\\logs\\ui";
const std::string kServiceLogs = "C:\\ProgramData\\Ostrivel\\logs\\service";
constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05T12:00:00Z
constexpr std::int64_t kDay = 86400000;

// Fifteen day files of December 2025, and two files that are somebody else's.
void putOldDays(testing::InMemoryFileSystem& files) {
  for (const std::string& folder : {kLogs, kServiceLogs}) {
    for (int day = 10; day < 25; ++day) {
      files.putFile(folder + "\\202512" + std::to_string(day) + ".log", "old\r\n");
    }
    files.putFile(folder + "\\notes.txt", "");
    files.putFile(folder + "\\20250101.LOG", "");
  }
}

TEST(LoggerFile, WritesLinesToTheLocalDayFileAndKeepsTheNewestDays) {
  testing::InMemoryFileSystem files;
  putOldDays(files);
  testing::FakeClock clock(kNoon - 12 * kDay, 60);  // 2025-12-24, a day file of its own
  LoggerFile logger(files, kLogs, clock, 14);
  EXPECT_EQ(files.names(kLogs).size(), 16u);  // fourteen days pruned from fifteen, the other two
  EXPECT_EQ(files.names(kLogs)[1], "20251211.log");

  clock.set(kNoon);  // a new local day: its first line prunes again
  logger.info("[main] hello");
  logger.warn("[uploader] with stamp", "2026-01-05T09:00:00+01:00");
  EXPECT_EQ(files.peek(kLogs + "\\20260105.log"),
            "2026-01-05T13:00:00+01:00 [info] [main] hello\r\n"
            "2026-01-05T09:00:00+01:00 [warn] [uploader] with stamp\r\n");
  EXPECT_EQ(files.names(kLogs).size(), 16u);
  EXPECT_EQ(files.names(kLogs)[1], "20251212.log");

  LoggerFile few(files, kLogs, clock, 0);  // at least one file is kept
  EXPECT_EQ(files.names(kLogs), (std::vector<std::string>{"20250101.LOG", "20260105.log", "notes.txt"}));
}

TEST(LoggerFile, AnElevatedRunNeverPrunesAndLeavesTheUsersFolderOnceItCannotWriteThere) {
  testing::InMemoryFileSystem files;
  putOldDays(files);
  testing::FakeClock clock(kNoon, 0);
  testing::RecordingLogger console;
  const std::string warning = "[ui] " + kLogs + " is not a real folder";
  LoggerFile logger(files, kLogs, clock, 14, ElevatedLogging{kServiceLogs, warning, &console});
  logger.info("[ui] verb: -install");
  // The folder turns out not to be the agent's (a link by now, say): the rest goes elsewhere.
  files.setFault(
      [](FsOp op, const std::string& path) { return op == FsOp::append && path.find("\\ui\\") != std::string::npos; });
  logger.info("[ui] installing the service");
  clock.advance(kDay);
  logger.info("[ui] service installed and started");

  EXPECT_EQ(files.peek(kLogs + "\\20260105.log"), "2026-01-05T12:00:00+00:00 [info] [ui] verb: -install\r\n");
  EXPECT_EQ(files.names(kLogs).size(), 18u);  // nothing pruned in either folder
  EXPECT_EQ(files.names(kServiceLogs).size(), 19u);
  EXPECT_EQ(files.peek(kServiceLogs + "\\20260105.log"),
            "2026-01-05T12:00:00+00:00 [warn] " + warning + "\r\n" +
                "2026-01-05T12:00:00+00:00 [info] [ui] installing the service\r\n");
  EXPECT_EQ(files.peek(kServiceLogs + "\\20260106.log"),
            "2026-01-06T12:00:00+00:00 [info] [ui] service installed and started\r\n");
  EXPECT_EQ(console.messages(), std::vector<std::string>{warning});
}

}  // namespace
}  // namespace ostrivel
