// SamplerWindows against Wine: process lists real and scripted, services, a measured busy window.
#include "measurement/windows/sampler_windows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "child_process_windows.h"
#include "infra/clock_system.h"
#include "infra/windows/windows_api.h"
#include "measurement/app_key.h"
#include "measurement/windows/process_list_windows.h"

namespace ostrivel {
namespace {

constexpr std::int32_t kMismatch = static_cast<std::int32_t>(0xC0000004);
constexpr std::size_t kInitialBuffer = 512 * 1024;

double ownCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

const ProcessRecord* findPid(const std::vector<ProcessRecord>& processes, std::uint32_t pid) {
  const auto found = std::find_if(processes.begin(), processes.end(), [&](const auto& p) { return p.pid == pid; });
  return found != processes.end() ? &*found : nullptr;
}

TEST(SamplerWindows, ListsTheProcessesServicesAndTimesOfTheMachine) {
  ClockSystem clock;
  SamplerWindows sampler(clock);

  const auto before = sampler.listProcesses();
  const ProcessRecord* self = findPid(before, GetCurrentProcessId());
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->imageName, "measurement_windows_tests.exe");
  EXPECT_GT(self->createTime, 0);
  EXPECT_TRUE(
      std::all_of(before.begin(), before.end(), [](const auto& p) { return p.pid != 0 && !p.imageName.empty(); }));

  // Spend a little CPU time of our own: the list must show it, under the same creation time.
  const double start = ownCpuSeconds();
  volatile std::uint64_t sink = 0;
  while (ownCpuSeconds() < start + 0.2) {
    for (int i = 0; i < 100000; ++i) {
      sink = sink + static_cast<std::uint64_t>(i);
    }
  }
  const auto after = sampler.listProcesses();
  const ProcessRecord* later = findPid(after, GetCurrentProcessId());
  ASSERT_NE(later, nullptr);
  EXPECT_GE(later->cpuSeconds, self->cpuSeconds + 0.15);
  EXPECT_EQ(later->createTime, self->createTime);

  const ServiceMap services = sampler.serviceProcesses();
  ASSERT_FALSE(services.empty());
  std::vector<std::string> names;
  for (const auto& [pid, hosted] : services) {
    EXPECT_GE(pid, 1);
    EXPECT_FALSE(hosted.empty());
    EXPECT_NE(findPid(after, static_cast<std::uint32_t>(pid)), nullptr) << "service host " << pid;
    names.insert(names.end(), hosted.begin(), hosted.end());
  }
  EXPECT_NE(std::find(names.begin(), names.end(), "PlugPlay"), names.end());

  EXPECT_EQ(sampler.processorCount(), GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
  EXPECT_GE(sampler.processorCount(), 1u);
  const double busy = sampler.systemBusySeconds();
  EXPECT_GT(busy, 0.0);
  EXPECT_GE(sampler.systemBusySeconds(), busy);
}

// One SYSTEM_PROCESS_INFORMATION record as x64 Windows lays it out, the name after the fixed part.
struct NativeRecord {
  std::uintptr_t pid;
  std::wstring name;
  std::uint64_t user;
  std::uint64_t kernel;
  std::int64_t created;
};
using NativeList = std::vector<NativeRecord>;

std::size_t sizeOf(const NativeRecord& record) { return (88 + record.name.size() * 2 + 7) / 8 * 8; }

// Writes the records into a buffer of `size` bytes; `lastNext` replaces the final record's
// next-entry offset (0 ends the list as the system does).
void writeInto(const NativeList& records, void* buffer, std::uint32_t size, std::uint32_t lastNext = 0) {
  auto* at = static_cast<std::byte*>(buffer);
  std::memset(at, 0, size);
  for (std::size_t i = 0; i < records.size(); at += sizeOf(records[i++])) {
    const NativeRecord& record = records[i];
    const std::uint32_t next = i + 1 < records.size() ? static_cast<std::uint32_t>(sizeOf(record)) : lastNext;
    const auto length = static_cast<std::uint16_t>(record.name.size() * 2);
    const wchar_t* text = record.name.empty() ? nullptr : reinterpret_cast<const wchar_t*>(at + 88);
    std::memcpy(at + 0, &next, 4);
    std::memcpy(at + 32, &record.created, 8);
    std::memcpy(at + 40, &record.user, 8);
    std::memcpy(at + 48, &record.kernel, 8);
    std::memcpy(at + 56, &length, 2);
    std::memcpy(at + 64, &text, 8);
    std::memcpy(at + 80, &record.pid, 8);
    std::memcpy(at + 88, record.name.data(), length);
  }
}

TEST(SamplerWindows, ProcessListGrowsItsBufferOnMismatchAndGivesUpAfterThreeCalls) {
  ProcessBuffer buffer(kInitialBuffer);
  std::vector<std::uint32_t> sizes;
  const auto alwaysMismatch = [&](void*, std::uint32_t size, std::uint32_t* returned) {
    sizes.push_back(size);
    *returned = static_cast<std::uint32_t>(600'000 + 1000 * sizes.size());
    return kMismatch;
  };
  EXPECT_TRUE(readProcessList(buffer, alwaysMismatch).empty());
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{kInitialBuffer, 601'000 + 65'536, 602'000 + 65'536}));
  EXPECT_EQ(buffer.size(), 603'000u + 65'536u);  // kept for the next tick

