// RegistryWindows against Wine's registry: each scope in its own hive and key, and reads of
// strings only, and only those that fit.
#include "infra/windows/registry_windows.h"

#include <gtest/gtest.h>

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"

namespace ostrivel {
namespace {

bool keyExists(HKEY hive, const std::string& path) {
  HKEY raw = nullptr;
  const bool opened = RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, &raw) == ERROR_SUCCESS;
  const RegistryKey owned(raw);
  return opened;
}

TEST(RegistryWindows, KeepsEachScopeInItsOwnKeyAndReadsOnlyStringsThatFit) {
  const std::string service(kServiceKeyPath), user(kUserKeyPath);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, service.c_str());
  RegDeleteTreeA(HKEY_CURRENT_USER, user.c_str());
  RegistryWindows registry;
  ASSERT_TRUE(registry.set("user", "NoticeSeen", "1"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, user));
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, service));
  ASSERT_TRUE(registry.set("secure", "Token", "osv_abc"));  // its key made with the protected descriptor
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, service + "\\Secure"));
  EXPECT_EQ(registry.get("parameters", "Token"), std::nullopt);
  EXPECT_EQ(registry.get("user", "Token"), std::nullopt);
  EXPECT_TRUE(registry.erase("secure", "Token"));
  EXPECT_FALSE(registry.erase("secure", "Token"));

  // 2047 bytes and the NUL fill the 2048-byte buffer; one more does not fit, nor does a number.
  const std::string longest(2047, 'l');
  ASSERT_TRUE(registry.set("parameters", "Longest", longest));
  EXPECT_EQ(registry.get("parameters", "Longest"), longest);
  ASSERT_TRUE(registry.set("parameters", "TooLong", longest + "l"));
  EXPECT_EQ(registry.get("parameters", "TooLong"), std::nullopt);
  const DWORD number = 5;
  RegSetKeyValueA(HKEY_LOCAL_MACHINE, (service + "\\Parameters").c_str(), "Cadence", REG_DWORD, &number, sizeof number);
  EXPECT_EQ(registry.get("parameters", "Cadence"), std::nullopt);
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, service.c_str());
  RegDeleteTreeA(HKEY_CURRENT_USER, user.c_str());
}

}  // namespace
}  // namespace ostrivel
