// Registration of the "Ostrivel" event-log source, done by installation and undone by removal.
#pragma once

#include <string>

namespace ostrivel {

// Points the source at the executable (a UTF-8 path) as its message file; false when the key
// cannot be created.
bool registerEventSource(const std::string& executablePath);
// True when the source's key was deleted.
bool unregisterEventSource();

}  // namespace ostrivel
