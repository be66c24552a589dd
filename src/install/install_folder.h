// Whether the folder of the executable that -install registers can be changed by someone who is
// not an administrator: whoever can write there can plant a DLL or swap the program, which then
// runs as LocalSystem and at every user's logon.
#pragma once

#include "infra/folder_security.h"

namespace ostrivel {

// The folder's owner and access list as read. SYSTEM, Administrators and TrustedInstaller are
// administrators; every other account counts, the installing administrator's own account too
// (its programs run without elevation). Deny rules are not weighed against allow rules.
bool writableByNonAdministrators(const SecurityState& folder);

}  // namespace ostrivel
