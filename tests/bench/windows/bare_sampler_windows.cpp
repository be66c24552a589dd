// The least a sampler of the agent's design can do, as the floor the agent's own cost is compared
// with: the native process list and the machine's busy time every 5 s, the service list every
// minute, nothing kept, logged, written or sent. Run by tests/bench/agent_bench.sh.
#include <cstdint>
#include <cstring>
#include <memory>

#include "infra/windows/windows_api.h"

#include <winternl.h>

namespace {

constexpr std::int32_t kStatusInfoLengthMismatch = static_cast<std::int32_t>(0xC0000004);
constexpr DWORD kTickMs = 5000;
constexpr int kTicksPerServiceList = 12;

// Keeps the walk's result alive, so the compiler cannot drop the reads.
volatile std::uint64_t sink = 0;

struct Buffer {
  std::unique_ptr<unsigned char[]> bytes;
  ULONG size = 0;
};

// Walks every record's user and kernel time, as any accounting must.
void takeProcessList(Buffer& buffer) {
  for (int call = 0; call < 3; ++call) {
    ULONG needed = 0;
    const NTSTATUS status =
        NtQuerySystemInformation(SystemProcessInformation, buffer.bytes.get(), buffer.size, &needed);
    if (status == kStatusInfoLengthMismatch) {
      buffer.size = needed + 65536;
      buffer.bytes.reset(new unsigned char[buffer.size]);
      continue;
    }
    if (status != 0) {
      return;
    }
    std::uint64_t total = 0;
    for (ULONG offset = 0; offset + 88 <= buffer.size;) {
      std::uint64_t user = 0;
      std::uint64_t kernel = 0;
      ULONG next = 0;
      std::memcpy(&user, buffer.bytes.get() + offset + 40, sizeof user);
      std::memcpy(&kernel, buffer.bytes.get() + offset + 48, sizeof kernel);
      std::memcpy(&next, buffer.bytes.get() + offset, sizeof next);
      total += user + kernel;
      if (next == 0) {
        break;
      }
      offset += next;
    }
    sink = total;
    return;
  }
}

void takeBusyTime() {
  FILETIME idle{};
  FILETIME kernel{};
  FILETIME user{};
  if (GetSystemTimes(&idle, &kernel, &user)) {
    sink = sink + kernel.dwLowDateTime + user.dwLowDateTime - idle.dwLowDateTime;
  }
}

void takeServiceList() {
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE);
  if (manager == nullptr) {
    return;
  }
  std::unique_ptr<std::uint64_t[]> storage;
  DWORD size = 0;
  for (int call = 0; call < 3; ++call) {
    DWORD needed = 0;
    DWORD returned = 0;
    auto* bytes = reinterpret_cast<BYTE*>(storage.get());
    if (EnumServicesStatusExA(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, bytes, size, &needed,
                              &returned, nullptr, nullptr)) {
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(bytes);
      for (DWORD i = 0; i < returned; ++i) {
        sink = sink + entries[i].ServiceStatusProcess.dwProcessId;
      }
      break;
    }
    if (GetLastError() != ERROR_MORE_DATA) {
      break;
    }
    size += needed;
    storage.reset(new std::uint64_t[(size + 7) / 8]);
  }
  CloseServiceHandle(manager);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  Buffer buffer;
  for (int tick = 0;; ++tick) {
    takeProcessList(buffer);
    takeBusyTime();
    if (tick % kTicksPerServiceList == 0) {
      takeServiceList();
    }
    Sleep(kTickMs);
  }
}
