// Reads the native process list (SystemProcessInformation) into a reused buffer and walks it.
#include "measurement/windows/process_list_windows.h"

#include <cstring>
#include <string>

#include "infra/windows/windows_api.h"

#include <winternl.h>

namespace ostrivel {

namespace {

constexpr std::int32_t kStatusInfoLengthMismatch = static_cast<std::int32_t>(0xC0000004);
constexpr std::size_t kGrowthBytes = 65536;
constexpr int kMaxCalls = 3;

// SYSTEM_PROCESS_INFORMATION on x64, by offset: the SDK's own declaration hides most of these
// fields, and the layout has been fixed since Windows XP.
constexpr std::size_t kNextEntryOffset = 0;
constexpr std::size_t kCreateTime = 32;
constexpr std::size_t kUserTime = 40;
constexpr std::size_t kKernelTime = 48;
constexpr std::size_t kImageNameLength = 56;
constexpr std::size_t kImageNameBuffer = 64;
constexpr std::size_t kUniqueProcessId = 80;
constexpr std::size_t kFixedPart = 88;

template <typename T>
T readAt(const ProcessBuffer& buffer, std::size_t offset) {
  T value;
  std::memcpy(&value, buffer.data() + offset, sizeof value);
  return value;
}

std::string ansiName(const wchar_t* text, int units) {
  if (text == nullptr || units <= 0) {
    return {};
  }
  char local[MAX_PATH];
  const int written = WideCharToMultiByte(CP_ACP, 0, text, units, local, sizeof local, nullptr, nullptr);
  if (written >= 1) {
    return std::string(local, static_cast<std::size_t>(written));
  }
  const int needed = WideCharToMultiByte(CP_ACP, 0, text, units, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) {
    return {};
  }
  std::string name(static_cast<std::size_t>(needed), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, units, name.data(), needed, nullptr, nullptr);
  return name;
}

}  // namespace

std::int32_t querySystemProcessInformation(void* buffer, std::uint32_t size, std::uint32_t* returned) {
  ULONG length = 0;
  const NTSTATUS status = NtQuerySystemInformation(SystemProcessInformation, buffer, size, &length);
  *returned = length;
  return status;
}

std::vector<ProcessRecord> readProcessList(ProcessBuffer& buffer, const ProcessListQuery& query) {
  std::int32_t status = kStatusInfoLengthMismatch;
  for (int call = 0; call < kMaxCalls && status == kStatusInfoLengthMismatch; ++call) {
    std::uint32_t returned = 0;
    status = query(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &returned);
    if (status == kStatusInfoLengthMismatch && std::size_t{returned} + kGrowthBytes > buffer.size()) {
      // Processes come and go between calls, hence the room beyond what was asked for.
      buffer.resize(std::size_t{returned} + kGrowthBytes);
    }
  }
  if (status != 0 || buffer.size() < kFixedPart) {
    return {};
  }

  std::vector<ProcessRecord> processes;
  for (std::size_t offset = 0;;) {
    const auto nameBytes = readAt<std::uint16_t>(buffer, offset + kImageNameLength);
    const auto nameText = readAt<const wchar_t*>(buffer, offset + kImageNameBuffer);
    const auto pid = readAt<std::uintptr_t>(buffer, offset + kUniqueProcessId);
    std::string name = ansiName(nameText, nameBytes / 2);
    // The idle process (pid 0) has no name and no time of its own worth counting.
    if (pid != 0 && !name.empty()) {
      const auto ticks = readAt<std::uint64_t>(buffer, offset + kUserTime) + readAt<std::uint64_t>(buffer, offset + kKernelTime);
      processes.push_back(ProcessRecord{static_cast<std::uint32_t>(pid), std::move(name),
                                        static_cast<double>(ticks) / 10'000'000.0,
                                        readAt<std::int64_t>(buffer, offset + kCreateTime)});
    }
    const auto next = readAt<std::uint32_t>(buffer, offset + kNextEntryOffset);
    if (next == 0) {
      break;
    }
    offset += next;
    if (offset + kFixedPart > buffer.size()) {
      break;
    }
  }
  return processes;
}

}  // namespace ostrivel
