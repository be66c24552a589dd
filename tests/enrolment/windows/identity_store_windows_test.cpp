// The legacy credential moves from the real registry into a real identity.json under Wine.
#include <gtest/gtest.h>

#include <map>

#include "enrolment/identity_store.h"
#include "infra/product.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/registry_windows.h"
#include "infra/windows/windows_api.h"
#include "support/temp_directory.h"

namespace ostrivel {
namespace {

TEST(IdentityStoreWindows, MovesASecureLegacyCredentialIntoTheFile) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, std::string(kServiceKeyPath).c_str());
  testing::TempDirectory dir;
  FileSystemWindows files;
  RegistryWindows registry;
  const std::map<std::string, std::string> legacy{
      {"Token", "osv_Legacy-1"}, {"AgentId", "a-9"}, {"AgentName", "DESK-7"}};
  for (const auto& [name, value] : legacy) ASSERT_TRUE(registry.set("secure", name, value));
  const std::string data = dir.string() + "\\Ostrivel";  // not made yet
  IdentityStore store(files, registry, data);
  EXPECT_EQ(store.loadIdentity(), (Identity{"a-9", "DESK-7", "osv_Legacy-1"}));
  EXPECT_EQ(
      files.read(data + "\\identity.json"),
      "{\n\t\"environment\": \"prd\",\n\t\"id\": \"a-9\",\n\t\"name\": \"DESK-7\",\n\t\"token\": \"osv_Legacy-1\"\n}");
  for (const auto& [name, value] : legacy) EXPECT_EQ(registry.get("secure", name), std::nullopt) << name;
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, std::string(kServiceKeyPath).c_str());
}

}  // namespace
}  // namespace ostrivel
