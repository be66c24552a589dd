// What a balloon shows for a toast record, with the balloon's fixed limits.
#include "companion/toast_content.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ostrivel
