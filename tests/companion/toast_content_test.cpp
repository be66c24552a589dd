// What a balloon shows for a toast record, with the balloon's fixed limits.
#include "companion/toast_content.h"

#include <gtest/gtest.h>

#include "companion/balloon_retry.h"

namespace ostrivel {
namespace {

TEST(ToastContent, FillsDefaultsShowsOnlyTheFirstLineAndCutsToTheBalloonsFields) {
  const auto bare = toastContent(Data({{"lines", {"x"}}}, "toast"));
  EXPECT_EQ(bare.title, "Ostrivel");
  EXPECT_EQ(bare.text, "x");
  EXPECT_EQ(bare.link, "");

  const auto full = toastContent(Data({{"title", std::string(100, 't')},
                                       {"lines", {std::string(300, 'a'), "second"}},
                                       {"action", "https://app.test/billing"}},
                                      "toast"));
  EXPECT_EQ(full.title, std::string(63, 't'));
  EXPECT_EQ(full.text, std::string(255, 'a'));
  EXPECT_EQ(full.link, "https://app.test/billing");

  for (const auto& lines : {nlohmann::json::array(), nlohmann::json("not a list"), nlohmann::json(7)}) {
    EXPECT_EQ(toastContent(Data({{"lines", lines}}, "toast")).text, "");
  }
  EXPECT_EQ(toastContent(Data(nlohmann::json("junk"), "toast")).title, "Ostrivel");
}

// At logon the Run entry can start before the taskbar: adding the icon fails at first.
TEST(BalloonRetry, RetriesTheIconForFiveSecondsAndReAddsItForEveryNewTaskbarWithinTheToast) {
  using E = BalloonEvent;
  using A = BalloonAction;
  const struct {
    E event;
    std::uint64_t elapsedMs;
    bool iconAdded;
    A action;
  } cases[] = {
      {E::retryTick, 1000, false, A::addIcon},       {E::retryTick, 4999, false, A::addIcon},
      {E::retryTick, 5000, false, A::stopRetrying},  {E::retryTick, 2000, true, A::stopRetrying},
      {E::taskbarCreated, 9000, false, A::addIcon},  {E::taskbarCreated, 14999, true, A::addIcon},
      {E::taskbarCreated, 15000, false, A::none},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(balloonAction(c.event, c.elapsedMs, c.iconAdded), c.action) << c.elapsedMs << " " << c.iconAdded;
  }
}

}  // namespace
}  // namespace ostrivel
