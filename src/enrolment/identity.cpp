// The agent's credential: its id at the web account, the PC's display name and the token.
#include "enrolment/identity.h"

namespace ostrivel {

namespace {

constexpr std::string_view kTokenPrefix = "osv_";

bool isTokenCharacter(char c) {
  return c == '-' || c == '_' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

bool isValidToken(const std::string& token) {
  if (token.size() <= kTokenPrefix.size() || token.compare(0, kTokenPrefix.size(), kTokenPrefix) != 0) {
    return false;
  }
  for (std::size_t i = kTokenPrefix.size(); i < token.size(); ++i) {
    if (!isTokenCharacter(token[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace ostrivel
