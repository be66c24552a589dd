// RegistryWindows against Wine's registry: each scope in its own key, so a credential stays where
// it was put.
#include "infra/windows/registry_windows.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(RegistryWindows, KeepsEachScopeInItsOwnKey) {
  RegistryWindows registry;
  ASSERT_TRUE(registry.set("secure", "Token", "osv_abc"));  // its key made with the protected descriptor
  EXPECT_EQ(registry.get("secure", "Token"), "osv_abc");
  EXPECT_EQ(registry.get("parameters", "Token"), std::nullopt);
  EXPECT_EQ(registry.get("user", "Token"), std::nullopt);
  EXPECT_TRUE(registry.erase("secure", "Token"));
}

}  // namespace
}  // namespace ostrivel
