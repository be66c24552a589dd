// One folded bucket of samples: its time span, how many samples, and the mean shares per key.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ostrivel {

struct BucketRecord {
  std::int64_t start = 0;  // ms, a multiple of the bucket length
  std::int64_t end = 0;    // ms: the bucket's end, or the last sample's time (+1 for a partial record)
  std::int32_t samples = 0;
  std::map<std::string, double> apps;      // mean share of capacity in percent per application key
  std::map<std::string, double> services;  // the same per service
};

}  // namespace ostrivel
