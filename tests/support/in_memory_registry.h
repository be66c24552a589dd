// A registry held in memory, with the same key semantics as the Windows one.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "infra/registry.h"

namespace ostrivel::testing {

class InMemoryRegistry : public Registry {
 public:
  // Direct access for seeding and checking, bypassing the scope checks.
  void seed(const std::string& scope, const std::string& name, const std::string& value) {
    std::lock_guard lock(mutex);
    keys[scope][name] = value;
  }
  std::optional<std::string> peek(const std::string& scope, const std::string& name) const;
  std::map<std::string, std::string> values(const std::string& scope) const {
    std::lock_guard lock(mutex);
    return keys.count(scope) ? keys.at(scope) : std::map<std::string, std::string>{};
  }
  bool keyExists(const std::string& scope) const {
    std::lock_guard lock(mutex);
    return keys.count(scope) > 0;
  }

  // How many times the store itself (the virtual operations) was reached.
  int storeCalls() const { return calls; }

 protected:
  bool ensureKey(const std::string& scope) override;
  std::optional<std::string> readString(const std::string& scope, const std::string& name) override;
  bool writeString(const std::string& scope, const std::string& name, const std::string& value) override;
  bool deleteValue(const std::string& scope, const std::string& name) override;

 private:
  mutable std::mutex mutex;
  std::map<std::string, std::map<std::string, std::string>> keys;  // scope -> name -> value
  std::atomic<int> calls = 0;
};

}  // namespace ostrivel::testing
