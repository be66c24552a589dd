// writeAtomic under contention and under a writer killed at random moments: whole files only.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "atomic_writer_contents.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "support/temp_directory.h"

namespace ostrivel {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> tmpFilesIn(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".tmp") {
      names.push_back(entry.path().filename().string());
    }
  }
  return names;
}

// Two writers sharing a temporary name would write into one file, and a reader would catch a
// mix of both. A replacing rename can still be refused while the target is held open (by the
// other writer's rename or by the reader): that write fails cleanly, it never half-succeeds.
TEST(FileSystemWindowsAtomic, ConcurrentWritersAndAReaderOnlyEverSeeWholeFiles) {
  testing::TempDirectory dir;
  const std::string path = dir.string() + "\\days202601051210.json";
  FileSystemWindows files;
  const std::string contents[] = {std::string(256 * 1024, 'x'), std::string(128 * 1024, 'y')};
  std::atomic<int> written[2] = {0, 0};
  std::atomic<bool> writing{true};
  std::atomic<int> reads{0};
  std::atomic<int> partialReads{0};
  {
    std::jthread reader([&] {
      while (writing) {
        if (const auto content = files.read(path)) {
          ++reads;
          partialReads += *content == contents[0] || *content == contents[1] ? 0 : 1;
        }
      }
    });
    std::jthread writers[2];
    for (int w = 0; w < 2; ++w) {
      writers[w] = std::jthread([&, w] {
        for (int i = 0; i < 40; ++i) {
          written[w] += files.writeAtomic(path, contents[w]) ? 1 : 0;
        }
      });
    }
    for (auto& writer : writers) {
      writer.join();
    }
    writing = false;
  }
  std::printf("writes that landed: %d and %d of 40 each; %d whole reads\n", written[0].load(), written[1].load(),
              reads.load());
  EXPECT_GT(written[0], 0);
  EXPECT_GT(written[1], 0);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(partialReads, 0);
  const auto final = files.read(path);
  ASSERT_TRUE(final);
  EXPECT_TRUE(*final == contents[0] || *final == contents[1]) << "size " << final->size();
  EXPECT_TRUE(tmpFilesIn(dir.path()).empty());
}

// The uploader may be reading a partial record at the moment the final record of the same name
// replaces it: the write waits for the reader instead of losing the record.
TEST(FileSystemWindowsAtomic, ReplacesAFileThatAReaderHoldsOpenForAMoment) {
  testing::TempDirectory dir;
  const std::string path = dir.string() + "\\days202601051210.json";
  FileSystemWindows files;
  ASSERT_TRUE(files.writeAtomic(path, "partial"));
  KernelHandle held(CreateFileW(toWide(path, CP_ACP).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  std::jthread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    held.reset();
  });
  EXPECT_TRUE(files.writeAtomic(path, "final"));
  reader.join();
  EXPECT_EQ(files.read(path), "final");
  EXPECT_TRUE(tmpFilesIn(dir.path()).empty());
}

TEST(FileSystemWindowsAtomic, NumbersTemporaryFilesPerWriteAndRemovesThemOnFailure) {
  testing::TempDirectory dir;
  const std::string path = dir.string() + "\\identity.json";
  // A folder squatting on the first write's temporary name makes exactly that write fail.
  fs::create_directory(dir.path() / "identity.json.0.tmp");
  FileSystemWindows files;
  EXPECT_FALSE(files.writeAtomic(path, "first"));
  EXPECT_EQ(files.read(path), std::nullopt);
  EXPECT_TRUE(files.writeAtomic(path, "second"));
  EXPECT_EQ(files.read(path), "second");

  // A rename refused (the target is a folder) leaves no temporary file behind.
  fs::create_directory(dir.path() / "outbox");
  EXPECT_FALSE(files.writeAtomic(dir.string() + "\\outbox", "third"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "outbox"));
  EXPECT_EQ(tmpFilesIn(dir.path()), std::vector<std::string>{"identity.json.0.tmp"});
  EXPECT_EQ(files.list(dir.string()), std::vector<std::string>{"identity.json"});
}

fs::path writerProgram() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return fs::path(self).parent_path() / "atomic_writer.exe";
}

// A power cut is beyond a test, but a process killed mid-write is not: the final path must hold
// the old or the new content, whole, after every kill.
TEST(FileSystemWindowsAtomic, AWriterKilledAtRandomMomentsNeverLeavesAPartialFile) {
  testing::TempDirectory dir;
  const fs::path target = dir.path() / "days202601051210.json";
  const fs::path writer = writerProgram();
  ASSERT_TRUE(fs::exists(writer)) << writer.string();
  const std::string contents[] = {testing::writerContent(0), testing::writerContent(1)};

  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(0, 40);
  const std::string eventName = "ostrivel-writer-ready-" + std::to_string(GetCurrentProcessId());
  KernelHandle ready(CreateEventA(nullptr, FALSE, FALSE, eventName.c_str()));
  ASSERT_TRUE(ready);

  FileSystemWindows files;
  int complete = 0;
  const auto started = std::chrono::steady_clock::now();
  for (int kill = 0; kill < 200; ++kill) {
    std::wstring commandLine = L"\"" + writer.wstring() + L"\" \"" + target.wstring() + L"\" " +
                               utf8ToWide(eventName);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &info));
    KernelHandle process(info.hProcess);
    KernelHandle thread(info.hThread);
    ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0) << "writer never started";
    Sleep(static_cast<DWORD>(delayMs(random)));
    TerminateProcess(process.get(), 9);
    ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);

    const auto content = files.read(target.string());
    if (!content) {
      continue;  // killed before its first rename: there is no old content either
    }
    ++complete;
    ASSERT_TRUE(*content == contents[0] || *content == contents[1])
        << "kill " << kill << " (seed " << seed << ") left " << content->size() << " bytes";
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count() / 1000.0;
  std::printf("200 kills in %.1f s, %d found a written file, %zu temporary files left behind\n", seconds, complete,
              tmpFilesIn(dir.path()).size());
  EXPECT_GT(complete, 100);
  EXPECT_EQ(files.list(dir.string()), std::vector<std::string>{"days202601051210.json"});
}

}  // namespace
}  // namespace ostrivel
