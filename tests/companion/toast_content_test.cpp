// What a balloon shows for a toast record, and when its icon goes into the notification area.
#include "companion/toast_content.h"

#include <gtest/gtest.h>

#include "companion/balloon_retry.h"

namespace ostrivel {
namespace {

// The balloon's fields are fixed-size: the title holds 63 characters, the text 255.
TEST(ToastContent, FillsDefaultsShowsOnlyTheFirstLineAndCutsToTheBalloonsFields) {
  const std::pair<nlohmann::json, std::string> cases[] = {
      {{{"lines", {"x"}}}, "Ostrivel|x|"},
      {{{"title", std::string(99, 't')}, {"lines", {std::string(300, 'a'), "b"}}, {"action", "a:b"}},
       std::string(63, 't') + "|" + std::string(255, 'a') + "|a:b"},
      {{{"title", 7}, {"lines", {7}}}, "||"},
      {{{"lines", "not a list"}}, "Ostrivel||"},
      {"junk", "Ostrivel||"},
  };
  for (const auto& [payload, shown] : cases) {
    const auto content = toastContent(Data(payload, "toast"));
    EXPECT_EQ(content.title + "|" + content.text + "|" + content.link, shown) << payload;
  }
}

// At logon the Run entry can start before the taskbar: adding the icon fails at first.
TEST(BalloonRetry, RetriesTheIconForFiveSecondsAndReAddsItForEveryNewTaskbarWithinTheToast) {
  using E = BalloonEvent;
  EXPECT_EQ(balloonAction(E::retryTick, 4999, false), BalloonAction::addIcon);
  EXPECT_EQ(balloonAction(E::retryTick, 5000, false), BalloonAction::stopRetrying);
  EXPECT_EQ(balloonAction(E::retryTick, 2000, true), BalloonAction::stopRetrying);
  EXPECT_EQ(balloonAction(E::taskbarCreated, 14999, true), BalloonAction::addIcon);
  EXPECT_EQ(balloonAction(E::taskbarCreated, 15000, false), BalloonAction::none);
}

}  // namespace
}  // namespace ostrivel
