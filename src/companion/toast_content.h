// What a balloon shows for a toast record: title, one line of text, and the link a click opens.
#pragma once

#include <string>

#include "infra/data.h"

namespace ostrivel {

struct ToastContent {
  std::string title;  // "Ostrivel" when the record has none; at most 63 characters
  std::string text;   // the first of "lines"; at most 255 characters
  std::string link;   // "action"; empty for none
};

ToastContent toastContent(const Data& toast);

}  // namespace ostrivel
