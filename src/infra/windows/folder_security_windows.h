// The FolderSecurity seam over the Windows API: entries opened without following reparse points,
// owners and access lists by handle, removal by handle.
#pragma once

#include <string>
#include <vector>

#include "infra/data_folder_guard.h"
#include "infra/windows/scoped_handle.h"

namespace ostrivel {

// Paths are UTF-8, so that every name a listing returns opens again as it was. While it lives,
// the process may take ownership and pass access lists the way backup programs do (the
// privileges are enabled when the account holds them, and put back as they were afterwards):
// a folder a squatter locked against everyone can still be taken back.
class FolderSecurityWindows : public FolderSecurity {
 public:
  FolderSecurityWindows();
  FolderSecurityWindows(const FolderSecurityWindows&) = delete;
  FolderSecurityWindows& operator=(const FolderSecurityWindows&) = delete;
  ~FolderSecurityWindows() override;

  std::unique_ptr<HeldEntry> open(const std::string& path) override;
  std::optional<std::vector<std::string>> list(const std::string& directory) override;
  bool createDirectory(const std::string& path, const SecurityState& security) override;

 private:
  KernelHandle token;
  std::vector<TOKEN_PRIVILEGES> previousPrivileges;  // each one that this object enabled
};

// The account this process runs as, as a SID text; empty when it cannot be read.
std::string processAccountSid();

// The guard over the data folder (a path in the active code page, as the agent keeps it),
// trusting the account running it besides SYSTEM and Administrators; its findings start with tag.
GuardReport secureDataFolder(const std::string& dataDirectory, const std::string& tag);

// The uninstall sweep of the data folder: links go as links, nothing behind one is touched.
void sweepDataFolder(const std::string& dataDirectory);

}  // namespace ostrivel
