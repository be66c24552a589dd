// Opens links in the user's default browser through the shell.
#include "companion/windows/browser_windows.h"

#include "infra/windows/windows_api.h"
// shellapi.h after the gate header: WIN32_LEAN_AND_MEAN leaves it out of windows.h.
#include <shellapi.h>

namespace ostrivel {

void openInBrowser(const std::string& link, Logger& log) {
  // 32 and below is the shell's refusal (no program for the scheme, none found, out of memory).
  const auto code =
      reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", link.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (code <= 32) {
    log.warn("[ui] the shell did not open the link (code " + std::to_string(code) + ")");
  }
}

BrowserWindows::BrowserWindows(Logger& logIn) : log(logIn) {}

void BrowserWindows::open(const std::string& link) { openInBrowser(link, log); }

}  // namespace ostrivel
