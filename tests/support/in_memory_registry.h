// A registry held in memory, with the same key semantics as the Windows one.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "infra/registry.h"

namespace ostrivel::testing {

class InMemoryRegistry : public Registry {
 public:
  // Direct access for seeding and checking, bypassing the scope checks.
  void seed(const std::string& scope, const std::string& name, const std::string& value);
  std::optional<std::string> peek(const std::string& scope, const std::string& name) const;
  std::map<std::string, std::string> values(const std::string& scope) const;
  bool keyExists(const std::string& scope) const;

  // How many times the store itself (the virtual operations) was reached.
  int storeCalls() const;

 protected:
  bool ensureKey(const std::string& scope) override;
  std::optional<std::string> readString(const std::string& scope, const std::string& name) override;
  bool writeString(const std::string& scope, const std::string& name, const std::string& value) override;
  bool deleteValue(const std::string& scope, const std::string& name) override;

 private:
  mutable std::mutex mutex;
  std::set<std::string> keys;
  std::map<std::string, std::map<std::string, std::string>> store;
  int calls = 0;
};

}  // namespace ostrivel::testing
