// Finds a key's executable among the running processes, with its size and version strings.
#pragma once

#include "measurement/apps_registry.h"

namespace ostrivel {

class AppsRegistryWindows : public AppsRegistry {
 public:
  explicit AppsRegistryWindows(const Clock& clock);

  // Per key, the first process of one snapshot with that key that can be opened and named;
  // processes of other users that cannot be opened are passed over.
  std::map<std::string, AppInfo> lookup(const std::vector<std::string>& keys) override;
};

}  // namespace ostrivel
