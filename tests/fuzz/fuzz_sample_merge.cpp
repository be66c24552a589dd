// Samples of any shape folded into buckets, then written as days records.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "records/bucket_accumulator.h"
#include "records/record_builders.h"
#include "records/record_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ostrivel;
  const auto sample = nlohmann::json::parse(data, data + size, nullptr, false);
  BucketAccumulator accumulator(10);
  const auto write = [](const std::optional<BucketRecord>& bucket) {
    if (bucket) serialiseRecord(buildDaysRecord(*bucket, 60).payload);
  };
  for (int round = 0; round < 2 && !sample.is_discarded(); ++round) {
    try {
      write(accumulator.merge(sample));
    } catch (const nlohmann::json::exception&) {
      // A non-number among the values: the sampling thread drops it the same way.
    }
    write(accumulator.snapshot());
  }
  write(accumulator.closeNow());
  return 0;
}
