// Giving the GUI-subsystem executable a console to write to, and the elevation hop.
#pragma once

#include <string>

namespace ostrivel {

// Attaches to the parent's console, if there is one, without ever creating one; output that is
// redirected to a file or pipe stays redirected.
void attachParentConsole();

// Like attachParentConsole, but creates a console of its own when there is no parent console
// (started from Explorer). True when it created one: the caller then waits for Enter.
bool attachOrCreateConsole();

// Waits for the user before a console this process created closes with it.
void waitForEnter();

bool processIsElevated();

// Starts this executable (a UTF-8 path) again with "runas" and the given parameters, waits for
// it and returns its exit code; -1 when the elevation was declined or failed.
int runElevated(const std::string& executablePath, const std::string& parameters);

}  // namespace ostrivel
