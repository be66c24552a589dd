// Opens links in the user's default browser through the shell.
#pragma once

#include "companion/url_opener.h"
#include "infra/logger.h"

namespace ostrivel {

// The shell needs COM initialised on the calling thread (the user modes do it): browsers that
// register through COM can fail silently without it.
class BrowserWindows : public UrlOpener {
 public:
  explicit BrowserWindows(Logger& log);
  void open(const std::string& link) override;

 private:
  Logger& log;
};

// The one way a link reaches the shell, shared with the balloon's click; a refusal is logged
// without the link, which may carry the credential.
void openInBrowser(const std::string& link, Logger& log);

}  // namespace ostrivel
