// Keeps the credential in "identity.json" and moves one left in the registry by older installs.
#pragma once

#include <optional>
#include <string>

#include "enrolment/identity.h"
#include "infra/file_system.h"
#include "infra/registry.h"

namespace ostrivel {

// Nothing here logs or throws: an unreadable or malformed file counts as none, an invalid token
// as no credential. The service writes and clears; the per-user check only reads.
class IdentityStore {
 public:
  IdentityStore(FileSystem& fileSystem, Registry& registry, std::string dataDirectory);

  // The file's credential when it belongs to this environment; without a file, or with one
  // whose token is invalid, a legacy credential from the registry, moved into the file.
  std::optional<Identity> loadIdentity();
  // The same credential, read where it is: a legacy one is not moved. For readers that must not
  // write, such as the per-user logon check.
  std::optional<Identity> readIdentity();
  // Writes "identity.json" atomically; true when written.
  bool saveIdentity(const Identity& identity);
  // Removes the file and every legacy value.
  void clearIdentity();

 private:
  std::string identityPath() const;
  std::optional<Identity> load(bool moveLegacy);
  std::optional<Identity> loadLegacy(bool move);
  void eraseLegacy();

  FileSystem& fileSystem;
  Registry& registry;
  std::string dataDirectory;
};

}  // namespace ostrivel
