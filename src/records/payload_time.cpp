// The "at" of a sample or event payload: when it happened, in milliseconds since the epoch.
#include "records/payload_time.h"

namespace ostrivel {

std::int64_t payloadTime(const nlohmann::json& payload) {
  if (!payload.is_object()) {
    return 0;
  }
  const auto at = payload.find("at");
  if (at == payload.end() || !at->is_number_integer()) {
    return 0;
  }
  return at->is_number_unsigned() ? static_cast<std::int64_t>(at->get<std::uint64_t>()) : at->get<std::int64_t>();
}

}  // namespace ostrivel
