// The least a sampler of the agent's design can do, as the floor the agent's own cost is compared
// with: the native process list and the machine's busy time every 5 s, the service list every
// minute, nothing kept, logged, written or sent. Run by tests/bench/agent_bench.sh.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "infra/windows/windows_api.h"

#include <winternl.h>

namespace {

constexpr std::int32_t kStatusInfoLengthMismatch = static_cast<std::int32_t>(0xC0000004);

// Keeps the walks' results alive, so the compiler cannot drop the reads.
volatile std::uint64_t sink = 0;

// Grown as the list asks, never zero-filled: the pages the list does not reach stay untouched,
// as the agent's buffer's do.
struct Buffer {
  std::unique_ptr<unsigned char[]> bytes;
  ULONG size = 0;
};

// Walks every record's user and kernel time, as any accounting must.
void takeProcessList(Buffer& buffer) {
  ULONG needed = 0;
  NTSTATUS status = kStatusInfoLengthMismatch;
  for (int call = 0; call < 3 && status == kStatusInfoLengthMismatch; ++call) {
    status = NtQuerySystemInformation(SystemProcessInformation, buffer.bytes.get(), buffer.size, &needed);
    if (status == kStatusInfoLengthMismatch) {
      buffer.size = needed + 65536;
      buffer.bytes = std::make_unique_for_overwrite<unsigned char[]>(buffer.size);
    }
  }
  std::uint64_t total = 0;
  for (ULONG offset = 0, next = 1; status == 0 && next != 0 && offset + 88 <= buffer.size; offset += next) {
    std::uint64_t times[2];
    std::memcpy(times, buffer.bytes.get() + offset + 40, sizeof times);  // user, kernel
    std::memcpy(&next, buffer.bytes.get() + offset, sizeof next);
    total += times[0] + times[1];
  }
  FILETIME idle{}, kernel{}, user{};
  if (GetSystemTimes(&idle, &kernel, &user)) total += kernel.dwLowDateTime + user.dwLowDateTime - idle.dwLowDateTime;
  sink = total;
}

void takeServiceList(std::vector<std::uint64_t>& storage) {
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (manager == nullptr) return;
  for (int call = 0; call < 3; ++call) {
    DWORD needed = 0, returned = 0;
    auto* bytes = reinterpret_cast<BYTE*>(storage.data());
    if (EnumServicesStatusExA(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, bytes,
                              static_cast<DWORD>(storage.size() * 8), &needed, &returned, nullptr, nullptr)) {
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(bytes);
      for (DWORD i = 0; i < returned; ++i) sink = sink + entries[i].ServiceStatusProcess.dwProcessId;
      break;
    }
    if (GetLastError() != ERROR_MORE_DATA) break;
    storage.resize(storage.size() + needed / 8 + 1);
  }
  CloseServiceHandle(manager);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Buffer processes;
  std::vector<std::uint64_t> services;
  for (int tick = 0;; ++tick) {
    takeProcessList(processes);
    if (tick % 12 == 0) takeServiceList(services);
    Sleep(5000);
  }
}
