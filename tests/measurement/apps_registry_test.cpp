// The catalogue's memory: daily re-checks, reports only of what changed, forgetting after a week.
#include "measurement/apps_registry.h"

#include <gtest/gtest.h>

#include "support/fake_apps_registry.h"
#include "support/fake_clock.h"

namespace ostrivel {
namespace {

using nlohmann::json;

constexpr std::int64_t kHour = 3'600'000;

AppInfo editor(std::string version) {
  return AppInfo{"C:\\Tools\\editor.exe", std::move(version), "Velbrook", "Text editor", "Editor", "editor.exe", 4096};
}

TEST(AppsRegistry, DescribesNewApplicationsThenLooksUpAgainAfterADayAndReportsOnlyChanges) {
  testing::FakeClock clock;
  testing::FakeAppsRegistry registry(clock);
  registry.installed["editor"] = editor("1.2.0");
  registry.installed["tool"] = AppInfo{"C:\\tool.exe", "", "", "", "", "", 512};
  const Data answer = registry.describe({"(short-lived)", "editor", "tool"});
  EXPECT_EQ(answer.name, "apps");
  EXPECT_EQ(answer.payload, (json{{"(short-lived)", json::object()},
                                  {"editor",
                                   {{"company", "Velbrook"},
                                    {"description", "Text editor"},
                                    {"originalName", "editor.exe"},
                                    {"path", "C:\\Tools\\editor.exe"},
                                    {"product", "Editor"},
                                    {"size", 4096},
                                    {"version", "1.2.0"}}},
                                  {"tool", {{"path", "C:\\tool.exe"}, {"size", 512}}}}));
  EXPECT_EQ(registry.looks, 1);  // one look at the processes for all three
  registry.markReported();

  // An hour later: not even looked up.
  clock.advance(kHour);
  EXPECT_EQ(registry.describe({"editor"}).payload, json::object());
  EXPECT_EQ(registry.lookups["editor"], 1);
  // 25 hours after the report: looked up, unchanged, so not reported but confirmed.
  clock.advance(24 * kHour);
  EXPECT_EQ(registry.describe({"editor"}).payload, json::object());
  EXPECT_EQ(registry.lookups["editor"], 2);
  clock.advance(23 * kHour);
  EXPECT_EQ(registry.describe({"editor"}).payload, json::object());
  EXPECT_EQ(registry.lookups["editor"], 2);  // the confirmation renewed the day
  // A new version is reported at the first look a day after the confirmation.
  registry.installed["editor"] = editor("1.3.0");
  clock.advance(2 * kHour);
  EXPECT_EQ(registry.describe({"editor"}).payload["editor"]["version"], "1.3.0");
  EXPECT_EQ(registry.lookups["editor"], 3);
}

TEST(AppsRegistry, SevenDaysWithoutConfirmationOrForgetAllMakeAnApplicationNew) {
  testing::FakeClock clock;
  testing::FakeAppsRegistry registry(clock);
  registry.installed["editor"] = editor("1.2.0");
  registry.describe({"editor"});
  registry.markReported();

  // Not asked about for over a week: forgotten, so described again though nothing changed.
  clock.advance(7 * 24 * kHour + 1);
  EXPECT_EQ(registry.describe({"editor"}).payload["editor"]["version"], "1.2.0");

  // A key found nowhere is remembered empty, then reported once found a day later.
  EXPECT_EQ(registry.describe({"gone"}).payload, (json{{"gone", json::object()}}));
  registry.markReported();
  registry.installed["gone"] = AppInfo{"C:\\gone.exe", "", "", "", "", "", 1};
  clock.advance(2 * kHour);
  EXPECT_EQ(registry.describe({"gone"}).payload, json::object());
  clock.advance(23 * kHour);
  EXPECT_EQ(registry.describe({"gone"}).payload, (json{{"gone", {{"path", "C:\\gone.exe"}, {"size", 1}}}}));

  registry.forgetAll();
  EXPECT_EQ(registry.describe({"editor", "gone"}).payload.size(), 2u);
}

}  // namespace
}  // namespace ostrivel
