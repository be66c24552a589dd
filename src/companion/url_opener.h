// Hands a link to the system's web browser.
#pragma once

#include <string>

namespace ostrivel {

// Contract: returns as soon as the system accepted (or refused) the request; a link that cannot
// be opened is dropped silently. Single-threaded use.
class UrlOpener {
 public:
  virtual ~UrlOpener() = default;
  virtual void open(const std::string& link) = 0;
};

}  // namespace ostrivel
