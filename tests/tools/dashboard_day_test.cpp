// One PC's day for the dashboard: buckets counted once, CPU minutes, top series, catalogue, events.
#include "dashboard_day.h"

#include <gtest/gtest.h>

namespace ostrivel::api {
namespace {

using nlohmann::json;

constexpr std::int64_t kDay = 1767571200000;  // 2026-01-05 00:00 UTC
constexpr std::int64_t kMinute = 60000;

std::string days(const std::string& date, std::int64_t start, std::int64_t end, int samples, const json& apps) {
  return json{{"kind", "days"},
              {"date", date},
              {"start", start},
              {"end", end},
              {"samples", samples},
              {"apps", apps},
              {"services", json::object()},
              {"tz", 60}}
      .dump();
}

std::string event(const std::string& date, std::int64_t at, const std::string& kind) {
  return json{{"kind", "events"}, {"date", date}, {"events", json::array({{{"at", at}, {"kind", kind}}})}}.dump();
}

TEST(DashboardDay, CountsEachBucketOnceFromItsLatestRecord) {
  const std::vector<std::string> bodies = {
      R"({"kind":"apps","date":"20260105","apps":{"chrome":{"product":"Chrome","company":"G","version":"1.0",
          "path":"C:\\c\\chrome.exe","size":9}}})",
      days("20260104", kDay - 60 * kMinute, kDay - 50 * kMinute, 10, {{"old", 99}}),
      event("20260104", kDay - 55 * kMinute, "boot"),
      // A partial record of the first bucket, its final record, then a partial delivered late.
      days("20260105", kDay, kDay + 5 * kMinute + 1, 5, {{"chrome", 50}, {"code", 10}}),
      days("20260105", kDay, kDay + 10 * kMinute, 10, {{"chrome", 40}, {"code", 20}, {"a", 1}, {"b", 1}}),
      days("20260105", kDay, kDay + 3 * kMinute + 1, 3, {{"chrome", 90}}),
      // The agent stopped at 00:14 and started again: the new run's minutes add to the first run's.
      days("20260105", kDay + 10 * kMinute, kDay + 14 * kMinute, 4, {{"chrome", 25}, {"b", 5}}),
      days("20260105", kDay + 10 * kMinute, kDay + 18 * kMinute + 1, 3, {{"chrome", 90}}),
      days("20260105", kDay + 10 * kMinute, kDay + 20 * kMinute, 4, {{"chrome", 15}}),
      event("20260105", kDay + 15 * kMinute, "lock"),
      event("20260105", kDay + kMinute, "started"),
      R"({"kind":"apps","date":"20260105","apps":{"chrome":{"version":"2.0"},"code":"not an entry"}})",
      "not json",
      "[1]",
      R"({"kind":"days","date":"20260105","start":"x","end":1,"samples":1,"apps":{"bad":1}})",
  };

  const json day = dashboardDay(bodies, "", 2);
  EXPECT_EQ(day["date"], "20260105");  // the latest day, when none is asked for
  EXPECT_EQ(day["dates"], json::array({"20260104", "20260105"}));
  EXPECT_EQ(day["series"], json::array({"chrome", "code", "other"}));
  ASSERT_EQ(day["buckets"].size(), 2u);
  EXPECT_EQ(day["buckets"][0], (json{{"start", kDay}, {"samples", 10}, {"shares", {40.0, 20.0, 2.0}}}));
  EXPECT_EQ(day["buckets"][1], (json{{"start", kDay + 10 * kMinute}, {"samples", 8}, {"shares", {20.0, 0.0, 2.5}}}));

  // chrome: 40% of 10 minutes, 25% of 4 and 15% of 4; b: 1% of 10 plus 5% of 4.
  const std::pair<std::string, double> minutes[] = {{"chrome", 5.6}, {"code", 2.0}, {"b", 0.3}, {"a", 0.1}};
  ASSERT_EQ(day["apps"].size(), std::size(minutes));
  for (std::size_t i = 0; i < std::size(minutes); ++i) {
    EXPECT_EQ(day["apps"][i]["name"], minutes[i].first);
    EXPECT_NEAR(day["apps"][i]["cpuMinutes"].get<double>(), minutes[i].second, 1e-9) << minutes[i].first;
  }
  EXPECT_EQ(day["apps"][0], (json{{"name", "chrome"},
                                  {"cpuMinutes", day["apps"][0]["cpuMinutes"]},
                                  {"product", "Chrome"},
                                  {"company", "G"},
                                  {"version", "2.0"},
                                  {"path", "C:\\c\\chrome.exe"}}));
  EXPECT_EQ(day["events"],
            json::parse(R"([{"at":1767571260000,"kind":"started"},{"at":1767572100000,"kind":"lock"}])"));

  // A day with fewer applications than the top has no "other".
  const json earlier = dashboardDay(bodies, "20260104", 2);
  EXPECT_EQ(earlier["series"], json::array({"old"}));
  EXPECT_EQ(earlier["events"].size(), 1u);
  EXPECT_TRUE(dashboardDay(bodies, "20250101", 2)["buckets"].empty());
}

}  // namespace
}  // namespace ostrivel::api
