// The texts the installation writes, the access it asks for, and the folders it warns of.
#include "install/service_texts.h"

#include <gtest/gtest.h>

#include "install/install_folder.h"

namespace ostrivel {
namespace {

TEST(ServiceTexts, QuotesTheExecutableInBothCommandLines) {
  const std::string path = "C:\\Program Files\\Ostrivel\\ostrivel.exe";
  EXPECT_EQ(serviceCommandLine(path), "\"C:\\Program Files\\Ostrivel\\ostrivel.exe\" -service");
  EXPECT_EQ(autostartCommandLine(path), "\"C:\\Program Files\\Ostrivel\\ostrivel.exe\" -check --silent");
}

TEST(ServiceTexts, DescribesTheAgentWithinTheDescriptionLimit) {
  EXPECT_EQ(serviceDescription(),
            "Ostrivel usage agent - records per-app and per-service CPU minutes for this PC. "
            "Remove with 'Ostrivel -uninstall' or the installer.");
  EXPECT_EQ(fitDescription(std::string(300, 'x')), std::string(255, 'x'));
}

// Windows refuses restart actions through a handle that may not start the service; Wine does not.
TEST(ServiceTexts, AsksToStartTheServiceWhenItSetsRestartActions) {
  EXPECT_EQ(failureActionsAccess(kFailureRestartCount), kServiceChangeConfig | kServiceStart);
  EXPECT_EQ(failureActionsAccess(0), kServiceChangeConfig);
}

// Program Files as Windows sets it up, against folders a user can write to.
TEST(InstallFolder, WarnsOfEveryFolderANonAdministratorCanChange) {
  using T = AccessRule::Type;
  const std::string installer = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
  const std::string user = "S-1-5-21-1-2-3-1001";
  const std::vector<AccessRule> programFiles = {
      {T::allow, installer, kAccessFull, 0},           {T::allow, kSidSystem, kAccessFull, 0},
      {T::allow, kSidAdministrators, kAccessFull, 0},  {T::allow, kSidUsers, kAccessReadExecute, 0},
      {T::allow, "S-1-3-0", kAccessFull, 0x0B},  // creator owner, for what is made inside only
      {T::allow, "S-1-15-2-1", kAccessReadExecute, 0},
  };
  const auto with = [&](std::vector<AccessRule> extra, std::string owner = kSidAdministrators) {
    SecurityState state{std::move(owner), true, false, programFiles};
    state.rules.insert(state.rules.end(), extra.begin(), extra.end());
    return state;
  };
  EXPECT_FALSE(writableByNonAdministrators(with({})));
  EXPECT_FALSE(writableByNonAdministrators(with({}, installer)));
  EXPECT_FALSE(writableByNonAdministrators(with({{T::allow, kSidUsers, 0x2, 0x09}})));  // inside only
  EXPECT_TRUE(writableByNonAdministrators(with({}, user)));                             // Downloads
  EXPECT_TRUE(writableByNonAdministrators(with({{T::allow, kSidUsers, 0x4, 0}})));  // a folder made at the root of C:
  EXPECT_TRUE(writableByNonAdministrators(with({{T::allow, "S-1-5-11", kAccessModify, 0}})));
  EXPECT_TRUE(writableByNonAdministrators(with({{T::allow, user, 0x40000000, 0}})));  // generic write
  EXPECT_TRUE(writableByNonAdministrators(with({{T::allow, user, 0x00040000, 0}})));  // may change the list
  EXPECT_TRUE(writableByNonAdministrators(
      with({{T::deny, "S-1-1-0", kAccessFull, 0}, {T::allow, kSidUsers, kAccessModify, 0}})));
  SecurityState noList{kSidAdministrators, false, false, {}};
  EXPECT_TRUE(writableByNonAdministrators(noList));
}

}  // namespace
}  // namespace ostrivel
