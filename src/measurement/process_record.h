// One process of a snapshot, and the map of processes that host Windows services.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrivel {

struct ProcessRecord {
  std::uint32_t pid = 0;
  // File name only, in the system's ANSI code page.
  std::string imageName;
  // User plus kernel time since the process started.
  double cpuSeconds = 0.0;
  // As the system reports it (100-ns units since 1601); only an identity, so a reused pid
  // is told apart from the process that had it before.
  std::int64_t createTime = 0;
};

// Process id to the short names of the services it hosts, in the order the system listed them.
using ServiceMap = std::map<std::int32_t, std::vector<std::string>>;

}  // namespace ostrivel
