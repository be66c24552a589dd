// Finds a key's executable among the running processes, with its size and version strings.
#pragma once

#include "measurement/apps_registry.h"

namespace ostrivel {

class AppsRegistryWindows : public AppsRegistry {
 public:
  explicit AppsRegistryWindows(const Clock& clock);

  // The first process of the snapshot with this key that can be opened and named; processes of
  // other users that cannot be opened are passed over.
  AppInfo lookup(const std::string& key) override;
};

}  // namespace ostrivel
