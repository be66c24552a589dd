// Day files: what a line looks like, which files the retention keeps, silent failure, and an
// elevated run that never prunes the users' folder and leaves it once it cannot write there.
#include "infra/logger_file.h"

#include <gtest/gtest.h>

#include "support/fake_clock.h"
#include "support/in_memory_file_system.h"
#include "support/recording_logger.h"

namespace ostrivel {
namespace {

using testing::FsOp;
using testing::InMemoryFileSystem;

const std::string kLogs = "C:\\ProgramData\\Ostrivel\\logs\\ui";
const std::string kServiceLogs = "C:\\ProgramData\\Ostrivel\\logs\\service";

// 2026-01-05T12:00:00Z
constexpr std::int64_t kNoon = 1767614400000;

// Fifteen day files of December 2025, and two files of other names.
void putOldDays(InMemoryFileSystem& files, const std::string& folder) {
  for (int day = 1; day <= 15; ++day) {
    files.putFile(folder + "\\202512" + (day < 10 ? "0" : "") + std::to_string(day) + ".log", "old\r\n");
  }
  files.putFile(folder + "\\notes.txt", "old\r\n");
  files.putFile(folder + "\\20250101.LOG", "old\r\n");
}

TEST(LoggerFile, WritesStampTagAndMessageToTheLocalDayFile) {
  InMemoryFileSystem files;
  testing::FakeClock clock(kNoon, 60);
  LoggerFile logger(files, kLogs, clock, 14);
  logger.info("[main] hello");
  logger.log(7, "[main] odd level", "");
  logger.warn("[uploader] with stamp", "2026-01-05T09:00:00+01:00");
  EXPECT_EQ(files.peek(kLogs + "\\20260105.log"),
            "2026-01-05T13:00:00+01:00 [info] [main] hello\r\n"
            "2026-01-05T13:00:00+01:00 [info] [main] odd level\r\n"
            "2026-01-05T09:00:00+01:00 [warn] [uploader] with stamp\r\n");
}

TEST(LoggerFile, KeepsTheNewestDayFilesAfterTheFirstLineOfANewDay) {
  InMemoryFileSystem files;
  putOldDays(files, kLogs);
  testing::FakeClock clock(kNoon - 86400000 * 20LL, 0);  // 2025-12-16: a day file of its own
  LoggerFile logger(files, kLogs, clock, 14);
  // Construction prunes the fifteen old files to fourteen.
  EXPECT_FALSE(files.exists(kLogs + "\\20251201.log"));
  EXPECT_TRUE(files.exists(kLogs + "\\20251202.log"));

  clock.set(kNoon);  // a new local day: its first line prunes again
  logger.info("[main] new day");
  const auto names = files.names(kLogs);
  EXPECT_EQ(names.size(), 16u);  // fourteen days and the two other files
  EXPECT_EQ(names.front(), "20250101.LOG");
  EXPECT_EQ(names[1], "20251203.log");
  EXPECT_TRUE(files.exists(kLogs + "\\20260105.log"));
  EXPECT_TRUE(files.exists(kLogs + "\\notes.txt"));

  for (const std::int32_t kept : {0, -3}) {  // at least one file is kept
    LoggerFile few(files, kLogs, clock, kept);
    EXPECT_EQ(files.names(kLogs), (std::vector<std::string>{"20250101.LOG", "20260105.log", "notes.txt"}));
  }
}

TEST(LoggerFile, LosesLinesSilentlyWhenTheFolderCannotBeMade) {
  InMemoryFileSystem files;
  files.setFault([](FsOp op, const std::string&) { return op == FsOp::ensureDirectory || op == FsOp::append; });
  testing::FakeClock clock(kNoon, 0);
  LoggerFile logger(files, kLogs, clock, 14);
  EXPECT_NO_THROW(logger.info("[main] lost"));
  clock.advance(86400000);
  EXPECT_NO_THROW(logger.info("[main] lost on a new day too"));
  EXPECT_TRUE(files.names(kLogs).empty());
}

TEST(LoggerFile, AnElevatedRunNeverPrunesAndLeavesTheUsersFolderOnceItCannotWriteThere) {
  InMemoryFileSystem files;
  putOldDays(files, kLogs);
  putOldDays(files, kServiceLogs);
  testing::FakeClock clock(kNoon, 0);
  testing::RecordingLogger console;
  const std::string warning = "[ui] " + kLogs + " is not a real folder";
  LoggerFile logger(files, kLogs, clock, 14, ElevatedLogging{kServiceLogs, warning, &console});
  logger.info("[ui] verb: -install");

  // The folder turns out not to be the agent's (a link by now, say): the rest goes elsewhere.
  files.setFault(
      [](FsOp op, const std::string& path) { return op == FsOp::append && path.find("\\ui\\") != std::string::npos; });
  logger.info("[ui] installing the service");
  clock.advance(86400000);
  logger.info("[ui] service installed and started");

  EXPECT_EQ(files.peek(kLogs + "\\20260105.log"), "2026-01-05T12:00:00+00:00 [info] [ui] verb: -install\r\n");
  // Nothing pruned in either folder: fifteen old days, two other files, and the days written.
  EXPECT_EQ(files.names(kLogs).size(), 18u);
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
