// One steady-state tick of CPU accounting at 300, 1,000 and 5,000 processes, 100 service hosts.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "measurement/cpu_accounting.h"

namespace ostrivel {
namespace {

constexpr int kServiceHosts = 100;
constexpr int kSnapshots = 12;

struct Machine {
  std::vector<std::vector<ProcessRecord>> snapshots;
  ServiceMap services;
};

// Names repeat as on a real machine (many browser and host processes), and every process burns a
// little each tick so every delta is computed.
Machine machineOf(int processes) {
  static const std::vector<std::string> names = {
      "chrome.exe", "msedge.exe", "RuntimeBroker.exe", "conhost.exe", "Microsoft.Photos.exe", "explorer.exe",
      "Teams.exe",  "OneDrive.exe", "SearchHost.exe", "dllhost.exe", "WmiPrvSE.exe", "backgroundTaskHost.exe"};
  Machine machine;
  for (int host = 0; host < kServiceHosts; ++host) {
    std::vector<std::string>& hosted = machine.services[1000 + 4 * host];
    for (int s = 0; s <= host % 4; ++s) {
      hosted.push_back("Service" + std::to_string(host) + "_" + std::to_string(s));
    }
  }
  for (int tick = 0; tick < kSnapshots; ++tick) {
    std::vector<ProcessRecord>& snapshot = machine.snapshots.emplace_back();
    for (int i = 0; i < processes; ++i) {
      const auto pid = static_cast<std::uint32_t>(1000 + 4 * i);
      std::string name = i < kServiceHosts ? "svchost.exe"
                         : i % 7 == 0      ? "app" + std::to_string(i) + ".exe"
                                           : names[static_cast<std::size_t>(i) % names.size()];
      snapshot.push_back(ProcessRecord{pid, std::move(name), 0.01 * tick * (1 + i % 5), 132'000'000'000'000'000 + i});
    }
  }
  return machine;
}

void BM_AccountingTick(benchmark::State& state) {
  const Machine machine = machineOf(static_cast<int>(state.range(0)));
  CpuAccounting accounting(60, 5);
  const auto services = [&] { return machine.services; };
  std::int64_t now = 1'767'614'400'000;
  double busy = 1000.0;
  std::size_t tick = 0;
  accounting.tick(machine.snapshots[0], busy, now, 8, services);
  for (auto _ : state) {
    ++tick;
    now += 5000;
    busy += 10.0;
    auto sample = accounting.tick(machine.snapshots[tick % kSnapshots], busy, now, 8, services);
    benchmark::DoNotOptimize(sample);
  }
  state.counters["processes"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_AccountingTick)->Arg(300)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ostrivel
