// The host facts the entry point reads at start, against Wine.
#include "measurement/windows/system_facts_windows.h"

#include <gtest/gtest.h>
#include <regex>

#include "infra/windows/windows_api.h"

namespace ostrivel {
namespace {

TEST(SystemFacts, NamesThisComputerProgramAndSystem) {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof name;
  const std::string expected = GetComputerNameA(name, &size) ? std::string(name, size) : "PC";
  EXPECT_EQ(computerName(), expected);
  EXPECT_FALSE(computerName().empty());

  const std::string path = executablePath();
  EXPECT_TRUE(path.ends_with("\\measurement_windows_tests.exe")) << path;
  EXPECT_EQ(path.find('\0'), std::string::npos);

  EXPECT_TRUE(std::regex_match(osVersionText(), std::regex(R"(Windows \d+\.\d+\.\d+)"))) << osVersionText();
}

TEST(SystemFacts, ProgramDataFallsBackWhenUnsetOrTooLong) {
  ASSERT_TRUE(SetEnvironmentVariableA("ProgramData", "D:\\Data"));
  EXPECT_EQ(programDataDir(), "D:\\Data");

  const std::string longest = "D:\\" + std::string(256, 'x');  // 259 characters: still fits
  ASSERT_TRUE(SetEnvironmentVariableA("ProgramData", longest.c_str()));
  EXPECT_EQ(programDataDir(), longest);
  ASSERT_TRUE(SetEnvironmentVariableA("ProgramData", (longest + "x").c_str()));
  EXPECT_EQ(programDataDir(), "C:\\ProgramData");

  ASSERT_TRUE(SetEnvironmentVariableA("ProgramData", nullptr));
  EXPECT_EQ(programDataDir(), "C:\\ProgramData");
}

}  // namespace
}  // namespace ostrivel
