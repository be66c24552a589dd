// One PC's day as the dashboard shows it, put together from the record files the PC uploaded.
#include "dashboard_day.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <utility>

namespace ostrivel::api {

namespace {

using nlohmann::json;

constexpr int kBucketMinutes = 10;  // the agent's bucket length

struct Bucket {
  std::int64_t end = 0;
  std::int64_t samples = 0;
  std::map<std::string, double> shares;
};

std::string text(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

bool integer(const json& object, const char* key, std::int64_t& out) {
  const auto found = object.find(key);
  if (found == object.end() || !found->is_number_integer()) {
    return false;
  }
  out = found->get<std::int64_t>();
  return true;
}

const json& member(const json& object, const char* key) {
  static const json kNothing;
  const auto found = object.find(key);
  return found != object.end() ? *found : kNothing;
}

// The records of one bucket, by the pipeline run that wrote them. Within a run the latest record
// wins (a later end, or the same end received later): a run's partial records and its final one
// cover the same minutes. A later record with fewer samples comes from a new run (the agent
// restarted inside the bucket), whose minutes add to those of the run before.
void addDays(const json& record, std::map<std::int64_t, std::vector<Bucket>>& runs) {
  Bucket bucket;
  std::int64_t start = 0;
  if (!integer(record, "start", start) || !integer(record, "end", bucket.end) ||
      !integer(record, "samples", bucket.samples) || bucket.samples < 0) {
    return;
  }
  std::vector<Bucket>& known = runs[start];
  if (!known.empty() &&
      (bucket.end < known.back().end || (bucket.end == known.back().end && bucket.samples < known.back().samples))) {
    return;
  }
  const json& apps = member(record, "apps");
  if (apps.is_object()) {
    for (const auto& [key, share] : apps.items()) {
      if (share.is_number()) {
        bucket.shares[key] = share.get<double>();
      }
    }
  }
  if (!known.empty() && bucket.samples >= known.back().samples) {
    known.back() = std::move(bucket);
  } else {
    known.push_back(std::move(bucket));
  }
}

// A bucket from its runs: their samples added, the shares averaged over all of them.
Bucket merged(const std::vector<Bucket>& runs) {
  Bucket out;
  for (const Bucket& run : runs) {
    out.samples += run.samples;
    for (const auto& [name, share] : run.shares) {
      out.shares[name] += share * static_cast<double>(run.samples);
    }
  }
  for (auto& [name, share] : out.shares) {
    share = out.samples > 0 ? share / static_cast<double>(out.samples) : 0.0;
  }
  return out;
}

void addEvents(const json& record, json& events) {
  const json& list = member(record, "events");
  if (!list.is_array()) {
    return;
  }
  for (const json& event : list) {
    std::int64_t at = 0;
    if (event.is_object() && integer(event, "at", at) && !text(event, "kind").empty()) {
      events.push_back(json{{"at", at}, {"kind", text(event, "kind")}});
    }
  }
}

// What the catalogue said last about each application, member by member.
void addCatalogue(const json& record, std::map<std::string, json>& catalogue) {
  const json& apps = member(record, "apps");
  if (!apps.is_object()) {
    return;
  }
  for (const auto& [key, entry] : apps.items()) {
    if (!entry.is_object()) {
      continue;
    }
    json& known = catalogue.try_emplace(key, json::object()).first->second;
    for (const char* field : {"product", "description", "company", "version", "path"}) {
      if (!text(entry, field).empty()) {
        known[field] = text(entry, field);
      }
    }
  }
}

}  // namespace

json dashboardDay(const std::vector<std::string>& bodies, const std::string& dateIn, std::size_t topCount) {
  std::vector<json> records;
  std::set<std::string> dates;
  for (const std::string& body : bodies) {
    json record = json::parse(body, nullptr, false);
    if (!record.is_object()) {
      continue;
    }
    const std::string kind = text(record, "kind");
    if ((kind == "days" || kind == "events") && !text(record, "date").empty()) {
      dates.insert(text(record, "date"));
    }
    records.push_back(std::move(record));
  }
  const std::string date = dateIn.empty() && !dates.empty() ? *dates.rbegin() : dateIn;

  std::map<std::int64_t, std::vector<Bucket>> runs;
  std::map<std::string, json> catalogue;
  json events = json::array();
  for (const json& record : records) {
    const std::string kind = text(record, "kind");
    if (kind == "apps") {
      addCatalogue(record, catalogue);
    } else if (kind == "days" && text(record, "date") == date) {
      addDays(record, runs);
    } else if (kind == "events" && text(record, "date") == date) {
      addEvents(record, events);
    }
  }
  std::stable_sort(events.begin(), events.end(), [](const json& a, const json& b) {
    return a["at"].get<std::int64_t>() < b["at"].get<std::int64_t>();
  });

  std::map<std::int64_t, Bucket> buckets;
  for (const auto& [start, bucketRuns] : runs) {
    buckets[start] = merged(bucketRuns);
  }
  std::map<std::string, double> minutes;
  for (const auto& [start, bucket] : buckets) {
    for (const auto& [name, share] : bucket.shares) {
      minutes[name] += share / 100.0 * static_cast<double>(bucket.samples);
    }
  }
  std::vector<std::pair<std::string, double>> ranked(minutes.begin(), minutes.end());
  std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });

  const std::size_t top = std::min(topCount, ranked.size());
  json series = json::array();
  std::map<std::string, std::size_t> seriesOf;  // the rest go to "other", at index top
  for (std::size_t i = 0; i < top; ++i) {
    series.push_back(ranked[i].first);
    seriesOf[ranked[i].first] = i;
  }
  if (ranked.size() > top) {
    series.push_back("other");
  }
  json bucketList = json::array();
  for (const auto& [start, bucket] : buckets) {
    std::vector<double> shares(series.size(), 0.0);
    for (const auto& [name, share] : bucket.shares) {
      const auto found = seriesOf.find(name);
      shares[found != seriesOf.end() ? found->second : top] += share;
    }
    bucketList.push_back(json{{"start", start}, {"samples", bucket.samples}, {"shares", shares}});
  }
  json apps = json::array();
  for (const auto& [name, cpuMinutes] : ranked) {
    json entry{{"name", name}, {"cpuMinutes", cpuMinutes}};
    if (const auto known = catalogue.find(name); known != catalogue.end()) {
      entry.update(known->second);
    }
    apps.push_back(std::move(entry));
  }
  return json{{"date", date},     {"dates", dates},        {"bucketMinutes", kBucketMinutes},
              {"series", series}, {"buckets", bucketList}, {"apps", apps},
              {"events", events}};
}

}  // namespace ostrivel::api
