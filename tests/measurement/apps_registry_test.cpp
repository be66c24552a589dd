// The catalogue's memory: daily re-checks, reports only of what changed, forgetting after a week.
#include "measurement/apps_registry.h"

#include <gtest/gtest.h>

#include "support/fake_apps_registry.h"
#include "support/fake_clock.h"

namespace ostrivel {
namespace {

using nlohmann::json;
constexpr std::int64_t kHour = 3'600'000;

TEST(AppsRegistry, DescribesWhatIsNewOrChangedAtMostOnceADayAndForgetsAfterAWeek) {
  testing::FakeClock clock;
  testing::FakeAppsRegistry registry(clock);
  registry.installed["editor"] = {"C:\\editor.exe", "1.2", "Velbrook", "Text editor", "Editor", "editor.exe", 4096};
  registry.installed["tool"] = {"C:\\tool.exe", "", "", "", "", "", 512};
  // All from one look at the processes; a key found nowhere is remembered empty.
  EXPECT_EQ(registry.describe({"editor", "tool", "gone"}).payload.dump(),
            R"({"editor":{"company":"Velbrook","description":"Text editor","originalName":"editor.exe",)"
            R"("path":"C:\\editor.exe","product":"Editor","size":4096,"version":"1.2"},"gone":{},)"
            R"("tool":{"path":"C:\\tool.exe","size":512}})");
  EXPECT_EQ(registry.looks, 1);
  registry.markReported();
  registry.installed["gone"] = {"C:\\gone.exe", "", "", "", "", "", 1};
  registry.installed["editor"].version = "1.3";
  // Hours on, keys asked, keys answered, looks so far, and whether the answer's record was written.
  // An application is looked up a day after its report or after a look that found it unchanged.
  using Keys = std::vector<std::string>;
  const std::tuple<int, Keys, Keys, int, bool> steps[] = {
      {23, {"editor", "gone", "tool"}, {}, 1, true},
      {2, {"gone", "tool"}, {"gone"}, 2, false},
      {23, {"tool"}, {}, 2, true},
      {0, {"editor", "gone"}, {"editor", "gone"}, 3, true},  // gone's record was lost: described again
      {7 * 24, {"tool"}, {"tool"}, 4, true},                 // unconfirmed for a week: forgotten
  };
  for (const auto& [hours, keys, answered, looks, written] : steps) {
    clock.advance(hours * kHour);
    const json answer = registry.describe(keys).payload;
    Keys described;
    for (const auto& [key, info] : answer.items()) described.push_back(key);
    EXPECT_EQ(described, answered) << hours;
    EXPECT_EQ(registry.looks, looks) << hours;
    if (written) registry.markReported();
  }
  registry.forgetAll();
  EXPECT_EQ(registry.describe({"tool"}).payload.size(), 1u);
}

}  // namespace
}  // namespace ostrivel
