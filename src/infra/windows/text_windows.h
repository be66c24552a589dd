// Conversions between the agent's narrow texts and the UTF-16 some Windows calls require.
#pragma once

#include <string>
#include <string_view>

namespace ostrivel {

// codePage is CP_UTF8 or CP_ACP; invalid input is replaced, never rejected.
std::wstring toWide(std::string_view text, unsigned codePage);
std::string toNarrow(std::wstring_view text, unsigned codePage);

std::wstring utf8ToWide(std::string_view text);
std::string wideToUtf8(std::wstring_view text);

}  // namespace ostrivel
