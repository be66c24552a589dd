// The PC's credential record: the agent id and name the web account knows it by, and its secret.
#pragma once

#include <string>

namespace ostrivel {

struct Identity {
  std::string id;
  std::string name;
  std::string token;  // the long-lived credential; empty while the PC is not enrolled
};

}  // namespace ostrivel
