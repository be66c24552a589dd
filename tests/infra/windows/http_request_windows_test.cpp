// HttpRequestWindows against the local web API on loopback: answers whole or cut at the cap,
// redirects never followed, the deadline and the stop. infra_windows_test.sh starts the API and,
// beside it, a recorder where redirects point.
#include "infra/windows/http_request_windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

namespace ostrivel {
namespace {

using nlohmann::json;

std::string environment(const char* name) { return std::getenv(name) == nullptr ? "" : std::getenv(name); }

class HttpRequestWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (api.empty()) GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through infra_windows_test.sh";
    ASSERT_EQ(admin.del("admin/received", "").status, 200);
  }
  json received(HttpRequestWindows& server) {
    return json::parse(server.get("admin/received", "").body, nullptr, false);
  }
  void script(const std::string& path, const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", path}, {"answers", answers}}.dump(), "").status, 200);
  }
  const std::string api = environment("OSTRIVEL_TEST_API_URL");
  HttpRequestWindows admin{api};
};

TEST_F(HttpRequestWindowsTest, ARedirectIsTheAnswerAndALongAnswerIsCutAtTheCap) {
  HttpRequestWindows recorder(environment("OSTRIVEL_TEST_RECORDER_URL"));
  const json elsewhere = {{"Location", recorder.baseUrl() + "/serviceAccountToken"}};
  script("serviceAccountToken",
         json::array({json{{"status", 307}, {"headers", elsewhere}, {"body", "{}"}},
                      json{{"status", 308}, {"headers", elsewhere}}, json{{"status", 200}, {"bodyBytes", 1500000}}}));
  HttpRequestWindows http(api);
  EXPECT_EQ(http.post("serviceAccountToken", R"({"serviceAccountToken":"osv_secret"})", "").status, 307);
  EXPECT_EQ(http.post("serviceAccountToken", "{}", "sess_token").status, 308);
  // Neither the credential in the body nor the bearer token went on.
  EXPECT_EQ(received(recorder), json::array());
  const HttpResponse large = http.post("serviceAccountToken", "{}", "");
  EXPECT_EQ(large.status, 200);
  EXPECT_EQ(large.body.size(), 1000000u);
}

TEST_F(HttpRequestWindowsTest, ATrickledAnswerEndsAtItsDeadlineAndAStopCutsARequestShort) {
  // A minute of answer, each byte well within the receive time-out.
  const json trickled = {{"status", 200}, {"bodyBytes", 60}, {"trickleMs", 1000}};
  script("ingest", json::array({trickled, trickled}));
  using Clock = std::chrono::steady_clock;
  auto started = Clock::now();
  EXPECT_EQ(HttpRequestWindows(api, {}, std::chrono::seconds(3)).post("ingest", "{}", "").status, 0);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));

  std::stop_source stop;
  HttpRequestWindows stoppable(api, stop.get_token());
  std::jthread stopper([&] {
    while (received(admin).size() < 2) {  // the server has the request in hand
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop.request_stop();
  });
  started = Clock::now();
  EXPECT_EQ(stoppable.post("ingest", "{}", "").status, 0);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
  stopper.join();
  // Stopped for good: nothing more is sent.
  EXPECT_EQ(stoppable.post("ingest", "{}", "").status, 0);
  EXPECT_EQ(received(admin).size(), 2u);
}

}  // namespace
}  // namespace ostrivel
