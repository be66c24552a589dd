// The lenient readers of the server's answers: only the exact types count.
#include "delivery/api_answers.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(ApiAnswers, StringsAreReadOnlyFromObjectsHoldingThem) {
  EXPECT_EQ(jsonString(R"({"sessionJwt":"abc","error":"suspended"})", "sessionJwt"), "abc");
  EXPECT_EQ(jsonString(R"({"error":"suspended"})", "error"), "suspended");
  EXPECT_EQ(jsonString(R"({"error":42})", "error"), "");
  EXPECT_EQ(jsonString(R"({"error":null})", "error"), "");
  EXPECT_EQ(jsonString(R"(["error","x"])", "error"), "");
  EXPECT_EQ(jsonString("<html>404</html>", "error"), "");
  EXPECT_EQ(jsonString("", "error"), "");
  EXPECT_EQ(jsonString(R"({"error":"x")", "error"), "");
}

TEST(ApiAnswers, DeleteIsTrueOnlyForABooleanTrue) {
  EXPECT_TRUE(jsonDelete(R"({"delete":true})"));
  EXPECT_FALSE(jsonDelete(R"({"delete":false})"));
  EXPECT_FALSE(jsonDelete(R"({"delete":"true"})"));
  EXPECT_FALSE(jsonDelete(R"({"delete":1})"));
  EXPECT_FALSE(jsonDelete("{}"));
  EXPECT_FALSE(jsonDelete(""));
  EXPECT_FALSE(jsonDelete("true"));
}

TEST(ApiAnswers, CadenceIsAnIntegerOfOneTwoFiveOrTen) {
  for (const char* body :
       {R"({"cadenceMinutes":1})", R"({"cadenceMinutes":2})", R"({"cadenceMinutes":5})", R"({"cadenceMinutes":10})"}) {
    EXPECT_TRUE(jsonCadenceMinutes(body).has_value()) << body;
  }
  EXPECT_EQ(jsonCadenceMinutes(R"({"cadenceMinutes":5,"delete":true})"), 5);
  for (const char* body :
       {R"({"cadenceMinutes":5.0})", R"({"cadenceMinutes":"5"})", R"({"cadenceMinutes":3})", R"({"cadenceMinutes":15})",
        R"({"cadenceMinutes":0})", R"({"cadenceMinutes":-5})", R"({"cadenceMinutes":18446744073709551615})",
        R"({"cadenceMinutes":true})", "{}", "not json", "5"}) {
    EXPECT_EQ(jsonCadenceMinutes(body), std::nullopt) << body;
  }
}

}  // namespace
}  // namespace ostrivel
