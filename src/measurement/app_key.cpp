// The key an application or service is counted under: its name without the last extension.
#include "measurement/app_key.h"

#include <algorithm>

namespace ostrivel {

std::string appKey(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  // A leading dot is part of the name, not an extension.
  if (dot != std::string_view::npos && dot != 0) {
    name = name.substr(0, dot);
  }
  std::string key(name);
  std::replace(key.begin(), key.end(), '.', '_');
  return key;
}

}  // namespace ostrivel
