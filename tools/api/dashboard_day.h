// One PC's day as the dashboard shows it, put together from the record files the PC uploaded.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace ostrivel::api {

// bodies: the PC's record files, oldest first; date: a UTC day "YYYYMMDD", or empty for the latest
// day that has records. Bodies that are not records are passed over. The answer:
//   {"date", "dates": [every day with records], "bucketMinutes",
//    "series": [the topCount applications with the most CPU minutes, then "other" for the rest],
//    "buckets": [{"start", "samples", "shares": [percent of the PC's capacity, one per series]}],
//    "apps": [{"name", "cpuMinutes", and from the catalogue "product", "description", "company",
//              "version", "path" when known}], most CPU minutes first,
//    "events": [{"at", "kind"}] in time order}
// A bucket counts once, from its latest record: the partial records of an open bucket and its
// final record cover the same minutes; only an agent restarted inside a bucket adds the latest
// record of its new run. CPU minutes of an application: its share / 100 times the minutes its
// bucket measured (one sample a minute), summed over the day's buckets.
nlohmann::json dashboardDay(const std::vector<std::string>& bodies, const std::string& date, std::size_t topCount);

}  // namespace ostrivel::api
