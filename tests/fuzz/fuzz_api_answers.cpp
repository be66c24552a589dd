// Server answers as the agent reads them: session tokens, errors, "delete", cadence, claims,
// and server text as it reaches a log line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/api_answers.h"
#include "enrolment/initializer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ostrivel;
  const std::string body(reinterpret_cast<const char*>(data), size);
  const auto cadence = jsonCadenceMinutes(body);
  const auto claim = parseClaim(body);  // only ever taken with a credential of the expected form
  if ((cadence && *cadence != 1 && *cadence != 2 && *cadence != 5 && *cadence != 10) ||
      (claim && (!isValidToken(claim->secret) || claim->tokenId.empty())) ||
      forLog(jsonString(body, "error") + body).find('\n') != std::string::npos) {
    __builtin_trap();
  }
  jsonDelete(body);
  return 0;
}
