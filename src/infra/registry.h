// String values the agent persists outside its files, addressed by scope and value name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ostrivel {

// The whole vocabulary of scopes: the service's ordinary state, the credential only the local
// system and administrators may touch, and per-user flags of the logged-on user.
inline constexpr std::string_view kScopeParameters = "parameters";
inline constexpr std::string_view kScopeSecure = "secure";
inline constexpr std::string_view kScopeUser = "user";

bool isKnownScope(std::string_view scope);

// Contract for implementations: no operation throws or logs; failures are absent or false.
// Callers use get, set and erase, which refuse unknown scopes before reaching the store.
class Registry {
 public:
  virtual ~Registry() = default;

  std::optional<std::string> get(const std::string& scope, const std::string& name);
  bool set(const std::string& scope, const std::string& name, const std::string& value);
  bool erase(const std::string& scope, const std::string& name);

 protected:
  // Creates the scope's key when missing; true also when it existed.
  virtual bool ensureKey(const std::string& scope) = 0;
  virtual std::optional<std::string> readString(const std::string& scope, const std::string& name) = 0;
  // Writes into an existing key.
  virtual bool writeString(const std::string& scope, const std::string& name, const std::string& value) = 0;
  // False when the value did not exist.
  virtual bool deleteValue(const std::string& scope, const std::string& name) = 0;
};

}  // namespace ostrivel
