// Keeps the credential in "identity.json" and moves one left in the registry by older installs.
#include "enrolment/identity_store.h"

#include <utility>

#include <nlohmann/json.hpp>

#include "records/record_writer.h"

namespace ostrivel {

namespace {

constexpr const char* kFileStem = "identity";
constexpr const char* kEnvironment = "prd";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Older installations kept the credential in either scope; parameters is looked at first.
const std::string kLegacyScopes[] = {std::string(kScopeParameters), std::string(kScopeSecure)};
const char* const kLegacyValues[] = {"AgentId", "AgentName", "Token"};

std::string stringMember(const nlohmann::json& object, const char* name) {
  const auto member = object.find(name);
  return member != object.end() && member->is_string() ? member->get<std::string>() : std::string();
}

}  // namespace

IdentityStore::IdentityStore(FileSystem& fileSystemIn, Registry& registryIn, std::string dataDirectoryIn)
    : fileSystem(fileSystemIn), registry(registryIn), dataDirectory(std::move(dataDirectoryIn)) {}

std::string IdentityStore::identityPath() const {
  std::string path = dataDirectory;
  if (!path.empty() && path.back() != '\\' && path.back() != '/') {
    path += '\\';
  }
  return path + kFileStem + ".json";
}

std::optional<Identity> IdentityStore::loadIdentity() { return load(true); }

std::optional<Identity> IdentityStore::readIdentity() { return load(false); }

std::optional<Identity> IdentityStore::load(bool moveLegacy) {
  if (auto text = fileSystem.read(identityPath())) {
    std::string_view body(*text);
    if (body.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
      body.remove_prefix(kByteOrderMark.size());
    }
    const auto file = nlohmann::json::parse(body, nullptr, false);
    if (file.is_object()) {
      // A file of another environment (a test server's) hides any legacy credential, so this
      // PC enrols afresh instead of reviving an old production token.
      if (stringMember(file, "environment") != kEnvironment) {
        return std::nullopt;
      }
      Identity identity{stringMember(file, "id"), stringMember(file, "name"), stringMember(file, "token")};
      if (isValidToken(identity.token)) {
        return identity;
      }
    }
  }
  return loadLegacy(moveLegacy);
}

std::optional<Identity> IdentityStore::loadLegacy(bool move) {
  for (const auto& scope : kLegacyScopes) {
    auto token = registry.get(scope, "Token");
    if (!token || !isValidToken(*token)) {
      continue;
    }
    Identity identity{registry.get(scope, "AgentId").value_or(""), registry.get(scope, "AgentName").value_or(""),
                      std::move(*token)};
    // Erased only once the file holds the credential; a failed save leaves them for next time.
    if (move && saveIdentity(identity)) {
      eraseLegacy();
    }
    return identity;
  }
  return std::nullopt;
}

bool IdentityStore::saveIdentity(const Identity& identity) {
  nlohmann::json payload = {
      {"environment", kEnvironment},
      {"id", identity.id},
      {"name", identity.name},
      {"token", identity.token},
  };
  return writeRecord(fileSystem, Data(std::move(payload), kFileStem), dataDirectory);
}

void IdentityStore::clearIdentity() {
  fileSystem.remove(identityPath());
  eraseLegacy();
}

void IdentityStore::eraseLegacy() {
  for (const auto& scope : kLegacyScopes) {
    for (const char* name : kLegacyValues) {
      registry.erase(scope, name);
    }
  }
}

}  // namespace ostrivel
