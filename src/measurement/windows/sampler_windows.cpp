// The sampler's facts from Windows: processes, service hosts, processors, machine busy time.
#include "measurement/windows/sampler_windows.h"

#include <thread>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/windows_api.h"
#include "measurement/windows/process_list_windows.h"

namespace ostrivel {

namespace {

constexpr std::size_t kInitialProcessBuffer = 512 * 1024;
constexpr int kMaxServiceCalls = 3;

std::uint64_t ticksOf(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace

SamplerWindows::SamplerWindows(const Clock& clock, Wait wait)
    : Sampler(clock, std::move(wait)), processBuffer(kInitialProcessBuffer) {}

// The thread calls the slots below, so it must end before the buffer goes.
SamplerWindows::~SamplerWindows() { stop(); }

std::vector<ProcessRecord> SamplerWindows::listProcesses() {
  return readProcessList(processBuffer, querySystemProcessInformation);
}

ServiceMap SamplerWindows::serviceProcesses() {
  ServiceMap map;
  ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
  if (!manager) {
    return map;
  }
  // Eight-byte words, so the entries the call lays out are aligned as they must be.
  std::vector<std::uint64_t> storage;
  DWORD size = 0;
  for (int call = 0; call < kMaxServiceCalls; ++call) {
    DWORD needed = 0;
    DWORD returned = 0;
    auto* bytes = size > 0 ? reinterpret_cast<BYTE*>(storage.data()) : nullptr;
    if (EnumServicesStatusExA(manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, bytes, size,
                              &needed, &returned, nullptr, nullptr)) {
      const auto* entries = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSA*>(bytes);
      for (DWORD i = 0; i < returned; ++i) {
        const DWORD pid = entries[i].ServiceStatusProcess.dwProcessId;
        // A stopping or starting service may have no process yet.
        if (pid >= 1 && entries[i].lpServiceName != nullptr) {
          map[static_cast<std::int32_t>(pid)].emplace_back(entries[i].lpServiceName);
        }
      }
      return map;
    }
    if (GetLastError() != ERROR_MORE_DATA) {
      return map;
    }
    size += needed;
    storage.resize((size + 7) / 8);
  }
  return map;
}

std::uint32_t SamplerWindows::processorCount() {
  // All processor groups: MinGW's hardware_concurrency counts only the processors of this
  // process's affinity mask, which on machines with more than 64 would understate capacity.
  DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (count == 0) {
    count = std::thread::hardware_concurrency();
  }
  return count > 0 ? count : 1;
}

double SamplerWindows::systemBusySeconds() {
  FILETIME idle{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetSystemTimes(&idle, &kernel, &user)) {
    return 0.0;
  }
  // Kernel time includes the idle time, so this is the time processors spent not idle.
  const std::uint64_t busy = ticksOf(kernel) + ticksOf(user) - ticksOf(idle);
  return static_cast<double>(busy) / 10'000'000.0;
}

}  // namespace ostrivel
