// The exact bytes of the outbox records: names, members, rounding and the text encoding.
#include <gtest/gtest.h>

#include "records/bucket_accumulator.h"
#include "records/record_builders.h"
#include "records/record_writer.h"
#include "records/time_keys.h"
#include "support/in_memory_file_system.h"

namespace ostrivel {
namespace {

using testing::FsOp;
using testing::InMemoryFileSystem;

constexpr std::int64_t kNoon = 1767614400000;  // 2026-01-05 12:00:00 UTC
constexpr std::int64_t kMinute = 60000;
const std::string kOutbox = "C:\\ProgramData\\Ostrivel\\outbox";

TEST(OutboxRecords, TenSamplesClosedAtTenPastBecomeTheDaysFile) {
  BucketAccumulator buckets(10);
  for (int i = 0; i < 10; ++i) {
    nlohmann::json services = {{"Dnscache", 0.25}};
    if (i < 3) {
      services["wuauserv"] = 1.2;  // averaged over all ten samples, not the three it ran in
    }
    ASSERT_EQ(buckets.merge({{"at", kNoon + i * kMinute + 4321},
                             {"apps", {{"chrome", 3.14159}, {"(short-lived)", i % 2 == 0 ? 0.05 : 0.0542}}},
                             {"services", services}}),
              std::nullopt);
  }
  const auto closed = buckets.merge({{"at", kNoon + 10 * kMinute + 4321}, {"apps", {{"chrome", 1.0}}}});
  ASSERT_TRUE(closed);

  InMemoryFileSystem files;
  const Data days = buildDaysRecord(*closed, 60);
  EXPECT_EQ(days.name, "days202601051210");
  ASSERT_TRUE(writeRecord(files, days, kOutbox));
  EXPECT_EQ(files.peek(kOutbox + "\\days202601051210.json"),
            "{\n"
            "\t\"apps\": {\n"
            "\t\t\"(short-lived)\": 0.0521,\n"
            "\t\t\"chrome\": 3.1416\n"
            "\t},\n"
            "\t\"date\": \"20260105\",\n"
            "\t\"end\": 1767615000000,\n"
            "\t\"kind\": \"days\",\n"
            "\t\"samples\": 10,\n"
            "\t\"services\": {\n"
            "\t\t\"Dnscache\": 0.25,\n"
            "\t\t\"wuauserv\": 0.36\n"
            "\t},\n"
            "\t\"start\": 1767614400000,\n"
            "\t\"tz\": 60\n"
            "}");
}

TEST(OutboxRecords, PartialAndFinalRecordsOfOneBucketAreNamedByTheirEnds) {
  // Keys are UTC texts of millisecond times truncated towards zero, -1 ms still in the epoch.
  EXPECT_EQ(minuteKey(1767614999999), "202601051209");
  EXPECT_EQ(minuteKey(-1), "197001010000");
  BucketAccumulator buckets(10);
  buckets.merge({{"at", kNoon + 3 * kMinute + 500}});
  EXPECT_EQ(buildDaysRecord(*buckets.snapshot(), 0).name, "days202601051203");
  buckets.merge({{"at", kNoon + 10 * kMinute - 1}});
  // A partial record in the bucket's last millisecond shares the final record's name; in the
  // outbox the final one then takes the next name of that minute.
  EXPECT_EQ(buildDaysRecord(*buckets.snapshot(), 0).name, "days202601051210");
  EXPECT_EQ(buildDaysRecord(*buckets.merge({{"at", kNoon + 10 * kMinute}}), 0).name, "days202601051210");
}

TEST(OutboxRecords, AppsRecordCarriesTheCatalogueUnescaped) {
  const nlohmann::json catalogue = {
      {"chrome",
       {{"company", "Google LLC"},
        {"description", "Navigateur — Chrome"},
        {"path", "C:\\Program Files\\Google\\Chrome\\Application\\chrome.exe"},
        {"size", 2849280},
        {"version", "120.0.6099.130"}}},
  };
  const Data apps = buildAppsRecord(catalogue, kNoon + 10 * kMinute + 59999, -300);
  EXPECT_EQ(apps.name, "apps202601051210");
  EXPECT_EQ(serialiseRecord(apps.payload),
            "{\n"
            "\t\"apps\": {\n"
            "\t\t\"chrome\": {\n"
            "\t\t\t\"company\": \"Google LLC\",\n"
            "\t\t\t\"description\": \"Navigateur \xE2\x80\x94 Chrome\",\n"
            "\t\t\t\"path\": \"C:\\\\Program Files\\\\Google\\\\Chrome\\\\Application\\\\chrome.exe\",\n"
            "\t\t\t\"size\": 2849280,\n"
            "\t\t\t\"version\": \"120.0.6099.130\"\n"
            "\t\t}\n"
            "\t},\n"
            "\t\"date\": \"20260105\",\n"
            "\t\"kind\": \"apps\",\n"
            "\t\"tz\": -300\n"
            "}");
}

TEST(OutboxRecords, EventsRecordIsFiledUnderTheEventsUtcDayAndSequence) {
  const nlohmann::json boot = {{"at", 1767571200000 + 42}, {"kind", "boot"}};  // 2026-01-05 00:00:00.042
  const Data events = buildEventsRecord(boot, 60, 3);
  EXPECT_EQ(events.name, "events20260105000003");
  EXPECT_EQ(serialiseRecord(events.payload),
            "{\n"
            "\t\"date\": \"20260105\",\n"
            "\t\"events\": [\n"
            "\t\t{\n"
            "\t\t\t\"at\": 1767571200042,\n"
            "\t\t\t\"kind\": \"boot\"\n"
            "\t\t}\n"
            "\t],\n"
            "\t\"kind\": \"events\",\n"
            "\t\"tz\": 60\n"
            "}");

  EXPECT_EQ(buildEventsRecord({{"kind", "logon"}}, 0, 1).name, "events19700101000001");
  EXPECT_EQ(buildEventsRecord({{"at", "yesterday"}, {"kind", "logon"}}, 0, 1234567).name, "events197001011234567");
  EXPECT_EQ(buildEventsRecord({{"at", 1767571200000.0}, {"kind", "lock"}}, 0, 0).payload["date"], "19700101");
  EXPECT_EQ(buildEventsRecord({{"at", static_cast<std::uint64_t>(1767571200000)}}, 0, 9).name, "events20260105000009");
}

TEST(OutboxRecords, RoundsSharesToFourDecimalsHalvesAwayFromZeroAndReplacesBytesThatAreNotUtf8) {
  BucketRecord record{
      kNoon, kNoon + 10 * kMinute, 1, {{"a", 3.14159}, {"b", 0.00004}, {"c", 1.03125}, {"d", -1.03125}}, {{"s", 12.0}}};
  EXPECT_EQ(serialiseRecord(buildDaysRecord(record, 0).payload["apps"]),
            "{\n\t\"a\": 3.1416,\n\t\"b\": 0.0,\n\t\"c\": 1.0313,\n\t\"d\": -1.0313\n}");
  EXPECT_EQ(buildDaysRecord(record, 0).payload["services"].dump(), "{\"s\":12.0}");

  record.apps = {{"caf\xE9", 1.0}, {"ok\xC3", 2.0}};
  record.services = {};
  const std::string text = serialiseRecord(buildDaysRecord(record, 0).payload);
  EXPECT_NE(text.find("\"caf\xEF\xBF\xBD\": 1.0"), std::string::npos) << text;
  EXPECT_NE(text.find("\"ok\xEF\xBF\xBD\": 2.0"), std::string::npos) << text;
  EXPECT_NE(text.find("\"services\": {}"), std::string::npos) << text;
}

TEST(OutboxRecords, WriteRecordCreatesTheFolderAndReportsEveryFailure) {
  const Data record(nlohmann::json{{"kind", "events"}}, "events20260105000001");
  InMemoryFileSystem files;
  ASSERT_TRUE(writeRecord(files, record, kOutbox + "\\"));
  EXPECT_TRUE(files.exists(kOutbox + "\\events20260105000001.json"));

  InMemoryFileSystem noFolder;
  noFolder.setFault([](FsOp op, const std::string&) { return op == FsOp::ensureDirectory; });
  EXPECT_FALSE(writeRecord(noFolder, record, kOutbox));
  EXPECT_TRUE(noFolder.names(kOutbox).empty());

  InMemoryFileSystem full;
  full.setFault([](FsOp op, const std::string&) { return op == FsOp::writeAtomic; });
  EXPECT_FALSE(writeRecord(full, record, kOutbox));
  EXPECT_TRUE(full.directoryExists(kOutbox));
}

}  // namespace
}  // namespace ostrivel
