// One tick of CPU accounting: per-process deltas to applications and services, and window samples.
#include "measurement/cpu_accounting.h"

#include <algorithm>

#include "measurement/app_key.h"

namespace ostrivel {

namespace {

constexpr const char* kShortLived = "(short-lived)";

nlohmann::json sharesOf(const std::map<std::string, double>& seconds, double capacity) {
  nlohmann::json shares = nlohmann::json::object();
  for (const auto& [key, value] : seconds) {
    shares[key] = capacity > 0.0 ? value / capacity * 100.0 : 0.0;
  }
  return shares;
}

// Sorts by key and keeps, of entries with the same key, the one latest in the snapshot, as
// assigning into a map in snapshot order would. std::sort, unlike std::stable_sort, needs no
// buffer of its own.
template <typename Entry, typename KeyOf>
void sortKeepingLast(std::vector<Entry>& entries, KeyOf keyOf) {
  std::sort(entries.begin(), entries.end(), [&](const Entry& a, const Entry& b) {
    const auto keyA = keyOf(a);
    const auto keyB = keyOf(b);
    return keyA < keyB || (keyA == keyB && a.order < b.order);
  });
  auto kept = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    const auto next = it + 1;
    if (next == entries.end() || keyOf(*next) != keyOf(*it)) {
      *kept++ = *it;
    }
  }
  entries.erase(kept, entries.end());
}

}  // namespace

std::int32_t effectiveIntervalSeconds(std::int32_t windowSeconds, std::int32_t intervalSeconds) {
  if (windowSeconds < 1) {
    return 0;
  }
  return std::min(std::max(intervalSeconds, 1), windowSeconds);
}

CpuAccounting::CpuAccounting(std::int32_t windowSeconds, std::int32_t intervalSeconds)
    : windowMsTarget(std::int64_t{windowSeconds} * 1000),
      intervalMs(std::int64_t{effectiveIntervalSeconds(windowSeconds, intervalSeconds)} * 1000) {}

std::optional<Data> CpuAccounting::tick(const std::vector<ProcessRecord>& snapshot, double busySeconds,
                                        std::int64_t nowMs, std::uint32_t processorCount,
                                        const std::function<ServiceMap()>& serviceProcesses) {
  std::optional<Data> sample;
  if (baselined) {
    const std::int64_t elapsed = nowMs - lastNow;
    // A sleep, a hibernation, a stalled thread or a clock step: the deltas of this interval
    // cannot be told apart from the gap, so the whole window goes.
    if (elapsed < 1 || (intervalMs > 0 && elapsed > 2 * intervalMs)) {
      discardWindow();
    } else {
      const std::uint32_t cpus = std::max<std::uint32_t>(processorCount, 1);
      if (windowMs == 0) {
        services = serviceProcesses();
      }
      attribute(snapshot, static_cast<double>(elapsed) / 1000.0 * cpus);
      busySum += busySeconds - lastBusy;
      // 0.0 is a failed reading: against a real one it would stand for all busy time since boot.
      busyUnknown = busyUnknown || busySeconds == 0.0 || lastBusy == 0.0;
      windowMs += elapsed;
      if (!emittedOnce || windowMs >= windowMsTarget) {
        sample = closeWindow(nowMs, cpus);
      }
    }
  }
  rememberBaseline(snapshot, busySeconds, nowMs);
  return sample;
}

void CpuAccounting::discardWindow() {
  appSeconds.clear();
  serviceSeconds.clear();
  processSum = 0.0;
  busySum = 0.0;
  busyUnknown = false;
  windowMs = 0;
}

void CpuAccounting::attribute(const std::vector<ProcessRecord>& snapshot, double capSeconds) {
  deltas.clear();
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    const ProcessRecord& process = snapshot[i];
    const auto pid = static_cast<std::int32_t>(process.pid);
    const auto before = std::lower_bound(previous.begin(), previous.end(), std::pair(pid, process.createTime),
                                         [](const Reading& reading, const std::pair<std::int32_t, std::int64_t>& key) {
                                           return std::pair(reading.pid, reading.createTime) < key;
                                         });
    const bool known = before != previous.end() && before->pid == pid && before->createTime == process.createTime;
    // A process not seen before (or a reused pid) ran partly before this interval: all its
    // time counts, but never more than the interval's capacity.
    const double delta = known ? std::max(0.0, process.cpuSeconds - before->cpuSeconds)
                               : std::min(capSeconds, process.cpuSeconds);
    deltas.push_back(Delta{pid, delta, i});
  }
  sortKeepingLast(deltas, [](const Delta& delta) { return delta.pid; });

  // A service host is counted only under its services, even once they have stopped: the map
  // holds for the whole window.
  for (const ProcessRecord& process : snapshot) {
    const auto pid = static_cast<std::int32_t>(process.pid);
    if (!services.contains(pid)) {
      appSeconds[appKey(process.imageName)] += deltaOf(pid);
    }
  }
  for (const auto& [pid, names] : services) {
    const auto delta = std::lower_bound(deltas.begin(), deltas.end(), pid,
                                        [](const Delta& entry, std::int32_t key) { return entry.pid < key; });
    if (delta == deltas.end() || delta->pid != pid || names.empty()) {
      continue;
    }
    const double share = delta->seconds / static_cast<double>(names.size());
    for (const std::string& name : names) {
      serviceSeconds[appKey(name)] += share;
    }
  }
  for (const Delta& delta : deltas) {
    processSum += delta.seconds;
  }
}

double CpuAccounting::deltaOf(std::int32_t pid) const {
  const auto delta = std::lower_bound(deltas.begin(), deltas.end(), pid,
                                      [](const Delta& entry, std::int32_t key) { return entry.pid < key; });
  return delta != deltas.end() && delta->pid == pid ? delta->seconds : 0.0;
}

Data CpuAccounting::closeWindow(std::int64_t nowMs, std::uint32_t cpus) {
  const double capacity = static_cast<double>(windowMs) / 1000.0 * cpus;
  // Busy time that no process of the snapshots accounts for: processes that started and ended
  // between two ticks, and the last moments of processes that vanished.
  const double shortLived =
      capacity > 0.0 && busySum > 0.0 && !busyUnknown ? std::max(0.0, (busySum - processSum) / capacity * 100.0) : 0.0;

  nlohmann::json apps = sharesOf(appSeconds, capacity);
  if (shortLived > 0.0) {
    apps[kShortLived] = shortLived;
  }
  nlohmann::json sample = nlohmann::json::object();
  sample["apps"] = std::move(apps);
  sample["at"] = nowMs;
  sample["services"] = sharesOf(serviceSeconds, capacity);

  discardWindow();
  emittedOnce = true;
  return Data(std::move(sample), "sample");
}

void CpuAccounting::rememberBaseline(const std::vector<ProcessRecord>& snapshot, double busySeconds,
                                     std::int64_t nowMs) {
  previous.clear();
  for (std::size_t i = 0; i < snapshot.size(); ++i) {
    const ProcessRecord& process = snapshot[i];
    previous.push_back(Reading{static_cast<std::int32_t>(process.pid), process.createTime, process.cpuSeconds, i});
  }
  sortKeepingLast(previous, [](const Reading& reading) { return std::pair(reading.pid, reading.createTime); });
  lastNow = nowMs;
  lastBusy = busySeconds;
  baselined = true;
}

}  // namespace ostrivel
