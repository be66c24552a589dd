// A registry held in memory, with the same key semantics as the Windows one.
#include "support/in_memory_registry.h"

namespace ostrivel::testing {

std::optional<std::string> InMemoryRegistry::peek(const std::string& scope, const std::string& name) const {
  const auto all = values(scope);
  return all.count(name) ? std::optional(all.at(name)) : std::nullopt;
}

bool InMemoryRegistry::ensureKey(const std::string& scope) {
  ++calls;
  std::lock_guard lock(mutex);
  keys[scope];
  return true;
}

std::optional<std::string> InMemoryRegistry::readString(const std::string& scope, const std::string& name) {
  ++calls;
  return peek(scope, name);
}

bool InMemoryRegistry::writeString(const std::string& scope, const std::string& name, const std::string& value) {
  ++calls;
  std::lock_guard lock(mutex);
  if (keys.count(scope) == 0) {
    return false;
  }
  keys[scope][name] = value;
  return true;
}

bool InMemoryRegistry::deleteValue(const std::string& scope, const std::string& name) {
  ++calls;
  std::lock_guard lock(mutex);
  return keys.count(scope) && keys[scope].erase(name) > 0;
}

}  // namespace ostrivel::testing
