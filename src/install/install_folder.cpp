// Whether the folder of the executable that -install registers can be changed by someone who is
// not an administrator.
#include "install/install_folder.h"

#include <algorithm>
#include <cstdint>

namespace ostrivel {

namespace {

constexpr const char* kSidTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Adding a file or a subfolder, deleting what is inside, changing the list or the owner: each
// lets its holder put a program of their own where the service's is, or make themselves able to.
constexpr std::uint32_t kChangeRights = 0x00000002 /* add file */ | 0x00000004 /* add subfolder */ |
                                        0x00000040 /* delete child */ | 0x00040000 /* write list */ |
                                        0x00080000 /* write owner */ | 0x10000000 /* generic all */ |
                                        0x40000000 /* generic write */;
constexpr std::uint8_t kInheritOnly = 0x08;  // a rule for what is made inside, not for the folder

bool administrator(const std::string& sid) {
  return sid == kSidSystem || sid == kSidAdministrators || sid == kSidTrustedInstaller;
}

}  // namespace

bool writableByNonAdministrators(const SecurityState& folder) {
  // An owner may always rewrite the list; a missing list grants everyone everything.
  if (!administrator(folder.owner) || !folder.hasList) {
    return true;
  }
  return std::any_of(folder.rules.begin(), folder.rules.end(), [](const AccessRule& rule) {
    return rule.type == AccessRule::Type::allow && (rule.flags & kInheritOnly) == 0 &&
           (rule.mask & kChangeRights) != 0 && !administrator(rule.sid);
  });
}

}  // namespace ostrivel
