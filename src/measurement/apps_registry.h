// The application catalogue: describes applications new to it or changed, at most once a day each.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "infra/clock.h"
#include "infra/data.h"

namespace ostrivel {

// What a lookup finds about an application key; strings in UTF-8, empty when unknown.
struct AppInfo {
  std::string path;
  std::string version;
  std::string company;
  std::string description;
  std::string product;
  std::string originalName;
  std::uint64_t size = 0;

  bool operator==(const AppInfo&) const = default;
};

// Not thread-safe: the caller serialises describe and forgetAll (the pipeline's records mutex).
class AppsRegistry {
 public:
  explicit AppsRegistry(const Clock& clock);
  AppsRegistry(const AppsRegistry&) = delete;
  AppsRegistry& operator=(const AppsRegistry&) = delete;
  virtual ~AppsRegistry() = default;

  // Finds, in one look at the running processes, the executable of a process of each key; a
  // key with none is left out (or maps to an empty AppInfo).
  virtual std::map<std::string, AppInfo> lookup(const std::vector<std::string>& keys) = 0;

  // Data{catalogue, "apps"}: key -> {"path", "version", "company", "description", "product",
  // "originalName", "size"} for every key that is new, changed, or unconfirmed for 7 days;
  // absent fields were empty (or a zero size). Keys confirmed within a day are not looked up.
  Data describe(const std::vector<std::string>& keys);
  // The keys of the last describe's answer count as reported from now on. Called once their
  // record was written: until then a lost record has them described again.
  void markReported();
  // Makes every application new again.
  void forgetAll();

 private:
  struct Entry {
    AppInfo info;
    std::int64_t reportedAt = 0;
  };

  const Clock& clock;
  std::map<std::string, Entry> cache;
  std::map<std::string, Entry> answered;  // the last answer, not yet reported
};

}  // namespace ostrivel
