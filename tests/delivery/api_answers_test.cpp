// The lenient readers of the server's answers, and its text as a log line may carry it.
#include "delivery/api_answers.h"

#include <gtest/gtest.h>

namespace ostrivel {
namespace {

TEST(ApiAnswers, OnlyMembersOfTheExactTypeInAnObjectNestedAtMostSixteenDeepCount) {
  for (const char* body : {R"({"error":42})", R"(["error","x"])", "<html>404</html>", R"({"error":"x")"}) {
    EXPECT_EQ(jsonString(body, "error"), "") << body;
  }
  // Brackets nested far deeper than any answer once ended the agent on a stack overflow.
  for (const int depth : {15, 16, 100000}) {
    const std::string body = R"({"error":"x","more":)" + std::string(depth, '[') + "1" + std::string(depth, ']') + "}";
    EXPECT_EQ(jsonString(body, "error"), depth < 16 ? "x" : "") << depth;
  }
  EXPECT_TRUE(jsonDelete(R"({"delete":true})"));
  EXPECT_FALSE(jsonDelete(R"({"delete":"true"})") || jsonDelete("{}") || jsonDelete("true"));
  for (const int minutes : {1, 2, 5, 10}) {
    EXPECT_EQ(jsonCadenceMinutes(R"({"cadenceMinutes":)" + std::to_string(minutes) + "}"), minutes);
  }
  for (const char* cadence : {"5.0", "\"5\"", "3", "0", "-5"}) {
    EXPECT_EQ(jsonCadenceMinutes(std::string(R"({"cadenceMinutes":)") + cadence + "}"), std::nullopt) << cadence;
  }
  // At most 200 characters, never half of one (a 3-byte, a 4-byte and a stray continuation byte), no control.
  EXPECT_EQ(forLog("a\r\nb\tc\x7f\xC2\x85\xC2\xA0z"), "a??b?c??\xC2\xA0z");
  const std::string text = std::string(196, 'x') + "\xE0\xA4\x85\xF0\x9F\x98\x80\x80";
  EXPECT_EQ(forLog(text + "yz"), text + "y");
}

}  // namespace
}  // namespace ostrivel
