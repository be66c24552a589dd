// Samples fold into ten-minute buckets closed only by a sample of another bucket or by closeNow.
#include "records/bucket_accumulator.h"

#include <gtest/gtest.h>

#include <thread>

namespace ostrivel {
namespace {

constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05 12:00:00 UTC
constexpr std::int64_t kMinute = 60000;

nlohmann::json sample(std::int64_t at, double chrome, double dnscache = 0.5) {
  return {{"at", at}, {"apps", {{"chrome", chrome}}}, {"services", {{"Dnscache", dnscache}}}};
}

TEST(BucketAccumulator, ClosesABucketOnlyWithASampleOfAnotherOrByCloseNow) {
  BucketAccumulator buckets(10);
  EXPECT_EQ(buckets.snapshot(), std::nullopt);
  EXPECT_EQ(buckets.closeNow(), std::nullopt);
  EXPECT_EQ(buckets.merge(sample(kNoon + 30000, 2.0)), std::nullopt);
  EXPECT_EQ(buckets.merge(sample(kNoon + 10 * kMinute - 1, 4.0)), std::nullopt);  // 12:09:59.999
  // A snapshot ends a millisecond after the last sample and leaves the bucket open.
  for (int look = 0; look < 2; ++look) {
    const auto partial = buckets.snapshot();
    ASSERT_TRUE(partial);
    EXPECT_EQ(partial->end, kNoon + 10 * kMinute);
    EXPECT_EQ(partial->samples, 2);
  }

  const auto closed = buckets.merge(sample(kNoon + 10 * kMinute, 8.0));  // 12:10:00.000
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->start, kNoon);
  EXPECT_EQ(closed->end, kNoon + 10 * kMinute);
  EXPECT_EQ(closed->samples, 2);
  EXPECT_DOUBLE_EQ(closed->apps.at("chrome"), 3.0);
  EXPECT_DOUBLE_EQ(closed->services.at("Dnscache"), 0.5);

  // closeNow ends the open bucket at its last sample; the next sample opens a fresh one, even
  // one of the same ten minutes.
  buckets.merge(sample(kNoon + 12 * kMinute, 10.0));
  const auto flushed = buckets.closeNow();
  ASSERT_TRUE(flushed);
  EXPECT_EQ(flushed->start, kNoon + 10 * kMinute);
  EXPECT_EQ(flushed->end, kNoon + 12 * kMinute);
  EXPECT_EQ(flushed->samples, 2);
  EXPECT_DOUBLE_EQ(flushed->apps.at("chrome"), 9.0);
  EXPECT_EQ(buckets.snapshot(), std::nullopt);
  EXPECT_EQ(buckets.closeNow(), std::nullopt);
  buckets.merge(sample(kNoon + 13 * kMinute, 1.0));
  buckets.merge(sample(kNoon + 14 * kMinute, 3.0));
  EXPECT_EQ(buckets.snapshot()->samples, 2);

  // A clock set back closes the open bucket and opens the earlier one.
  const auto setBack = buckets.merge(sample(kNoon + 3 * kMinute, 5.0));
  ASSERT_TRUE(setBack);
  EXPECT_EQ(setBack->start, kNoon + 10 * kMinute);
  EXPECT_EQ(setBack->end, kNoon + 20 * kMinute);
  EXPECT_EQ(setBack->samples, 2);
  EXPECT_DOUBLE_EQ(setBack->apps.at("chrome"), 2.0);
  const auto reopened = buckets.closeNow();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(reopened->start, kNoon);
  EXPECT_EQ(reopened->end, kNoon + 3 * kMinute);
  EXPECT_EQ(reopened->samples, 1);
}

TEST(BucketAccumulator, AveragesOverEverySampleAndCountsSamplesWithoutSharesOrTime) {
  BucketAccumulator buckets(10);
  buckets.merge(sample(kNoon, 4.0));
  buckets.merge({{"at", kNoon + kMinute}, {"apps", {{"chrome", 2.0}, {"code", 3.0}}}});
  buckets.merge({{"at", kNoon + 2 * kMinute}});
  buckets.merge({{"at", static_cast<std::uint64_t>(kNoon + 3 * kMinute)}, {"apps", {{"code", 1}}}});
  const auto record = buckets.closeNow();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->samples, 4);
  EXPECT_EQ(record->end, kNoon + 3 * kMinute);
  EXPECT_DOUBLE_EQ(record->apps.at("chrome"), 1.5);
  EXPECT_DOUBLE_EQ(record->apps.at("code"), 1.0);
  EXPECT_DOUBLE_EQ(record->services.at("Dnscache"), 0.125);

