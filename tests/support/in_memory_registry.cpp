// A registry held in memory, with the same key semantics as the Windows one.
#include "support/in_memory_registry.h"

namespace ostrivel::testing {

void InMemoryRegistry::seed(const std::string& scope, const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex);
  keys.insert(scope);
  store[scope][name] = value;
}

std::optional<std::string> InMemoryRegistry::peek(const std::string& scope, const std::string& name) const {
  std::lock_guard lock(mutex);
  const auto key = store.find(scope);
  if (key == store.end()) {
    return std::nullopt;
  }
  const auto value = key->second.find(name);
  if (value == key->second.end()) {
    return std::nullopt;
  }
  return value->second;
}

std::map<std::string, std::string> InMemoryRegistry::values(const std::string& scope) const {
  std::lock_guard lock(mutex);
  const auto key = store.find(scope);
  return key == store.end() ? std::map<std::string, std::string>{} : key->second;
}

bool InMemoryRegistry::keyExists(const std::string& scope) const {
  std::lock_guard lock(mutex);
  return keys.count(scope) > 0;
}

int InMemoryRegistry::storeCalls() const {
  std::lock_guard lock(mutex);
  return calls;
}

bool InMemoryRegistry::ensureKey(const std::string& scope) {
  std::lock_guard lock(mutex);
  ++calls;
  keys.insert(scope);
  return true;
}

std::optional<std::string> InMemoryRegistry::readString(const std::string& scope, const std::string& name) {
  {
    std::lock_guard lock(mutex);
    ++calls;
  }
  return peek(scope, name);
}

bool InMemoryRegistry::writeString(const std::string& scope, const std::string& name, const std::string& value) {
  std::lock_guard lock(mutex);
  ++calls;
  if (keys.count(scope) == 0) {
    return false;
  }
  store[scope][name] = value;
  return true;
}

bool InMemoryRegistry::deleteValue(const std::string& scope, const std::string& name) {
  std::lock_guard lock(mutex);
  ++calls;
  const auto key = store.find(scope);
  return key != store.end() && key->second.erase(name) > 0;
}

}  // namespace ostrivel::testing
