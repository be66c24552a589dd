// AppsRegistryWindows against Wine: paths, sizes and version strings of running programs.
#include "measurement/windows/apps_registry_windows.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "child_process_windows.h"
#include "infra/clock_system.h"
#include "infra/windows/text_windows.h"
#include "ostrivel/version.h"
#include "support/fake_clock.h"

namespace ostrivel {
namespace {

std::uint64_t sizeOnDisk(const std::string& windowsPath) {
  return std::filesystem::file_size(std::filesystem::path(utf8ToWide(windowsPath)));
}

std::string ownPath() {
  wchar_t buffer[1024];
  const DWORD length = GetModuleFileNameW(nullptr, buffer, 1024);
  return wideToUtf8(std::wstring_view(buffer, length));
}

bool samePath(const std::string& a, const std::string& b) {
  return CompareStringOrdinal(utf8ToWide(a).c_str(), -1, utf8ToWide(b).c_str(), -1, TRUE) == CSTR_EQUAL;
}

TEST(AppsRegistryWindows, ReadsTheAgentsOwnVersionResourceAndOnlyPathAndSizeWithoutOne) {
  // Suspended, the agent neither runs nor exits: it is only a process with its image.
  testing::ChildProcess agent(OSTRIVEL_TEST_AGENT, "status", CREATE_SUSPENDED);
  ASSERT_TRUE(agent.started());
  ClockSystem clock;
  AppsRegistryWindows registry(clock);

  // Both keys from one look at the processes; a key no process has is left out.
  auto found = registry.lookup({"ostrivel", "measurement_windows_tests", "nothing_runs_by_this_name"});
  EXPECT_EQ(found.size(), 2u);
  const AppInfo info = found["ostrivel"];
  EXPECT_TRUE(samePath(info.path, agent.windowsPath())) << info.path;
  EXPECT_EQ(info.size, sizeOnDisk(agent.windowsPath()));
  EXPECT_EQ(info.version, OSTRIVEL_VERSION_TEXT);
  EXPECT_EQ(info.version, "2026.1.0.10");
  EXPECT_EQ(info.company, "Velbrook");
  EXPECT_EQ(info.description, "Ostrivel usage agent");
  EXPECT_EQ(info.product, "Ostrivel");
  EXPECT_EQ(info.originalName, "ostrivel.exe");

  const AppInfo bare = found["measurement_windows_tests"];
  EXPECT_TRUE(samePath(bare.path, ownPath())) << bare.path;
  EXPECT_EQ(bare.size, sizeOnDisk(ownPath()));
  EXPECT_EQ(bare, (AppInfo{bare.path, "", "", "", "", "", bare.size}));
}

TEST(AppsRegistryWindows, FollowsTheTranslationTableAndDescribesThroughTheCatalogue) {
  testing::ChildProcess burner(OSTRIVEL_TEST_BURNER, "30");
  ASSERT_TRUE(burner.started());
  testing::FakeClock clock;
  AppsRegistryWindows registry(clock);

  // German strings in code page 1252: found only under the table's 040704e4.
  const nlohmann::json answer = registry.describe({"cpu_burner", "(short-lived)", "nothing_runs_by_this_name"}).payload;
  ASSERT_TRUE(answer.contains("cpu_burner")) << answer.dump();
  const nlohmann::json& burnerInfo = answer["cpu_burner"];
  EXPECT_TRUE(samePath(burnerInfo.value("path", ""), burner.windowsPath())) << answer.dump();
  EXPECT_EQ(burnerInfo["size"], sizeOnDisk(burner.windowsPath()));
  EXPECT_EQ(burnerInfo["version"], "3.1.4");
  EXPECT_EQ(burnerInfo["company"],
            "Velbrook Pr\xc3\xbc"
            "fstand");
  EXPECT_EQ(burnerInfo["description"], "Rechenlast f\xc3\xbcr Tests");
  EXPECT_EQ(burnerInfo["product"], "Ostrivel Testwerk");
  EXPECT_EQ(burnerInfo["originalName"], "cpu.burner.exe");
  EXPECT_EQ(answer["(short-lived)"], nlohmann::json::object());
  EXPECT_EQ(answer["nothing_runs_by_this_name"], nlohmann::json::object());
}

}  // namespace
}  // namespace ostrivel
