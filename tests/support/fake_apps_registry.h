// An application catalogue whose lookups answer from a table the test fills.
#pragma once

#include "measurement/apps_registry.h"

namespace ostrivel::testing {

class FakeAppsRegistry : public AppsRegistry {
 public:
  using AppsRegistry::AppsRegistry;
  std::map<std::string, AppInfo> installed;
  int looks = 0;  // lookup calls, each one look at the processes

  // The catalogue reads only the keys it asked for.
  std::map<std::string, AppInfo> lookup(const std::vector<std::string>&) override {
    ++looks;
    return installed;
  }
};

}  // namespace ostrivel::testing
