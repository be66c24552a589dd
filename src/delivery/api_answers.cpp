// Lenient readers of the web API's JSON answers: a missing or mistyped member counts as absent.
#include "delivery/api_answers.h"

#include <nlohmann/json.hpp>

namespace ostrivel {

namespace {

using nlohmann::json;

// The member, or null when the body is not a JSON object or lacks it.
json member(const std::string& body, const std::string& key) {
  const json parsed = json::parse(body, nullptr, false);
  if (!parsed.is_object()) {
    return nullptr;
  }
  const auto found = parsed.find(key);
  return found == parsed.end() ? json(nullptr) : *found;
}

bool isCadence(std::int64_t minutes) { return minutes == 1 || minutes == 2 || minutes == 5 || minutes == 10; }

}  // namespace

std::string jsonString(const std::string& body, const std::string& key) {
  const json value = member(body, key);
  return value.is_string() ? value.get<std::string>() : std::string();
}

bool jsonDelete(const std::string& body) {
  const json value = member(body, "delete");
  return value.is_boolean() && value.get<bool>();
}

std::optional<std::int32_t> jsonCadenceMinutes(const std::string& body) {
  const json value = member(body, "cadenceMinutes");
  if (value.is_number_unsigned()) {
    const auto minutes = value.get<std::uint64_t>();
    return minutes <= 10 && isCadence(static_cast<std::int64_t>(minutes))
               ? std::optional<std::int32_t>(static_cast<std::int32_t>(minutes))
               : std::nullopt;
  }
  if (value.is_number_integer()) {
    const auto minutes = value.get<std::int64_t>();
    return isCadence(minutes) ? std::optional<std::int32_t>(static_cast<std::int32_t>(minutes)) : std::nullopt;
  }
  return std::nullopt;
}

}  // namespace ostrivel
