// Samples of any shape folded into buckets, then written as days records.
#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "records/bucket_accumulator.h"
#include "records/record_builders.h"
#include "records/record_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto sample = nlohmann::json::parse(data, data + size, nullptr, false);
  if (sample.is_discarded()) {
    return 0;
  }
  ostrivel::BucketAccumulator accumulator(10);
  auto write = [](const std::optional<ostrivel::BucketRecord>& bucket) {
    if (bucket) {
      ostrivel::serialiseRecord(ostrivel::buildDaysRecord(*bucket, 60).payload);
    }
  };
  for (int round = 0; round < 2; ++round) {
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
