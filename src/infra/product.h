// Names and texts that identify the product everywhere: service, registry, event source, balloons.
#pragma once

#include <string_view>

#include "ostrivel/version.h"

namespace ostrivel {

inline constexpr std::string_view kProductName = "Ostrivel";
inline constexpr std::string_view kAgentVersion = OSTRIVEL_VERSION_TEXT;

// Registry key paths, built from the product name; the installation uses the same service key.
inline constexpr std::string_view kServiceKeyPath = "SYSTEM\\CurrentControlSet\\Services\\Ostrivel";
inline constexpr std::string_view kUserKeyPath = "Software\\Velbrook\\Ostrivel";

}  // namespace ostrivel
