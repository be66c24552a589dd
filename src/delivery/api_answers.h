// Lenient readers of the web API's JSON answers: a missing or mistyped member counts as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrivel {

// None of these throws. A body that is not JSON, or not a JSON object, has no members.

// The member's text when it is a JSON string, else empty ("sessionJwt", "error").
std::string jsonString(const std::string& body, const std::string& key);
// True only for a JSON boolean true in "delete".
bool jsonDelete(const std::string& body);
// "cadenceMinutes" when it is a JSON integer (not 5.0, not "5") of 1, 2, 5 or 10.
std::optional<std::int32_t> jsonCadenceMinutes(const std::string& body);

}  // namespace ostrivel