  // One mismatch, then the list: the idle process and nameless entries are left out.
  const NativeList list{{0, L"", 0, 500'000'000, 0},
                        {4, L"System", 10'000'000, 20'000'000, 1000},
                        {8, L"", 1, 1, 2000},
                        {1234, L"Microsoft.Photos.exe", 25'000'000, 5'000'000, 133'000'000'000'000'000}};
  sizes.clear();
  const auto oneMismatch = [&](void* into, std::uint32_t size, std::uint32_t* returned) {
    sizes.push_back(size);
    *returned = 900'000;
    if (size < 900'000) {
      return kMismatch;
    }
    writeInto(list, into, size);
    return 0;
  };
  const auto processes = readProcessList(buffer, oneMismatch);
  EXPECT_EQ(sizes, (std::vector<std::uint32_t>{668'536, 965'536}));
  ASSERT_EQ(processes.size(), 2u);
  EXPECT_EQ(processes[0].pid, 4u);
  EXPECT_EQ(processes[0].imageName, "System");
  EXPECT_DOUBLE_EQ(processes[0].cpuSeconds, 3.0);
  EXPECT_EQ(processes[0].createTime, 1000);
  EXPECT_EQ(processes[1].pid, 1234u);
  EXPECT_EQ(processes[1].imageName, "Microsoft.Photos.exe");
  EXPECT_EQ(appKey(processes[1].imageName), "Microsoft_Photos");
  EXPECT_DOUBLE_EQ(processes[1].cpuSeconds, 3.0);
  EXPECT_EQ(processes[1].createTime, 133'000'000'000'000'000);

  // A next-entry offset that leads past the end of the buffer ends the walk, not the program.
  std::size_t bytes = 40;
  for (const auto& record : list) {
    bytes += sizeOf(record);
  }
  ProcessBuffer small(bytes);
  const auto pastTheEnd = [&](void* into, std::uint32_t size, std::uint32_t*) {
    writeInto(list, into, size, 100);
    return 0;
  };
  EXPECT_EQ(readProcessList(small, pastTheEnd).size(), 2u);

  // Any other failure is an empty list after a single call.
  int calls = 0;
  const auto denied = [&](void*, std::uint32_t, std::uint32_t*) {
    ++calls;
    return static_cast<std::int32_t>(0xC0000022);
  };
  EXPECT_TRUE(readProcessList(buffer, denied).empty());
  EXPECT_EQ(calls, 1);
}

// Samples from the thread, awaited without polling.
class SampleWaiter {
 public:
  Sampler::Callback callback() {
    return [this](const Data& data) {
      std::lock_guard lock(mutex);
      samples.push_back(data.payload);
      arrived.notify_all();
    };
  }
  // The guard is generous: the samples come after a few seconds of real time.
  bool await(std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(120), [&] { return samples.size() >= count; });
  }
  nlohmann::json at(std::size_t i) {
    std::lock_guard lock(mutex);
    return samples.at(i);
  }

 private:
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<nlohmann::json> samples;
};

TEST(SamplerWindows, MeasuresABusyProcessBesideTheServicesWineRuns) {
  testing::ChildProcess burner(OSTRIVEL_TEST_BURNER, "60");
  ASSERT_TRUE(burner.started());
  ClockSystem clock;
  SamplerWindows sampler(clock);
  const ServiceMap running = sampler.serviceProcesses();
  SampleWaiter waiter;

  // A 4 s window with a tick every second; the second sample covers a whole window.
  sampler.start(waiter.callback(), 4, 1, 1);
  ASSERT_TRUE(waiter.await(2));
  sampler.stop();
  const nlohmann::json sample = waiter.at(1);

  const double fair = 100.0 / sampler.processorCount();
  ASSERT_TRUE(sample["apps"].contains("cpu_burner")) << sample.dump();
  EXPECT_NEAR(sample["apps"]["cpu_burner"].get<double>(), fair, 0.3 * fair) << sample.dump();
  EXPECT_FALSE(sample["apps"].contains("cpu.burner"));

  for (const auto& [pid, names] : running) {
    for (const std::string& name : names) {
      EXPECT_TRUE(sample["services"].contains(appKey(name))) << name << " in " << sample.dump();
    }
  }

  double total = 0.0;
  for (const auto& group : {sample["apps"], sample["services"]}) {
    for (const auto& [key, share] : group.items()) {
      EXPECT_GE(share.get<double>(), 0.0) << key;
      total += share.get<double>();
    }
  }
  // Busy time and process time are read a moment apart, hence the small tolerance.
  EXPECT_LE(total, 103.0) << sample.dump();
  EXPECT_GT(sample["at"].get<std::int64_t>(), 0);
}

}  // namespace
}  // namespace ostrivel