  // Without an integer time a sample falls into the epoch's bucket, and still counts.
  buckets.merge({{"at", "12:00"}, {"apps", {{"chrome", 1.0}}}});
  buckets.merge(nlohmann::json::array({1, 2}));
  const auto epoch = buckets.closeNow();
  ASSERT_TRUE(epoch);
  EXPECT_EQ(epoch->start, 0);
  EXPECT_EQ(epoch->samples, 2);
}

TEST(BucketAccumulator, ASampleWithANonNumericShareIsRefusedWholeBeforeItClosesAnything) {
  BucketAccumulator buckets(10);
  buckets.merge(sample(kNoon, 1.0));
  try {
    buckets.merge({{"at", kNoon + 10 * kMinute}, {"apps", {{"chrome", "busy"}}}});  // of the next bucket
    FAIL() << "no type error";
  } catch (const nlohmann::json::type_error& error) {
    EXPECT_EQ(error.id, 302);
    EXPECT_NE(std::string(error.what()).find("type must be number, but is string"), std::string::npos);
  }
  const auto open = buckets.snapshot();
  ASSERT_TRUE(open);
  EXPECT_EQ(open->start, kNoon);
  EXPECT_EQ(open->samples, 1);
  EXPECT_EQ(open->end, kNoon + 1);
}

TEST(BucketAccumulator, KeysBeyondTheLimitOfABucketAreSummedUnderOneKey) {
  BucketAccumulator buckets(10);
  nlohmann::json apps = nlohmann::json::object();
  for (std::size_t i = 0; i < BucketAccumulator::kKeyLimit + 2; ++i) {
    apps["p" + std::to_string(10000 + i)] = 1.0;  // the last two are over the limit
  }
  buckets.merge({{"at", kNoon}, {"apps", apps}});
  // A key the bucket holds keeps its own sum; the short-lived share is never lumped in.
  buckets.merge({{"at", kNoon + kMinute}, {"apps", {{"p10000", 3.0}, {"late", 4.0}, {"(short-lived)", 0.5}}}});
  const auto record = buckets.closeNow();
  ASSERT_TRUE(record);
  EXPECT_EQ(record->apps.size(), BucketAccumulator::kKeyLimit + 2);
  EXPECT_DOUBLE_EQ(record->apps.at("p10000"), 2.0);
  EXPECT_DOUBLE_EQ(record->apps.at("(other)"), 3.0);
  EXPECT_DOUBLE_EQ(record->apps.at("(short-lived)"), 0.25);
}

// Samples merged on one thread while another closes buckets (as a suspend does): every sample
// ends up in exactly one record.
TEST(BucketAccumulator, ConcurrentClosesLoseNoSample) {
  BucketAccumulator buckets(10);
  constexpr int kSamples = 2000;
  int closedSamples = 0;
  std::jthread merger([&] {
    for (int i = 0; i < kSamples; ++i) {
      if (const auto record = buckets.merge(sample(kNoon + i * 1000LL, 1.0))) {
        closedSamples += record->samples;
      }
    }
  });
  int suspendedSamples = 0;
  for (int i = 0; i < 200; ++i) {
    if (const auto record = buckets.closeNow()) {
      suspendedSamples += record->samples;
    }
    buckets.snapshot();
  }
  merger.join();
  if (const auto record = buckets.closeNow()) {
    suspendedSamples += record->samples;
  }
  EXPECT_EQ(closedSamples + suspendedSamples, kSamples);
}

}  // namespace
}  // namespace ostrivel
