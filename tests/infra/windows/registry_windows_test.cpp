// RegistryWindows against Wine's registry: key creation, the Secure key's descriptor, reads.
#include "infra/windows/registry_windows.h"

#include <gtest/gtest.h>

#include "infra/product.h"
#include "infra/windows/scoped_handle.h"

#include <sddl.h>

namespace ostrivel {
namespace {

const std::string kServiceKey(kServiceKeyPath);
const std::string kParametersKey = kServiceKey + "\\Parameters";
const std::string kSecureKey = kServiceKey + "\\Secure";
const std::string kUserKey(kUserKeyPath);

bool keyExists(HKEY hive, const std::string& path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(hive, path.c_str(), 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    return false;
  }
  RegistryKey key(raw);
  return true;
}

void setRaw(const std::string& path, const char* name, DWORD type, const void* data, DWORD size) {
  HKEY raw = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &raw, nullptr),
            ERROR_SUCCESS);
  RegistryKey key(raw);
  ASSERT_EQ(RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}

// The DACL of a key as SDDL, or what went wrong reading it.
std::string daclOf(const std::string& path) {
  HKEY raw = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, &raw) != ERROR_SUCCESS) {
    return "<cannot open>";
  }
  RegistryKey key(raw);
  DWORD size = 0;
  RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
  std::string buffer(size, '\0');
  if (size == 0 ||
      RegGetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, buffer.data(), &size) != ERROR_SUCCESS) {
    return "<no security>";
  }
  char* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(buffer.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                            &text, nullptr)) {
    return "<no sddl>";
  }
  LocalMemory owned(text);
  return text;
}

class RegistryWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  static void clean() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kServiceKey.c_str());
    RegDeleteTreeA(HKEY_CURRENT_USER, kUserKey.c_str());
  }

  RegistryWindows registry;
};

TEST_F(RegistryWindowsTest, AParametersWriteCreatesTheWholeServiceKeyPath) {
  EXPECT_EQ(registry.get("parameters", "AgentState"), std::nullopt);
  EXPECT_FALSE(registry.erase("parameters", "AgentState"));
  ASSERT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kServiceKey));

  ASSERT_TRUE(registry.set("parameters", "AgentState", "registering"));
  EXPECT_TRUE(keyExists(HKEY_LOCAL_MACHINE, kParametersKey));
  EXPECT_EQ(registry.get("parameters", "AgentState"), "registering");
  EXPECT_TRUE(registry.set("parameters", "AgentState", ""));
  EXPECT_EQ(registry.get("parameters", "AgentState"), "");

  // Scopes are exact: the same value is out of reach under any other spelling.
  EXPECT_EQ(registry.get("Parameters", "AgentState"), std::nullopt);
  EXPECT_FALSE(registry.erase("Parameters", "AgentState"));

  EXPECT_TRUE(registry.erase("parameters", "AgentState"));
  EXPECT_FALSE(registry.erase("parameters", "AgentState"));
  EXPECT_EQ(registry.get("parameters", "AgentState"), std::nullopt);
}

TEST_F(RegistryWindowsTest, UserValuesLiveUnderTheCurrentUsersKey) {
  ASSERT_TRUE(registry.set("user", "NoticeSeen", "1"));
  EXPECT_TRUE(keyExists(HKEY_CURRENT_USER, kUserKey));
  EXPECT_FALSE(keyExists(HKEY_LOCAL_MACHINE, kServiceKey));
  EXPECT_EQ(registry.get("user", "NoticeSeen"), "1");
  EXPECT_EQ(registry.get("parameters", "NoticeSeen"), std::nullopt);
}

bool runningUnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

TEST_F(RegistryWindowsTest, CreatesTheSecureKeyWithTheProtectedDescriptor) {
  // The text itself parses to exactly the protected two-entry DACL.
  PSECURITY_DESCRIPTOR parsed = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kSecureKeySddl, SDDL_REVISION_1, &parsed, nullptr));
  LocalMemory ownedParsed(parsed);
  char* roundTrip = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(parsed, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                   &roundTrip, nullptr));
  LocalMemory ownedRoundTrip(roundTrip);
  EXPECT_STREQ(roundTrip, "D:P(A;;GA;;;SY)(A;;GA;;;BA)");

  ASSERT_TRUE(registry.set("secure", "Token", "osv_abc"));
  EXPECT_EQ(registry.get("secure", "Token"), "osv_abc");
  const std::string dacl = daclOf(kSecureKey);
  std::printf("Secure key DACL as read back: %s\n", dacl.c_str());
  if (runningUnderWine()) {
    // Wine 8 ignores the security attributes of RegCreateKeyEx and reports its default key
    // descriptor; only Windows itself can show the protected one.
    EXPECT_TRUE(dacl == kSecureKeySddl || dacl == "D:(A;CIIO;GR;;;BU)(A;;KA;;;BA)") << dacl;
  } else {
    EXPECT_EQ(dacl, kSecureKeySddl);
  }
  EXPECT_TRUE(registry.erase("secure", "Token"));
}

TEST_F(RegistryWindowsTest, AnExistingSecureKeyKeepsItsOwnDescriptor) {
  setRaw(kSecureKey, "Other", REG_SZ, "x", 2);
  const std::string before = daclOf(kSecureKey);
  ASSERT_TRUE(registry.set("secure", "Token", "osv_abc"));
  EXPECT_EQ(daclOf(kSecureKey), before);
}

TEST_F(RegistryWindowsTest, ReadsOnlyStringsThatFitTheBuffer) {
  const DWORD number = 5;
  setRaw(kParametersKey, "CadenceMinutes", REG_DWORD, &number, sizeof number);
  EXPECT_EQ(registry.get("parameters", "CadenceMinutes"), std::nullopt);

  const std::string huge(3000, 'h');
  setRaw(kParametersKey, "Huge", REG_SZ, huge.c_str(), static_cast<DWORD>(huge.size() + 1));
  EXPECT_EQ(registry.get("parameters", "Huge"), std::nullopt);

  // 2047 bytes and the terminating NUL fill the 2048-byte buffer exactly; one more does not fit.
  const std::string longest(2047, 'l');
  ASSERT_TRUE(registry.set("parameters", "Longest", longest));
  EXPECT_EQ(registry.get("parameters", "Longest"), longest);
  ASSERT_TRUE(registry.set("parameters", "TooLong", longest + "l"));
  EXPECT_EQ(registry.get("parameters", "TooLong"), std::nullopt);
}

}  // namespace
}  // namespace ostrivel
