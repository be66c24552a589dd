// An application catalogue whose lookups answer from a table the test fills.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "measurement/apps_registry.h"

namespace ostrivel::testing {

class FakeAppsRegistry : public AppsRegistry {
 public:
  using AppsRegistry::AppsRegistry;

  std::map<std::string, AppInfo> installed;
  std::map<std::string, int> lookups;  // per key
  int looks = 0;                       // lookup calls, each one look at the processes

  std::map<std::string, AppInfo> lookup(const std::vector<std::string>& keys) override {
    ++looks;
    std::map<std::string, AppInfo> found;
    for (const auto& key : keys) {
      ++lookups[key];
      if (const auto info = installed.find(key); info != installed.end()) {
        found[key] = info->second;
      }
    }
    return found;
  }
};

}  // namespace ostrivel::testing
