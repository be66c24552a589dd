// String values the agent persists outside its files, addressed by scope and value name.
#include "infra/registry.h"

namespace ostrivel {

bool isKnownScope(std::string_view scope) {
  return scope == kScopeParameters || scope == kScopeSecure || scope == kScopeUser;
}

std::optional<std::string> Registry::get(const std::string& scope, const std::string& name) {
  if (!isKnownScope(scope)) {
    return std::nullopt;
  }
  return readString(scope, name);
}

bool Registry::set(const std::string& scope, const std::string& name, const std::string& value) {
  if (!isKnownScope(scope) || !ensureKey(scope)) {
    return false;
  }
  return writeString(scope, name, value);
}

bool Registry::erase(const std::string& scope, const std::string& name) {
  if (!isKnownScope(scope)) {
    return false;
  }
  return deleteValue(scope, name);
}

}  // namespace ostrivel
