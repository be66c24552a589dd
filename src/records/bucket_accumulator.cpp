// Folds one-minute samples into fixed-length buckets and hands out each bucket's means.
#include "records/bucket_accumulator.h"

#include <utility>
#include <vector>

#include "records/payload_time.h"

namespace ostrivel {

namespace {

// Times come from samples; one far out of range must not overflow the arithmetic below.
std::int64_t wrappingAdd(std::int64_t a, std::int64_t b) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

using Shares = std::vector<std::pair<std::string, double>>;

// Read in full before the bucket changes: a non-number raises the json type error 302 while
// nothing has been closed or counted yet.
Shares readShares(const nlohmann::json& sample, const char* member) {
  Shares shares;
  if (!sample.is_object()) {
    return shares;
  }
  const auto part = sample.find(member);
  if (part == sample.end() || !part->is_object()) {
    return shares;
  }
  for (const auto& [key, value] : part->items()) {
    shares.emplace_back(key, value.get<double>());
  }
  return shares;
}

void addShares(const Shares& shares, std::map<std::string, double>& sums) {
  constexpr const char* kShortLived = "(short-lived)";
  for (const auto& [key, value] : shares) {
    auto sum = sums.find(key);
    if (sum == sums.end()) {
      const std::size_t ownKeys = sums.size() - sums.count(kShortLived) - sums.count(BucketAccumulator::kOtherKey);
      const bool full = key != kShortLived && ownKeys >= BucketAccumulator::kKeyLimit;
      sum = sums.try_emplace(full ? std::string(BucketAccumulator::kOtherKey) : key, 0.0).first;
    }
    sum->second += value;
  }
}

std::map<std::string, double> means(const std::map<std::string, double>& sums, std::int32_t samples) {
  std::map<std::string, double> out;
  for (const auto& [key, sum] : sums) {
    out.emplace(key, sum / samples);
  }
  return out;
}

}  // namespace

BucketAccumulator::BucketAccumulator(unsigned bucketMinutesIn) : bucketMinutes(bucketMinutesIn) {}

std::optional<BucketRecord> BucketAccumulator::merge(const nlohmann::json& sample) {
  const Shares appShares = readShares(sample, "apps");
  const Shares serviceShares = readShares(sample, "services");
  std::lock_guard guard(lock);
  const std::int64_t at = payloadTime(sample);
  const std::int64_t length = static_cast<std::int64_t>(bucketMinutes) * 60000;
  // The remainder of signed division: a time before the epoch rounds towards zero.
  const std::int64_t bucketStart = length > 0 ? at - at % length : at;

  std::optional<BucketRecord> closed;
  if (active && bucketStart != start) {
    closed = close(wrappingAdd(start, length));
  }
  if (!active) {
    active = true;
    start = bucketStart;
    samples = 0;
    apps.clear();
    services.clear();
  }
  ++samples;
  lastAt = at;
  addShares(appShares, apps);
  addShares(serviceShares, services);
  return closed;
}

std::optional<BucketRecord> BucketAccumulator::snapshot() const {
  std::lock_guard guard(lock);
  if (!active || samples == 0) {
    return std::nullopt;
  }
  return meansUntil(wrappingAdd(lastAt, 1));
}

std::optional<BucketRecord> BucketAccumulator::closeNow() {
  std::lock_guard guard(lock);
  if (!active || samples == 0) {
    active = false;
    return std::nullopt;
  }
  return close(lastAt);
}

BucketRecord BucketAccumulator::meansUntil(std::int64_t end) const {
  return BucketRecord{start, end, samples, means(apps, samples), means(services, samples)};
}

BucketRecord BucketAccumulator::close(std::int64_t end) {
  BucketRecord record = meansUntil(end);
  active = false;
  samples = 0;
  apps.clear();
  services.clear();
  return record;
}

}  // namespace ostrivel
