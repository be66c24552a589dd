// Folds one-minute samples into fixed-length buckets and hands out each bucket's means.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "records/bucket_record.h"

namespace ostrivel {

// A bucket is closed only by the first sample of another bucket (later or earlier: a clock set
// back closes it too) or by closeNow, never by the passing of time. Every operation takes the
// accumulator's own mutex, so the sampling thread and a suspend may call it concurrently.
class BucketAccumulator {
 public:
  // Keys of one bucket's "apps" (and of its "services"); the shares of any further keys are
  // summed under kOtherKey, so a flood of distinctly named processes keeps records, and the
  // catalogue's work on them, bounded. "(short-lived)" always keeps its own sum.
  static constexpr std::size_t kKeyLimit = 2000;
  static constexpr const char* kOtherKey = "(other)";

  explicit BucketAccumulator(unsigned bucketMinutes);

  // Adds a sample {"at": ms, "apps": {key: number}, "services": {key: number}}; returns the
  // bucket it closed, if any. A non-number among the values raises the json library's type
  // error and refuses the sample whole: nothing is closed or counted.
  std::optional<BucketRecord> merge(const nlohmann::json& sample);
  // The open bucket so far, ending one millisecond after its last sample; it stays open.
  std::optional<BucketRecord> snapshot() const;
  // Closes the open bucket at its last sample's time.
  std::optional<BucketRecord> closeNow();

 private:
  BucketRecord meansUntil(std::int64_t end) const;
  BucketRecord close(std::int64_t end);

  const std::uint32_t bucketMinutes;
  mutable std::mutex lock;
  bool active = false;
  std::int64_t start = 0;
  std::int64_t lastAt = 0;
  std::int32_t samples = 0;
  std::map<std::string, double> apps;
  std::map<std::string, double> services;
};

}  // namespace ostrivel
