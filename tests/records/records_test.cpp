// Samples fold into ten-minute buckets, closed only by a sample of another bucket or by closeNow;
// the outbox records' exact bytes and names.
#include <gtest/gtest.h>

#include "records/bucket_accumulator.h"
#include "records/record_builders.h"
#include "records/record_writer.h"
#include "support/in_memory_file_system.h"

namespace ostrivel {
namespace {

using nlohmann::json;
constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05 12:00:00 UTC
constexpr std::int64_t kMinute = 60000;
// Start, end, samples and chrome's mean of a record; all -1 for none.
using Summary = std::tuple<std::int64_t, std::int64_t, int, double>;
constexpr Summary kNone{-1, -1, -1, -1.0};

Summary summary(const std::optional<BucketRecord>& record) {
  return record ? Summary{record->start, record->end, record->samples, record->apps.at("chrome")} : kNone;
}

TEST(BucketAccumulator, ClosesABucketOnlyWithASampleOfAnotherOrByCloseNow) {
  BucketAccumulator buckets(10);
  constexpr std::int64_t k10 = kNoon + 10 * kMinute;
  // 'm' merges a sample at a time with its chrome share, 's' takes a snapshot, 'c' closes now. A
  // snapshot ends a millisecond after the last sample and leaves the bucket open; closeNow ends it
  // at its last sample, and the next sample opens a fresh one, even of the same ten minutes. A
  // clock set back closes the open bucket and opens the earlier one.
  // clang-format off
  const std::tuple<char, std::int64_t, double, Summary> steps[] = {
      {'s', 0, 0, kNone}, {'c', 0, 0, kNone}, {'m', kNoon + 30000, 2.0, kNone}, {'m', k10 - 1, 4.0, kNone},
      {'s', 0, 0, {kNoon, k10, 2, 3.0}}, {'m', k10, 8.0, {kNoon, k10, 2, 3.0}}, {'c', 0, 0, {k10, k10, 1, 8.0}},
      {'s', 0, 0, kNone}, {'c', 0, 0, kNone}, {'m', k10 + 4 * kMinute, 3.0, kNone},
      {'s', 0, 0, {k10, k10 + 4 * kMinute + 1, 1, 3.0}}, {'m', kNoon + 3 * kMinute, 5.0, {k10, k10 + 600000, 1, 3.0}},
      {'c', 0, 0, {kNoon, kNoon + 3 * kMinute, 1, 5.0}}};
  // clang-format on
  for (const auto& [op, at, chrome, expected] : steps) {
    const json sample = {{"at", at}, {"apps", {{"chrome", chrome}}}};
    const auto record = op == 'm' ? buckets.merge(sample) : op == 's' ? buckets.snapshot() : buckets.closeNow();
    EXPECT_EQ(summary(record), expected) << op << " " << at;
  }
}

TEST(BucketAccumulator, AveragesOverEverySampleCapsItsKeysAndRefusesABadSampleWhole) {
  BucketAccumulator buckets(10);
  json apps = json::object();
  // The last two keys are over the limit.
  for (std::size_t i = 0; i < BucketAccumulator::kKeyLimit + 2; ++i) apps["p" + std::to_string(10000 + i)] = 1.0;
  buckets.merge({{"at", kNoon}, {"apps", apps}, {"services", {{"Dnscache", 1.5}}}});
  // A key the bucket holds keeps its own sum; the short-lived share is never lumped in.
  buckets.merge({{"at", kNoon + kMinute}, {"apps", {{"p10000", 3.0}, {"late", 4.0}, {"(short-lived)", 0.6}}}});
  buckets.merge({{"at", static_cast<std::uint64_t>(kNoon + 2 * kMinute)}});
  // A sample of the next bucket with a share that is not a number closes nothing and counts nowhere.
  EXPECT_THROW(buckets.merge({{"at", kNoon + 10 * kMinute}, {"apps", {{"p10000", "busy"}}}}), json::type_error);
  // Without an integer time a sample falls into the epoch's bucket.
  const auto record = buckets.merge({{"at", "12:00"}, {"apps", {{"chrome", 1.0}}}});
  ASSERT_TRUE(record);
  EXPECT_EQ(record->samples, 3);
  EXPECT_EQ(record->apps.size(), BucketAccumulator::kKeyLimit + 2);
  EXPECT_DOUBLE_EQ(record->apps.at("p10000"), 4.0 / 3);
  EXPECT_DOUBLE_EQ(record->apps.at("(other)"), 2.0);
  EXPECT_DOUBLE_EQ(record->apps.at("(short-lived)"), 0.2);
  EXPECT_DOUBLE_EQ(record->services.at("Dnscache"), 0.5);
  EXPECT_EQ(summary(buckets.closeNow()), (Summary{0, 0, 1, 1.0}));
}

// Tab-indented raw UTF-8 with shares rounded to four decimals, halves away from zero; a key that
// is not UTF-8 (an ANSI image name) gets U+FFFD, never a throw. Named by the bucket's end.
TEST(OutboxRecords, AreWrittenAndNamedAsTheServerReadsThem) {
  testing::InMemoryFileSystem files;
  const BucketRecord bucket{kNoon,
                            kNoon + 10 * kMinute,
                            10,
                            {{"caf\xE9", 1.03125}, {"th\xC3\xA9", 3.14159}, {"x", -1.03125}},
                            {{"Dnscache", 0.00004}, {"wuauserv", 12.0}}};
  ASSERT_TRUE(writeRecord(files, buildDaysRecord(bucket, 60), "C:\\outbox\\"));
  EXPECT_EQ(
      files.peek("C:\\outbox\\days202601051210.json"),
      "{\n\t\"apps\": {\n\t\t\"caf\xEF\xBF\xBD\": 1.0313,\n\t\t\"th\xC3\xA9\": 3.1416,\n\t\t\"x\": -1.0313\n\t},\n"
      "\t\"date\": \"20260105\",\n\t\"end\": 1767615000000,\n\t\"kind\": \"days\",\n\t\"samples\": 10,\n"
      "\t\"services\": {\n\t\t\"Dnscache\": 0.0,\n\t\t\"wuauserv\": 12.0\n\t},\n"
      "\t\"start\": 1767614400000,\n\t\"tz\": 60\n}");
  EXPECT_EQ(buildAppsRecord(json::object(), kNoon + 659999, -300).payload.dump(),
            R"({"apps":{},"date":"20260105","kind":"apps","tz":-300})");
  // An events record goes under the event's UTC day.
  const auto boot = buildEventsRecord({{"at", 1767571200042}, {"kind", "boot"}}, 60, 3);  // 2026-01-05 00:00:00.042
  EXPECT_EQ(boot.name + boot.payload.dump(),
            "events20260105000003"
            R"({"date":"20260105","events":[{"at":1767571200042,"kind":"boot"}],"kind":"events","tz":60})");
}

}  // namespace
}  // namespace ostrivel
