// Lenient readers of the web API's JSON answers: a missing or mistyped member counts as absent.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrivel {

// None of these throws. A body that is not JSON, not a JSON object, or nested more than 16 levels
// deep has no members.

// The member's text when it is a JSON string, else empty ("sessionJwt", "error").
std::string jsonString(const std::string& body, const std::string& key);
// True only for a JSON boolean true in "delete".
bool jsonDelete(const std::string& body);
// "cadenceMinutes" when it is a JSON integer (not 5.0, not "5") of 1, 2, 5 or 10.
std::optional<std::int32_t> jsonCadenceMinutes(const std::string& body);

// Text from the server as a log line may carry it: at most 200 characters (UTF-8 sequences, never
// cut), each control character replaced by "?", so an answer can neither flood nor forge lines.
std::string forLog(std::string_view serverText);

}  // namespace ostrivel
