// Shows a toast as the balloon of a temporary notification-area icon.
#include "companion/windows/toaster_windows.h"

#include <algorithm>
#include <cstring>
#include <string>

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
constexpr UINT kTimeoutMs = 15000;

// The window procedure has no other way to learn the link: one toast per process at a time.
std::string pendingLink;

template <std::size_t N>
void copyInto(char (&field)[N], const std::string& text) {
  const std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
}

LRESULT CALLBACK toastWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kIconMessage) {
    switch (LOWORD(lParam)) {
      case NIN_BALLOONUSERCLICK:
        if (!pendingLink.empty()) {
          openInBrowser(pendingLink);
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
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void ToasterWindows::show(const Data& toast) {
  const ToastContent content = toastContent(toast);
  pendingLink = content.link;

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
  NOTIFYICONDATAA icon{};
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
  if (!Shell_NotifyIconA(NIM_ADD, &icon)) {
    DestroyWindow(window);
    return;
  }
  SetTimer(window, kTimerId, kTimeoutMs, nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  Shell_NotifyIconA(NIM_DELETE, &icon);
  DestroyWindow(window);
}

}  // namespace ostrivel
