// Server answers as the agent reads them: session tokens, errors, "delete", cadence, claims,
// and server text as it reaches a log line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/api_answers.h"
#include "enrolment/identity.h"
#include "enrolment/initializer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string body(reinterpret_cast<const char*>(data), size);
  ostrivel::jsonString(body, "sessionJwt");
  ostrivel::forLog(ostrivel::jsonString(body, "error") + body);
  ostrivel::jsonDelete(body);
  if (const auto cadence = ostrivel::jsonCadenceMinutes(body)) {
    if (*cadence != 1 && *cadence != 2 && *cadence != 5 && *cadence != 10) {
      __builtin_trap();
    }
  }
  if (const auto claim = ostrivel::parseClaim(body)) {
    // A claim is only ever taken with a credential of the expected form.
    if (!ostrivel::isValidToken(claim->secret) || claim->tokenId.empty()) {
      __builtin_trap();
    }
  }
  return 0;
}
