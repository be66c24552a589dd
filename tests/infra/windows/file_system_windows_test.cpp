// FileSystemWindows against Wine's file system: reads, listings, replacing moves, the watch.
#include "infra/windows/file_system_windows.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>

#include "support/temp_directory.h"

namespace ostrivel {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

TEST(FileSystemWindows, ReadsListsMovesAndRemoves) {
  testing::TempDirectory dir;
  FileSystemWindows files;
  const std::string root = dir.string();

  EXPECT_EQ(files.read(root + "\\missing.json"), std::nullopt);
  writeFile(dir.path() / "empty.json", "");
  EXPECT_EQ(files.read(root + "\\empty.json"), "");

  ASSERT_TRUE(files.writeAtomic(root + "\\days1.json", std::string("a\0b\r\n", 5)));
  EXPECT_EQ(files.read(root + "\\days1.json"), std::string("a\0b\r\n", 5));
  writeFile(dir.path() / "days1.json.7.tmp", "partial");
  fs::create_directory(dir.path() / "sub.json");

  auto names = files.list(root);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"days1.json", "empty.json"}));
  EXPECT_TRUE(files.list(root + "\\nowhere").empty());
  // The temporary files list leaves out, with their write times in Unix milliseconds.
  fs::create_directory(dir.path() / "folder.1.tmp");
  const auto temporary = files.listTemporary(root);
  ASSERT_EQ(temporary.size(), 1u);
  EXPECT_EQ(temporary[0].name, "days1.json.7.tmp");
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  EXPECT_LT(std::abs(std::chrono::duration_cast<std::chrono::milliseconds>(now).count() - temporary[0].writtenAtMs),
            60'000);

  ASSERT_TRUE(files.ensureDirectory(root + "\\history\\deep"));
  ASSERT_TRUE(files.writeAtomic(root + "\\history\\deep\\days1.json", "old"));
  EXPECT_TRUE(files.move(root + "\\days1.json", root + "\\history\\deep\\days1.json"));
  EXPECT_EQ(files.read(root + "\\history\\deep\\days1.json"), std::string("a\0b\r\n", 5));

  EXPECT_TRUE(files.remove(root + "\\empty.json"));
  EXPECT_FALSE(files.remove(root + "\\empty.json"));
}

TEST(FileSystemWindows, EnsureDirectoryCreatesParentsAndRefusesAFileInTheWay) {
  testing::TempDirectory dir;
  FileSystemWindows files;
  const std::string root = dir.string();
  EXPECT_TRUE(files.ensureDirectory(root + "\\data\\outbox\\"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "data" / "outbox"));
  EXPECT_TRUE(files.ensureDirectory(root + "\\data\\outbox"));
  writeFile(dir.path() / "data" / "history", "not a folder");
  EXPECT_FALSE(files.ensureDirectory(root + "\\data\\history"));
  EXPECT_FALSE(files.ensureDirectory(root + "\\data\\history\\deep"));
}

TEST(FileSystemWindows, WatchCallsBackOnChangesAndStopsPromptly) {
  testing::TempDirectory dir;
  const std::string watched = dir.string() + "\\outbox";
  FileSystemWindows files;
  std::mutex mutex;
  std::condition_variable changed;
  int calls = 0;
  files.watch(watched, [&] {
    std::lock_guard lock(mutex);
    ++calls;
    changed.notify_all();
  });
  ASSERT_TRUE(fs::is_directory(dir.path() / "outbox"));

  auto expectCallAfter = [&](const char* what, auto change) {
    int before = 0;
    {
      std::lock_guard lock(mutex);
      before = calls;
    }
    change();
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(3), [&] { return calls > before; })) << what;
  };
  // A change may be reported by more than one notification; let earlier ones drain first.
  auto settle = [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };
  expectCallAfter("create", [&] { writeFile(dir.path() / "outbox" / "a.json", "1"); });
  settle();
  expectCallAfter("rename", [&] { fs::rename(dir.path() / "outbox" / "a.json", dir.path() / "outbox" / "b.json"); });
  settle();
  expectCallAfter("write", [&] { std::ofstream(dir.path() / "outbox" / "b.json", std::ios::app) << "more"; });
  settle();
  expectCallAfter("delete", [&] { fs::remove(dir.path() / "outbox" / "b.json"); });

  const auto start = std::chrono::steady_clock::now();
  files.unwatch();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace ostrivel
