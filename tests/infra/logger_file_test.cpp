// Day files: what a line looks like, which files the retention keeps, and silent failure.
#include "infra/logger_file.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>

#include "support/fake_clock.h"
#include "support/temp_directory.h"

namespace ostrivel {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> filesIn(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void touch(const fs::path& path) { std::ofstream(path) << "old\n"; }

// 2026-01-05T12:00:00Z
constexpr std::int64_t kNoon = 1767614400000;

TEST(LoggerFile, WritesStampTagAndMessageToTheLocalDayFile) {
  testing::TempDirectory dir;
  testing::FakeClock clock(kNoon, 60);
  LoggerFile logger((dir.path() / "logs").string(), clock, 14);
  logger.info("[main] hello");
  logger.log(7, "[main] odd level", "");
  logger.warn("[uploader] with stamp", "2026-01-05T09:00:00+01:00");
  EXPECT_EQ(readAll(dir.path() / "logs" / "20260105.log"),
            "2026-01-05T13:00:00+01:00 [info] [main] hello\n"
            "2026-01-05T13:00:00+01:00 [info] [main] odd level\n"
            "2026-01-05T09:00:00+01:00 [warn] [uploader] with stamp\n");
}

TEST(LoggerFile, KeepsTheNewestDayFilesAfterTheFirstLineOfANewDay) {
  testing::TempDirectory dir;
  for (int day = 1; day <= 15; ++day) {
    touch(dir.path() / ("202512" + std::string(day < 10 ? "0" : "") + std::to_string(day) + ".log"));
  }
  touch(dir.path() / "notes.txt");
  touch(dir.path() / "20250101.LOG");

  testing::FakeClock clock(kNoon - 86400000 * 20LL, 0);  // 2025-12-16: a day file of its own
  LoggerFile logger(dir.string(), clock, 14);
  // Construction prunes the fifteen old files to fourteen.
  EXPECT_EQ(filesIn(dir.path()).count("20251201.log"), 0u);
  EXPECT_EQ(filesIn(dir.path()).count("20251202.log"), 1u);

  clock.set(kNoon);  // a new local day: its first line prunes again
  logger.info("[main] new day");
  const auto names = filesIn(dir.path());
  std::set<std::string> logs;
  for (const auto& name : names) {
    if (name.size() > 4 && name.substr(name.size() - 4) == ".log") {
      logs.insert(name);
    }
  }
  EXPECT_EQ(logs.size(), 14u);
  EXPECT_EQ(*logs.begin(), "20251203.log");
  EXPECT_EQ(logs.count("20260105.log"), 1u);
  EXPECT_EQ(names.count("notes.txt"), 1u);
  EXPECT_EQ(names.count("20250101.LOG"), 1u);
}

TEST(LoggerFile, KeepsAtLeastOneFile) {
  for (const std::int32_t kept : {0, -3}) {
    testing::TempDirectory dir;
    touch(dir.path() / "20200101.log");
    touch(dir.path() / "20200102.log");
    testing::FakeClock clock(kNoon, 0);
    LoggerFile logger(dir.string(), clock, kept);
    EXPECT_EQ(filesIn(dir.path()), std::set<std::string>{"20200102.log"});
  }
}

TEST(LoggerFile, LosesLinesSilentlyWhenTheFolderCannotBeMade) {
  testing::TempDirectory dir;
  touch(dir.path() / "occupied");  // a file where the log folder should go
  testing::FakeClock clock(kNoon, 0);
  LoggerFile logger((dir.path() / "occupied" / "logs").string(), clock, 14);
  EXPECT_NO_THROW(logger.info("[main] lost"));
  clock.advance(86400000);
  EXPECT_NO_THROW(logger.info("[main] lost on a new day too"));
  EXPECT_EQ(readAll(dir.path() / "occupied"), "old\n");
}

}  // namespace
}  // namespace ostrivel
