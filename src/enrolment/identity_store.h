// Keeps the credential in "identity.json" and moves one left in the registry by older installs.
#pragma once

#include <optional>
#include <string>

#include "enrolment/identity.h"
#include "infra/file_system.h"
#include "infra/registry.h"

namespace ostrivel {

// Nothing here logs or throws: an unreadable or malformed file counts as none, an invalid token
// as no credential. The service writes and clears; the per-user check only loads.
class IdentityStore {
 public:
  IdentityStore(FileSystem& fileSystem, Registry& registry, std::string dataDirectory);

  // The file's credential when it belongs to this environment; without a file, or with one
  // whose token is invalid, a legacy credential from the registry, moved into the file.
  std::optional<Identity> loadIdentity();
  // Writes "identity.json" atomically; true when written.
  bool saveIdentity(const Identity& identity);
  // Removes the file and every legacy value.
  void clearIdentity();

 private:
  std::string identityPath() const;
  std::optional<Identity> loadLegacy();
  void eraseLegacy();

  FileSystem& fileSystem;
  Registry& registry;
  std::string dataDirectory;
};

}  // namespace ostrivel
