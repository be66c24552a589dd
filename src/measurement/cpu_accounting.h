// One tick of CPU accounting as plain data in and out, so tests drive it tick by tick.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "infra/data.h"
#include "measurement/process_record.h"

namespace ostrivel {

// The seconds between ticks: 0 when the window is below a second, else the interval (at least
// 1) but never longer than the window.
std::int32_t effectiveIntervalSeconds(std::int32_t windowSeconds, std::int32_t intervalSeconds);

class CpuAccounting {
 public:
  CpuAccounting(std::int32_t windowSeconds, std::int32_t intervalSeconds);

  // Feeds one look at the machine: the process snapshot, the machine's busy CPU seconds since
  // boot, the wall time in ms and the logical processor count. The first tick only sets the
  // baseline. serviceProcesses is called only at the first measured tick of a window; the map
  // then holds for the whole window. Returns the "sample" when this tick closes a window.
  std::optional<Data> tick(const std::vector<ProcessRecord>& snapshot, double busySeconds, std::int64_t nowMs,
                           std::uint32_t processorCount, const std::function<ServiceMap()>& serviceProcesses);

 private:
  // The CPU seconds of one process at the previous tick, known by pid and creation time.
  // `order` is the position in the snapshot, which decides between entries of the same key.
  struct Reading {
    std::int32_t pid;
    std::int64_t createTime;
    double cpuSeconds;
    std::size_t order;
  };
  struct Delta {
    std::int32_t pid;
    double seconds;
    std::size_t order;
  };

  void discardWindow();
  void attribute(const std::vector<ProcessRecord>& snapshot, double capSeconds);
  Data closeWindow(std::int64_t nowMs, std::uint32_t cpus);
  void rememberBaseline(const std::vector<ProcessRecord>& snapshot, double busySeconds, std::int64_t nowMs);
  double deltaOf(std::int32_t pid) const;

  std::int64_t windowMsTarget;
  std::int64_t intervalMs;

  // Sorted vectors rather than maps: a tick over a thousand processes then walks contiguous
  // memory and, once their capacity has grown, allocates nothing. Both keep one entry per key,
  // the last one of the snapshot.
  std::vector<Reading> previous;
  std::vector<Delta> deltas;
  ServiceMap services;
  std::map<std::string, double> appSeconds;
  std::map<std::string, double> serviceSeconds;
  double processSum = 0.0;
  double busySum = 0.0;
  bool busyUnknown = false;  // a busy reading of this window failed
  std::int64_t windowMs = 0;
  std::int64_t lastNow = 0;
  double lastBusy = 0.0;
  bool baselined = false;
  bool emittedOnce = false;
};

}  // namespace ostrivel
