// FileSystemWindows under Wine: only whole files, whoever reads or dies at the same moment, and
// no way through a link that infra_windows_test.sh planted below a data folder.
#include "infra/windows/file_system_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "support/temp_directory.h"

namespace ostrivel {
namespace {

// Different lengths and bytes: a truncated, mixed or zero-filled file matches neither.
const std::string kContents[] = {std::string(3 * 1024 * 1024 + 17, 'a'), std::string(2 * 1024 * 1024 + 5, 'b')};
bool whole(const std::optional<std::string>& content) { return content == kContents[0] || content == kContents[1]; }

// The uploader reading the partial record when the final one replaces it: the write waits for the
// reader instead of losing the record, and leaves no temporary file.
TEST(FileSystemWindows, AReplacingWriteWaitsForAReaderOfTheFile) {
  testing::TempDirectory dir;
  const std::string path = dir.string() + "\\days202601051210.json";
  FileSystemWindows files;
  ASSERT_TRUE(files.writeAtomic(path, "partial"));
  KernelHandle held(CreateFileW(toWide(path, CP_ACP).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(held);
  std::jthread letGo([&] {
    Sleep(200);
    held.reset();
  });
  EXPECT_TRUE(files.writeAtomic(path, "final"));
  EXPECT_EQ(files.read(path), "final");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.string()), {}), 1);
}

// Run as a child of the test below (OSTRIVEL_WRITER set): replaces one file until it is killed.
TEST(FileSystemWindows, Writer) {
  const char* target = std::getenv("OSTRIVEL_WRITER");
  if (target == nullptr) GTEST_SKIP() << "the killed writer of AWriterKilledAtAnyMomentNeverLeavesAPartialFile";
  FileSystemWindows files;
  // Told only once the contents are built, so the killer's moments fall among the writes.
  SetEvent(KernelHandle(OpenEventA(EVENT_MODIFY_STATE, FALSE, "ostrivel-writer-ready")).get());
  for (unsigned n = 0; files.writeAtomic(target, kContents[n % 2]); ++n) {
  }
}

// Run by infra_windows_test.sh (OSTRIVEL_SQUAT set): holds a folder the way a squatter would,
// sharing nothing with anyone, until the release file OSTRIVEL_SQUAT_RELEASE appears.
TEST(FileSystemWindows, Squatter) {
  const char* folder = std::getenv("OSTRIVEL_SQUAT");
  if (folder == nullptr) GTEST_SKIP() << "run by infra_windows_test.sh";
  const KernelHandle held(CreateFileW(toWide(folder, CP_ACP).c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(held) << "cannot hold " << folder << ": " << GetLastError();
  std::printf("holding\n");
  std::fflush(stdout);
  while (GetFileAttributesA(std::getenv("OSTRIVEL_SQUAT_RELEASE")) == INVALID_FILE_ATTRIBUTES) {
    Sleep(100);
  }
}

// A power cut is beyond a test, but a process killed mid-write is not: the file holds the old or
// the new content, whole, after every kill.
TEST(FileSystemWindows, AWriterKilledAtAnyMomentNeverLeavesAPartialFile) {
  testing::TempDirectory dir;
  const std::string target = dir.string() + "\\days202601051210.json";
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --gtest_filter=FileSystemWindows.Writer";
  SetEnvironmentVariableA("OSTRIVEL_WRITER", target.c_str());
  KernelHandle ready(CreateEventA(nullptr, FALSE, FALSE, "ostrivel-writer-ready"));
  FileSystemWindows files;
  int found = 0;
  for (int kill = 0; kill < 100; ++kill) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // its output would only drown the test's
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
    KernelHandle process(info.hProcess), thread(info.hThread);
    ASSERT_EQ(WaitForSingleObject(ready.get(), 20000), WAIT_OBJECT_0) << "the writer never started";
    Sleep(kill % 40);  // moments spread over a few writes
    TerminateProcess(process.get(), 9);
    ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
    if (const auto content = files.read(target)) {  // none when killed before its first rename
      ++found;
      ASSERT_TRUE(whole(content)) << "kill " << kill << " left " << content->size() << " bytes";
    }
  }
  SetEnvironmentVariableA("OSTRIVEL_WRITER", nullptr);
  EXPECT_GT(found, 50);
}

// infra_windows_test.sh prepared OSTRIVEL_TEST_LINKS: data\ (outbox a link to ..\elsewhere,
// history real, logs real with 20260105.log a second name and 20260106.log a link of
// elsewhere's record), elsewhere\ (that record), linked-data (a link to data).
TEST(FileSystemWindows, NeverGoesThroughALinkBelowTheDataFolder) {
  const char* base = std::getenv("OSTRIVEL_TEST_LINKS");
  if (base == nullptr) GTEST_SKIP() << "run through infra_windows_test.sh";
  const std::string data = std::string(base) + "\\data", outbox = data + "\\outbox", history = data + "\\history";
  FileSystemWindows files(data);
  EXPECT_FALSE(files.ensureDirectory(outbox + "\\deeper"));
  EXPECT_FALSE(files.writeAtomic(outbox + "\\events20260105000001.json", "{}"));
  EXPECT_TRUE(files.list(outbox).empty());
  EXPECT_EQ(files.read(outbox + "\\days202601050000.json"), std::nullopt);
  EXPECT_FALSE(files.remove(outbox + "\\days202601050000.json"));
  ASSERT_TRUE(files.writeAtomic(history + "\\days202601050010.json", "{}"));
  EXPECT_FALSE(files.move(history + "\\days202601050010.json", outbox + "\\days202601050010.json"));
  EXPECT_FALSE(files.move(outbox + "\\days202601050000.json", history + "\\days202601050000.json"));
  // Nor by another spelling of the data folder, or by way of its parent.
  std::string shouted = outbox + "\\events20260105000002.json";
  CharUpperA(shouted.data());
  EXPECT_FALSE(files.writeAtomic(shouted, "{}"));
  EXPECT_FALSE(files.writeAtomic(history + "\\..\\outbox\\events20260105000003.json", "{}"));
  // Appends go only to a file of one name in a real folder.
  EXPECT_FALSE(files.append(data + "\\logs\\20260105.log", "line\r\n"));
  EXPECT_FALSE(files.append(data + "\\logs\\20260106.log", "line\r\n"));
  ASSERT_TRUE(files.append(data + "\\logs\\20260107.log", "one\r\n"));
  EXPECT_EQ(files.read(data + "\\logs\\20260107.log"), "one\r\n");

  // A data folder that is itself a link is refused as a whole.
  FileSystemWindows linked(std::string(base) + "\\linked-data");
  EXPECT_FALSE(linked.writeAtomic(std::string(base) + "\\linked-data\\identity.json", "{}"));
  EXPECT_EQ(linked.read(std::string(base) + "\\linked-data\\history\\days202601050010.json"), std::nullopt);
  // Outside a data folder only the last name is never followed.
  FileSystemWindows anywhere;
  EXPECT_FALSE(anywhere.ensureDirectory(outbox));
  EXPECT_EQ(anywhere.read(outbox + "\\days202601050000.json"), "{\"elsewhere\":true}");
}

}  // namespace
}  // namespace ostrivel
