// The machine-wide Run value that starts the logon check for every user.
#pragma once

#include <string>

namespace ostrivel {

// True when the value was written; the path is UTF-8.
bool setAutostart(const std::string& executablePath);
// True when the value was deleted or was not there.
bool removeAutostart();

}  // namespace ostrivel
