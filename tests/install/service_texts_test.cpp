// The texts the installation writes, the access it asks for, and the folders it warns of.
#include "install/service_texts.h"

#include <gtest/gtest.h>

#include "install/install_folder.h"

namespace ostrivel {
namespace {

// The command lines and the description as written show in the Wine install test.
TEST(ServiceTexts, FitsTheDescriptionAndMayStartTheServiceToSetRestarts) {
  EXPECT_EQ(fitDescription(std::string(300, 'x')), std::string(255, 'x'));
  // Windows refuses restart actions through a handle that may not start the service; Wine does not.
  EXPECT_EQ(failureActionsAccess(kFailureRestartCount), kServiceChangeConfig | kServiceStart);
  EXPECT_EQ(failureActionsAccess(0), kServiceChangeConfig);
}

// Program Files as Windows sets it up, against folders a user can write to.
TEST(InstallFolder, WarnsOfEveryFolderANonAdministratorCanChange) {
  using T = AccessRule::Type;
  const std::string installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::string user = "S-1-5-21-1-2-3-1001";
  const std::vector<AccessRule> programFiles = {
      {T::allow, installer, kAccessFull, 0},          {T::allow, kSidSystem, kAccessFull, 0},
      {T::allow, kSidAdministrators, kAccessFull, 0}, {T::allow, kSidUsers, kAccessReadExecute, 0},
      {T::allow, "S-1-3-0", kAccessFull, 0x0B},  // creator owner, for what is made inside only
  };
  const std::tuple<std::string, std::vector<AccessRule>, bool> cases[] = {
      {kSidAdministrators, {}, false},
      {installer, {}, false},
      {kSidAdministrators, {{T::allow, kSidUsers, 0x2, 0x09}}, false},  // for what is made inside only
      {user, {}, true},                                                 // Downloads
      {kSidAdministrators, {{T::allow, kSidUsers, 0x4, 0}}, true},      // a folder made at the root of C:
      {kSidAdministrators, {{T::deny, "S-1-1-0", kAccessFull, 0}, {T::allow, kSidUsers, kAccessModify, 0}}, true},
  };
  for (const auto& [owner, extra, writable] : cases) {
    SecurityState folder{owner, true, false, programFiles};
    folder.rules.insert(folder.rules.end(), extra.begin(), extra.end());
    EXPECT_EQ(writableByNonAdministrators(folder), writable) << owner << " " << extra.size();
  }
  EXPECT_TRUE(writableByNonAdministrators(SecurityState{kSidAdministrators, false, false, {}}));  // no list at all
}

}  // namespace
}  // namespace ostrivel
