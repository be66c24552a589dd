// Lenient readers of the web API's JSON answers: a missing or mistyped member counts as absent.
#include "delivery/api_answers.h"

#include <nlohmann/json.hpp>

namespace ostrivel {

namespace {

using nlohmann::json;

// The answers are flat objects. Deeper ones are refused while parsing, because the library
// copies, compares and prints a document by recursing once per level: a hostile answer of
// nested brackets would otherwise end the agent on a stack overflow.
constexpr int kMaxNesting = 16;
constexpr std::size_t kLogCharacters = 200;

// The parsed answer, or a null document when it is not JSON or nested deeper than allowed.
json parseAnswer(const std::string& body) {
  bool tooDeep = false;
  // depth counts the containers around the event's value; a container start is one level more.
  const json::parser_callback_t limit = [&tooDeep](int depth, json::parse_event_t event, json&) {
    const bool opens = event == json::parse_event_t::object_start || event == json::parse_event_t::array_start;
    tooDeep = tooDeep || depth + (opens ? 1 : 0) > kMaxNesting;
    return !tooDeep;  // nothing more is built once the answer is refused
  };
  json parsed = json::parse(body, limit, false);
  return tooDeep ? json() : parsed;
}

// The member inside the answer (no copy), or null when the answer is not an object or lacks it.
const json* member(const json& answer, const std::string& key) {
  if (!answer.is_object()) {
    return nullptr;
  }
  const auto found = answer.find(key);
  return found == answer.end() ? nullptr : &*found;
}

bool isCadence(std::int64_t minutes) { return minutes == 1 || minutes == 2 || minutes == 5 || minutes == 10; }

// The length of the UTF-8 sequence a byte starts; 1 for a stray byte, so every byte is consumed.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0xC0 || lead >= 0xF8) {
    return 1;
  }
  return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

}  // namespace

std::string jsonString(const std::string& body, const std::string& key) {
  const json answer = parseAnswer(body);
  const json* value = member(answer, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

bool jsonDelete(const std::string& body) {
  const json answer = parseAnswer(body);
  const json* value = member(answer, "delete");
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::optional<std::int32_t> jsonCadenceMinutes(const std::string& body) {
  const json answer = parseAnswer(body);
  const json* value = member(answer, "cadenceMinutes");
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_number_unsigned()) {
    const auto minutes = value->get<std::uint64_t>();
    return minutes <= 10 && isCadence(static_cast<std::int64_t>(minutes))
               ? std::optional<std::int32_t>(static_cast<std::int32_t>(minutes))
               : std::nullopt;
  }
  if (value->is_number_integer()) {
    const auto minutes = value->get<std::int64_t>();
    return isCadence(minutes) ? std::optional<std::int32_t>(static_cast<std::int32_t>(minutes)) : std::nullopt;
  }
  return std::nullopt;
}

std::string forLog(std::string_view serverText) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t characters = 0; at < serverText.size() && characters < kLogCharacters; ++characters) {
    const auto lead = static_cast<unsigned char>(serverText[at]);
    std::size_t length = 1;
    // A cut or malformed sequence ends at its first byte that does not continue it.
    while (length < sequenceLength(lead) && at + length < serverText.size() &&
           (static_cast<unsigned char>(serverText[at + length]) & 0xC0) == 0x80) {
      ++length;
    }
    // C0 controls, DEL and the C1 controls (U+0080 to U+009F): a line break, a carriage return or
    // a terminal escape in the server's text must not start or overwrite a line of the log.
    const bool control = lead < 0x20 || lead == 0x7F ||
                         (lead == 0xC2 && length == 2 && static_cast<unsigned char>(serverText[at + 1]) < 0xA0);
    out += control ? std::string_view("?") : serverText.substr(at, length);
    at += length;
  }
  return out;
}

}  // namespace ostrivel
