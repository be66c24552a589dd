// Host facts the entry point reads once at start: computer name, own path, OS version, ProgramData.
#pragma once

#include <string>

namespace ostrivel {

// "PC" when the name cannot be read.
std::string computerName();
// The running executable's full path in UTF-8, for the wide calls that take it; empty when it
// cannot be read.
std::string executablePath();
// "Windows 10.0.19045", or "Windows" when the version cannot be read.
std::string osVersionText();
// The ProgramData folder, or "C:\ProgramData" when the variable is unset or too long.
std::string programDataDir();

}  // namespace ostrivel
