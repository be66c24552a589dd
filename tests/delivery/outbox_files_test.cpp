// File names, sorted JSON listings, day keys, moves and the day-based pruning.
#include "delivery/outbox_files.h"

#include <gtest/gtest.h>

#include "support/in_memory_file_system.h"

namespace ostrivel {
namespace {

using testing::FsOp;
using testing::InMemoryFileSystem;

TEST(OutboxFiles, NamesDayKeysAndJoins) {
  EXPECT_EQ(fileName("C:\\data\\outbox\\days1.json"), "days1.json");
  EXPECT_EQ(fileName("a/b.json"), "b.json");
  EXPECT_EQ(fileName("plain.json"), "plain.json");
  EXPECT_EQ(fileName("dir\\"), "");

  EXPECT_EQ(fileDayKey("days202601051210.json"), "20260105");
  EXPECT_EQ(fileDayKey("days202601051210_2.json"), "20260105");
  EXPECT_EQ(fileDayKey("events20260105-0001.json"), "20260105");
  EXPECT_EQ(fileDayKey("apps2026010.json"), "");
  EXPECT_EQ(fileDayKey("x1234567"), "");
  EXPECT_EQ(fileDayKey("12345678"), "12345678");
  EXPECT_EQ(fileDayKey("nodigits.json"), "");

  EXPECT_EQ(joinPath("C:\\out", "a.json"), "C:\\out\\a.json");
  EXPECT_EQ(joinPath("C:\\out\\", "a.json"), "C:\\out\\a.json");
  EXPECT_EQ(joinPath("/tmp/out/", "a.json"), "/tmp/out/a.json");
}

TEST(OutboxFiles, ListJsonKeepsJsonNamesInByteOrder) {
  InMemoryFileSystem fs;
  for (const char* name :
       {"events20260105-0001.json", "days202601051210_2.json", "days202601051210.json", "apps20260105.json",
        "days202601051200.json", "Days0.json", "notes.txt", "x.JSON", ".json", "days1.json.3.tmp"}) {
    fs.putFile(std::string("C:\\out\\") + name, "{}");
  }
  // A second record of one minute ("_2") comes right after the first.
  EXPECT_EQ(listJson(fs, "C:\\out"),
            (std::vector<std::string>{"C:\\out\\.json", "C:\\out\\Days0.json", "C:\\out\\apps20260105.json",
                                      "C:\\out\\days202601051200.json", "C:\\out\\days202601051210.json",
                                      "C:\\out\\days202601051210_2.json", "C:\\out\\events20260105-0001.json"}));
  EXPECT_TRUE(listJson(fs, "C:\\nowhere").empty());
}

TEST(OutboxFiles, MoveIntoCreatesTheFolderAndReplaces) {
  InMemoryFileSystem fs;
  fs.putFile("C:\\out\\a.json", "new");
  EXPECT_TRUE(moveInto(fs, "C:\\out\\a.json", "C:\\hist"));
  EXPECT_EQ(fs.peek("C:\\hist\\a.json"), "new");
  fs.putFile("C:\\out\\a.json", "newer");
  EXPECT_TRUE(moveInto(fs, "C:\\out\\a.json", "C:\\hist\\"));
  EXPECT_EQ(fs.peek("C:\\hist\\a.json"), "newer");

  fs.putFile("C:\\out\\b.json", "b");
  fs.setFault([](FsOp op, const std::string&) { return op == FsOp::ensureDirectory; });
  EXPECT_FALSE(moveInto(fs, "C:\\out\\b.json", "C:\\hist"));
  EXPECT_TRUE(fs.exists("C:\\out\\b.json"));
}

TEST(OutboxFiles, PurgeKeepsTheNewestDistinctDaysAndUndatedFiles) {
  InMemoryFileSystem fs;
  // Eight distinct days, far apart in the calendar; two files on the oldest, one undated.
  for (const char* name : {"days202401010000.json", "events20240101-0001.json", "days202403010000.json",
                           "days202405010000.json", "days202405020000.json", "days202406010000.json",
                           "days202407010000.json", "days202508010000.json", "apps20260105.json", "apps.json"}) {
    fs.putFile(std::string("C:\\hist\\") + name, "{}");
  }
  EXPECT_EQ(purgeOldDays(fs, "C:\\hist", 0), 0);
  EXPECT_EQ(purgeOldDays(fs, "C:\\hist", 8), 0);
  EXPECT_EQ(purgeOldDays(fs, "C:\\hist", 7), 2);
  EXPECT_FALSE(fs.exists("C:\\hist\\days202401010000.json"));
  EXPECT_FALSE(fs.exists("C:\\hist\\events20240101-0001.json"));
  EXPECT_TRUE(fs.exists("C:\\hist\\days202403010000.json"));
  EXPECT_TRUE(fs.exists("C:\\hist\\apps.json"));

  // Only removals that succeed are counted.
  fs.setFault(
      [](FsOp op, const std::string& path) { return op == FsOp::remove && path.find("0301") != std::string::npos; });
  EXPECT_EQ(purgeOldDays(fs, "C:\\hist", 5), 1);
  EXPECT_TRUE(fs.exists("C:\\hist\\days202403010000.json"));
  EXPECT_FALSE(fs.exists("C:\\hist\\days202405010000.json"));
}

}  // namespace
}  // namespace ostrivel
