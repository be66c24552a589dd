// Opens links in the user's default browser through the shell.
#pragma once

#include "companion/url_opener.h"

namespace ostrivel {

class BrowserWindows : public UrlOpener {
 public:
  void open(const std::string& link) override;
};

// The one way a link reaches the shell, shared with the balloon's click.
void openInBrowser(const std::string& link);

}  // namespace ostrivel
