// The key an application or service is counted under: its name without the last extension.
#pragma once

#include <string>
#include <string_view>

namespace ostrivel {

// chrome.exe -> chrome, Microsoft.Photos.exe -> Microsoft_Photos, .hidden -> _hidden.
// The remaining dots become '_' so a key never looks like a file name. Case is kept.
std::string appKey(std::string_view name);

}  // namespace ostrivel
