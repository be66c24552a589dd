// The one seam every component writes its messages through.
#include "infra/logger.h"

namespace ostrivel {

std::string_view levelTag(std::uint32_t level) {
  switch (level) {
    case kLevelWarn:
      return "[warn]";
    case kLevelError:
      return "[error]";
    default:
      return "[info]";
  }
}

}  // namespace ostrivel
