// One steady-state tick of CPU accounting at 300, 1,000 and 5,000 processes, 100 service hosts.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "measurement/cpu_accounting.h"

namespace ostrivel {
namespace {

constexpr int kServiceHosts = 100;
constexpr int kSnapshots = 12;

// Names repeat as on a real machine (twelve common images, every seventh process its own), and
// every process burns a little each tick so every delta is computed.
void BM_AccountingTick(benchmark::State& state) {
  const int processes = static_cast<int>(state.range(0));
  ServiceMap services;
  for (int host = 0; host < kServiceHosts; ++host) {
    for (int s = 0; s <= host % 4; ++s) services[1000 + 4 * host].push_back("Service" + std::to_string(host * 4 + s));
  }
  std::vector<std::vector<ProcessRecord>> snapshots(kSnapshots);
  for (int tick = 0; tick < kSnapshots; ++tick) {
    for (int i = 0; i < processes; ++i) {
      std::string name = i < kServiceHosts ? "svchost.exe" : "app" + std::to_string(i % 7 == 0 ? i : i % 12) + ".exe";
      snapshots[tick].push_back({static_cast<std::uint32_t>(1000 + 4 * i), std::move(name), 0.01 * tick * (1 + i % 5),
                                 132'000'000'000'000'000 + i});
    }
  }
  CpuAccounting accounting(60, 5);
  std::int64_t now = 1'767'614'400'000;
  std::size_t tick = 0;
  accounting.tick(snapshots[0], 1000.0, now, 8, [&] { return services; });
  for (auto _ : state) {
    ++tick;
    now += 5000;
    auto sample = accounting.tick(snapshots[tick % kSnapshots], 1000.0 + 10.0 * tick, now, 8, [&] { return services; });
    benchmark::DoNotOptimize(sample);
  }
  state.counters["processes"] = processes;
}
BENCHMARK(BM_AccountingTick)->Arg(300)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace ostrivel
