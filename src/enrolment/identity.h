// The agent's credential: its id at the web account, the PC's display name and the token.
#pragma once

#include <string>
#include <string_view>

namespace ostrivel {

struct Identity {
  std::string id;
  std::string name;
  std::string token;  // always satisfies isValidToken

  bool operator==(const Identity&) const = default;
};

// "osv_" followed by at least one of "-", "0"-"9", "A"-"Z", "_", "a"-"z" and nothing else.
bool isValidToken(const std::string& token);

}  // namespace ostrivel
