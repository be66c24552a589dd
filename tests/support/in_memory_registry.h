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
  std::optional<std::string> peek(const std::string& scope, const std::string& name) const {
    const auto all = values(scope);
    return all.count(name) ? std::optional(all.at(name)) : std::nullopt;
  }
  std::map<std::string, std::string> values(const std::string& scope) const {
    std::lock_guard lock(mutex);
    return keys.count(scope) ? keys.at(scope) : std::map<std::string, std::string>{};
  }

  // How many times the store itself (the virtual operations) was reached.
  int storeCalls() const { return calls; }

 protected:
  bool ensureKey(const std::string& scope) override {
    ++calls;
    std::lock_guard lock(mutex);
    keys[scope];
    return true;
  }
  std::optional<std::string> readString(const std::string& scope, const std::string& name) override {
    ++calls;
    return peek(scope, name);
  }
  // A value can only be written into a key that exists.
  bool writeString(const std::string& scope, const std::string& name, const std::string& value) override {
    ++calls;
    std::lock_guard lock(mutex);
    if (keys.count(scope) == 0) return false;
    keys[scope][name] = value;
    return true;
  }
  bool deleteValue(const std::string& scope, const std::string& name) override {
    ++calls;
    std::lock_guard lock(mutex);
    return keys.count(scope) && keys[scope].erase(name) > 0;
  }

 private:
  mutable std::mutex mutex;
  std::map<std::string, std::map<std::string, std::string>> keys;  // scope -> name -> value
  std::atomic<int> calls = 0;
};

}  // namespace ostrivel::testing
