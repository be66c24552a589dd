// The registry store over the Windows registry: three scopes mapped onto three keys.
#pragma once

#include "infra/registry.h"

namespace ostrivel {

// Holds no open key between calls: each operation opens, uses and closes its key. String
// values only (REG_SZ), at most 2047 bytes; anything else reads as absent.
class RegistryWindows : public Registry {
 public:
  RegistryWindows() = default;

 protected:
  bool ensureKey(const std::string& scope) override;
  std::optional<std::string> readString(const std::string& scope, const std::string& name) override;
  bool writeString(const std::string& scope, const std::string& name, const std::string& value) override;
  bool deleteValue(const std::string& scope, const std::string& name) override;
};

// The protected descriptor the "Secure" key is created with: only the local system and the
// built-in Administrators, nothing inherited from the service key.
inline constexpr const char* kSecureKeySddl = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

}  // namespace ostrivel
