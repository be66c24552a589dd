// An application catalogue whose lookups answer from a table the test fills.
#pragma once

#include <map>
#include <string>

#include "measurement/apps_registry.h"

namespace ostrivel::testing {

class FakeAppsRegistry : public AppsRegistry {
 public:
  using AppsRegistry::AppsRegistry;

  std::map<std::string, AppInfo> installed;
  std::map<std::string, int> lookups;  // per key

  AppInfo lookup(const std::string& key) override {
    ++lookups[key];
    const auto found = installed.find(key);
    return found == installed.end() ? AppInfo{} : found->second;
  }
};

}  // namespace ostrivel::testing
