// FileSystemWindows never reaches through a link below the data folder. Wine shows a Unix link to
// a folder as a reparse point, so file_system_links_test.sh plants such links and runs this.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "infra/windows/file_system_windows.h"

namespace ostrivel {
namespace {

// The folder the bash test prepared: data\ (outbox a link to ..\elsewhere, history real, logs
// real with 20260105.log a second name and 20260106.log a link of elsewhere's record),
// elsewhere\ (one record), linked-data (a link to data).
std::string prepared() {
  const char* value = std::getenv("OSTRIVEL_TEST_LINKS");
  return value == nullptr ? std::string() : std::string(value);
}

class FileSystemLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    base = prepared();
    if (base.empty()) {
      GTEST_SKIP() << "OSTRIVEL_TEST_LINKS is not set: run through file_system_links_test.sh";
    }
    data = base + "\\data";
  }
  std::string base;
  std::string data;
};

TEST_F(FileSystemLinks, RefusesEveryOperationThroughALinkedFolderOfTheDataFolder) {
  FileSystemWindows files(data);
  const std::string outbox = data + "\\outbox";
  EXPECT_FALSE(files.ensureDirectory(outbox));
  EXPECT_FALSE(files.ensureDirectory(outbox + "\\deeper"));
  EXPECT_FALSE(files.writeAtomic(outbox + "\\events20260105000001.json", "{}"));
  EXPECT_TRUE(files.list(outbox).empty());
  EXPECT_EQ(files.read(outbox + "\\days202601050000.json"), std::nullopt);
  EXPECT_FALSE(files.remove(outbox + "\\days202601050000.json"));
  EXPECT_FALSE(files.append(outbox + "\\20260105.log", "line\r\n"));
  // Appends go only to a file of one name in a real folder, where its name says.
  const std::string logs = data + "\\logs";
  EXPECT_FALSE(files.append(logs + "\\20260105.log", "line\r\n"));
  EXPECT_FALSE(files.append(logs + "\\20260106.log", "line\r\n"));
  ASSERT_TRUE(files.append(logs + "\\20260107.log", "one\r\n"));
  ASSERT_TRUE(files.append(logs + "\\20260107.log", "two\r\n"));
  EXPECT_EQ(files.read(logs + "\\20260107.log"), "one\r\ntwo\r\n");

  // The real folders beside it work as always, and nothing moves into or out of the link.
  const std::string history = data + "\\history";
  ASSERT_TRUE(files.ensureDirectory(history + "\\kept"));
  ASSERT_TRUE(files.writeAtomic(history + "\\days202601050010.json", "{\"n\":1}"));
  EXPECT_EQ(files.list(history), std::vector<std::string>{"days202601050010.json"});
  EXPECT_FALSE(files.move(history + "\\days202601050010.json", outbox + "\\days202601050010.json"));
  EXPECT_FALSE(files.move(outbox + "\\days202601050000.json", history + "\\days202601050000.json"));
  EXPECT_EQ(files.read(history + "\\days202601050010.json"), "{\"n\":1}");
  ASSERT_TRUE(files.writeAtomic(data + "\\identity.json", "{}"));
  EXPECT_TRUE(files.move(history + "\\days202601050010.json", history + "\\kept\\days202601050010.json"));

  // The data folder's own name differs in case: still the data folder.
  std::string shouted = data;
  std::transform(shouted.begin(), shouted.end(), shouted.begin(), [](char c) { return c == 'a' ? 'A' : c; });
  EXPECT_FALSE(files.writeAtomic(shouted + "\\OUTBOX\\events20260105000002.json", "{}"));
  // A way round the check through the parent folder is no way round.
  EXPECT_FALSE(files.writeAtomic(history + "\\..\\outbox\\events20260105000003.json", "{}"));
  EXPECT_FALSE(files.ensureDirectory(history + "\\..\\outbox"));
}

TEST_F(FileSystemLinks, RefusesADataFolderThatIsItselfALink) {
  const std::string linked = base + "\\linked-data";
  FileSystemWindows files(linked);
  EXPECT_FALSE(files.ensureDirectory(linked));
  EXPECT_FALSE(files.ensureDirectory(linked + "\\history"));
  EXPECT_FALSE(files.writeAtomic(linked + "\\identity.json", "{}"));
  EXPECT_FALSE(files.append(linked + "\\logs\\20260107.log", "line\r\n"));
  EXPECT_EQ(files.read(linked + "\\history\\kept\\days202601050010.json"), std::nullopt);
}

TEST_F(FileSystemLinks, OutsideTheDataFolderOnlyTheLastNameIsNeverFollowed) {
  FileSystemWindows files;
  EXPECT_FALSE(files.ensureDirectory(data + "\\outbox"));
  EXPECT_TRUE(files.list(data + "\\outbox").empty());
  // A folder on the way is the caller's business there.
  EXPECT_EQ(files.read(data + "\\outbox\\days202601050000.json"), "{\"elsewhere\":true}");
}

}  // namespace
}  // namespace ostrivel
