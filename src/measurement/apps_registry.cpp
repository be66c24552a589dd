// The application catalogue: describes applications new to it or changed, at most once a day each.
#include "measurement/apps_registry.h"

namespace ostrivel {

namespace {

constexpr std::int64_t kDayMs = 86'400'000;
constexpr std::int64_t kForgetMs = 7 * kDayMs;

nlohmann::json describeInfo(const AppInfo& info) {
  nlohmann::json object = nlohmann::json::object();
  const auto put = [&](const char* name, const std::string& value) {
    if (!value.empty()) {
      object[name] = value;
    }
  };
  put("path", info.path);
  put("version", info.version);
  put("company", info.company);
  put("description", info.description);
  put("product", info.product);
  put("originalName", info.originalName);
  if (info.size > 0) {
    object["size"] = info.size;
  }
  return object;
}

}  // namespace

AppsRegistry::AppsRegistry(const Clock& clockIn) : clock(clockIn) {}

Data AppsRegistry::describe(const std::vector<std::string>& keys) {
  const std::int64_t now = clock.nowMs();
  std::erase_if(cache, [now](const auto& item) { return now - item.second.reportedAt > kForgetMs; });
  answered.clear();

  std::vector<std::string> due;
  for (const std::string& key : keys) {
    const auto cached = cache.find(key);
    if (cached == cache.end() || now - cached->second.reportedAt >= kDayMs) {
      due.push_back(key);
    }
  }
  nlohmann::json answer = nlohmann::json::object();
  if (due.empty()) {
    return Data(std::move(answer), "apps");
  }
  std::map<std::string, AppInfo> found = lookup(due);
  for (const std::string& key : due) {
    AppInfo& info = found[key];
    const auto cached = cache.find(key);
    if (cached != cache.end() && cached->second.info == info) {
      cached->second.reportedAt = now;
      continue;
    }
    answer[key] = describeInfo(info);
    answered.insert_or_assign(key, Entry{std::move(info), now});
  }
  return Data(std::move(answer), "apps");
}

void AppsRegistry::markReported() {
  for (auto& [key, entry] : answered) {
    cache.insert_or_assign(key, std::move(entry));
  }
  answered.clear();
}

void AppsRegistry::forgetAll() {
  cache.clear();
  answered.clear();
}

}  // namespace ostrivel
