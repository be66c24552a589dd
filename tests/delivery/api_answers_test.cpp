// The lenient readers of the server's answers: only the exact types count.
#include "delivery/api_answers.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(ApiAnswers, ReadOnlyMembersOfTheExactTypeFromAnObject) {
  EXPECT_EQ(jsonString(R"({"sessionJwt":"abc","error":"suspended"})", "error"), "suspended");
  for (const char* body : {R"({"error":42})", R"({"error":null})", R"(["error","x"])", "<html>404</html>", "",
                           R"({"error":"x")", R"({"sessionJwt":"abc"})"}) {
    EXPECT_EQ(jsonString(body, "error"), "") << body;
  }

  EXPECT_TRUE(jsonDelete(R"({"delete":true})"));
  for (const char* body : {R"({"delete":false})", R"({"delete":"true"})", R"({"delete":1})", "{}", "", "true"}) {
    EXPECT_FALSE(jsonDelete(body)) << body;
  }

  for (const int minutes : {1, 2, 5, 10}) {
    EXPECT_EQ(jsonCadenceMinutes(R"({"delete":true,"cadenceMinutes":)" + std::to_string(minutes) + "}"), minutes);
  }
  for (const char* body :
       {R"({"cadenceMinutes":5.0})", R"({"cadenceMinutes":"5"})", R"({"cadenceMinutes":3})", R"({"cadenceMinutes":15})",
        R"({"cadenceMinutes":0})", R"({"cadenceMinutes":-5})", R"({"cadenceMinutes":18446744073709551615})",
        R"({"cadenceMinutes":true})", "{}", "not json", "5"}) {
    EXPECT_EQ(jsonCadenceMinutes(body), std::nullopt) << body;
  }
}

TEST(ApiAnswers, AnAnswerNestedTooDeepHasNoMembersAndCrashesNothing) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  for (const std::string& body : {R"({"error":)" + deep + "}", R"({"delete":)" + deep + "}",
                                  R"({"error":"x","delete":true,"more":)" + deep + "}"}) {
    EXPECT_EQ(jsonString(body, "error"), "");
    EXPECT_FALSE(jsonDelete(body));
  }
  EXPECT_EQ(jsonString(R"({"more":[[{"a":[[]]}]],"error":"x"})", "error"), "x");
}

TEST(ApiAnswers, ServerTextForALogLineIsShortAndOnOneLine) {
  EXPECT_EQ(forLog("a\r\nb\tc\x7f\xC2\x85\xC2\xA0z"), "a??b?c??\xC2\xA0z");
  // 200 characters, not bytes, and never half of one.
  EXPECT_EQ(forLog(std::string(199, 'x') + "\xC3\xA9\xC3\xA9"), std::string(199, 'x') + "\xC3\xA9");
}

}  // namespace
}  // namespace ostrivel
