// Opens links in the user's default browser through the shell.
#include "companion/windows/browser_windows.h"

#include "infra/windows/windows_api.h"
// shellapi.h after the gate header: WIN32_LEAN_AND_MEAN leaves it out of windows.h.
#include <shellapi.h>

namespace ostrivel {

void openInBrowser(const std::string& link) {
  ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

void BrowserWindows::open(const std::string& link) { openInBrowser(link); }

}  // namespace ostrivel
