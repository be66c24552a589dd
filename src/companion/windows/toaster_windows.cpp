// Shows a toast as the balloon of a temporary notification-area icon.
#include "companion/windows/toaster_windows.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "companion/balloon_retry.h"
#include "companion/toast_content.h"
#include "companion/windows/browser_windows.h"
#include "infra/product.h"
#include "infra/windows/windows_api.h"
// shellapi.h after the gate header: WIN32_LEAN_AND_MEAN leaves it out of windows.h.
#include <shellapi.h>

namespace ostrivel {

namespace {

constexpr char kWindowClass[] = "OstrivelToast";
constexpr UINT kIconId = 1;
constexpr UINT kIconMessage = WM_APP + 1;
constexpr UINT_PTR kTimerId = 1;
constexpr UINT_PTR kRetryTimerId = 2;

// The window procedure has no other way to reach the toast: one toast per process at a time.
struct ShownToast {
  std::string link;
  Logger* log = nullptr;
  NOTIFYICONDATAA icon{};
  bool iconAdded = false;
  ULONGLONG startedMs = 0;
  UINT taskbarCreated = 0;  // the shell's registered message; 0 when it could not be registered
};
ShownToast current;

template <std::size_t N>
void copyInto(char (&field)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

void onBalloonEvent(HWND window, BalloonEvent event) {
  switch (balloonAction(event, GetTickCount64() - current.startedMs, current.iconAdded)) {
    case BalloonAction::addIcon:
      current.iconAdded = Shell_NotifyIconA(NIM_ADD, &current.icon) != FALSE;
      break;
    case BalloonAction::stopRetrying:
      KillTimer(window, kRetryTimerId);
      break;
    case BalloonAction::none:
      break;
  }
}

LRESULT CALLBACK toastWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kIconMessage) {
    switch (LOWORD(lParam)) {
      case NIN_BALLOONUSERCLICK:
        if (!current.link.empty()) {
          openInBrowser(current.link, *current.log);
          PostQuitMessage(0);
        }
        return 0;
      case NIN_BALLOONHIDE:
      case NIN_BALLOONTIMEOUT:
        PostQuitMessage(0);
        return 0;
      default:
        return 0;
    }
  }
  if (message == WM_TIMER && wParam == kTimerId) {
    PostQuitMessage(0);
    return 0;
  }
  if (message == WM_TIMER && wParam == kRetryTimerId) {
    onBalloonEvent(window, BalloonEvent::retryTick);
    return 0;
  }
  if (current.taskbarCreated != 0 && message == current.taskbarCreated) {
    onBalloonEvent(window, BalloonEvent::taskbarCreated);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

ToasterWindows::ToasterWindows(Logger& logIn) : log(logIn) {}

void ToasterWindows::show(const Data& toast) {
  const ToastContent content = toastContent(toast);
  current = ShownToast{};
  current.link = content.link;
  current.log = &log;
  current.taskbarCreated = RegisterWindowMessageA("TaskbarCreated");

  const HINSTANCE module = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = toastWindowProc;
  windowClass.hInstance = module;
  windowClass.lpszClassName = kWindowClass;
  RegisterClassA(&windowClass);  // fails harmlessly when the class exists already

  HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr, module, nullptr);
  if (window == nullptr) {
    return;
  }
  if (current.taskbarCreated != 0) {
    // An elevated process would otherwise not hear the taskbar of the user's session.
    ChangeWindowMessageFilterEx(window, current.taskbarCreated, MSGFLT_ALLOW, nullptr);
  }
  NOTIFYICONDATAA& icon = current.icon;
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = kIconId;
  icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  icon.uCallbackMessage = kIconMessage;
  icon.hIcon = LoadIconA(nullptr, IDI_INFORMATION);
  copyInto(icon.szTip, std::string(kProductName));
  copyInto(icon.szInfoTitle, content.title);
  copyInto(icon.szInfo, content.text);
  icon.dwInfoFlags = NIIF_INFO;
  current.startedMs = GetTickCount64();
  current.iconAdded = Shell_NotifyIconA(NIM_ADD, &icon) != FALSE;
  if (!current.iconAdded) {
    SetTimer(window, kRetryTimerId, kIconRetryEveryMs, nullptr);
  }
  SetTimer(window, kTimerId, kToastLimitMs, nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  if (current.iconAdded) {
    Shell_NotifyIconA(NIM_DELETE, &icon);
  } else {
    log.warn("[ui] no notification area took the balloon within " + std::to_string(kToastLimitMs / 1000) + " s");
  }
  DestroyWindow(window);
}

}  // namespace ostrivel
