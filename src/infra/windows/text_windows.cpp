// Conversions between the agent's narrow texts and the UTF-16 some Windows calls require.
#include "infra/windows/text_windows.h"

#include "infra/windows/windows_api.h"

namespace ostrivel {

std::wstring toWide(std::string_view text, unsigned codePage) {
  if (text.empty()) {
    return {};
  }
  const int length = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) {
    return {};
  }
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string toNarrow(std::wstring_view text, unsigned codePage) {
  if (text.empty()) {
    return {};
  }
  const int length =
      WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) {
    return {};
  }
  std::string narrow(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                      nullptr);
  return narrow;
}

std::wstring utf8ToWide(std::string_view text) { return toWide(text, CP_UTF8); }

std::string wideToUtf8(std::wstring_view text) { return toNarrow(text, CP_UTF8); }

}  // namespace ostrivel
