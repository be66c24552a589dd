// The "at" of a sample or event payload: when it happened, in milliseconds since the epoch.
#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace ostrivel {

// An integer JSON number of either signedness; a missing "at", any other type, or a payload that
// is not an object counts as 0, so the record is filed under the epoch rather than rejected.
std::int64_t payloadTime(const nlohmann::json& payload);

}  // namespace ostrivel
