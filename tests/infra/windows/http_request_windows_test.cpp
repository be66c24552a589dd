// HttpRequestWindows against the local web API on loopback: headers, URL joining, whole and
// capped bodies, redirects not followed, the deadline and the stop, and status 0 for every
// failure. Run by wine/http_request_windows_test.sh.
#include "infra/windows/http_request_windows.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <thread>

namespace ostrivel {
namespace {

using nlohmann::json;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}
std::string apiUrl() { return environment("OSTRIVEL_TEST_API_URL"); }
// A second local web API on another port: it records whatever reaches it.
std::string recorderUrl() { return environment("OSTRIVEL_TEST_RECORDER_URL"); }

class HttpRequestWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (apiUrl().empty()) {
      GTEST_SKIP() << "OSTRIVEL_TEST_API_URL is not set: run through http_request_windows_test.sh";
    }
    ASSERT_EQ(admin.del("admin/received", "").status, 200);
    ASSERT_EQ(admin.del("admin/script", "").status, 200);
  }

  json received(const std::string& path) {
    return json::parse(admin.get("admin/received?path=" + path, "").body, nullptr, false);
  }
  void script(const std::string& path, const json& answers) {
    ASSERT_EQ(admin.post("admin/script", json{{"path", path}, {"answers", answers}}.dump(), "").status, 200);
  }

  HttpRequestWindows admin{apiUrl()};
};

TEST_F(HttpRequestWindowsTest, SendsContentTypeAlwaysAndTheBearerOnlyWithAToken) {
  HttpRequestWindows http(apiUrl() + "///");
  EXPECT_EQ(http.baseUrl(), apiUrl());
  const HttpResponse get = http.get("ingest", "");
  EXPECT_EQ(get.status, 405);
  EXPECT_EQ(json::parse(get.body, nullptr, false).value("error", ""), "method not allowed");
  EXPECT_EQ(http.post("ingest", "{\"n\":1}", "sess_\xc3\xa9").status, 401);
  EXPECT_EQ(http.del("ingest", "").status, 405);

  const json list = received("ingest");
  ASSERT_EQ(list.size(), 3u) << list.dump();
  for (const auto& entry : list) {
    // One "/" between the base and the path, however many the base ended with.
    EXPECT_EQ(entry["path"], "/ingest");
    EXPECT_EQ(entry["headers"].value("Content-Type", ""), "application/json") << entry.dump();
    EXPECT_EQ(entry["headers"].value("User-Agent", ""), "Ostrivel/2.0");
  }
  EXPECT_EQ(list[0]["method"], "GET");
  EXPECT_FALSE(list[0]["headers"].contains("Authorization"));
  EXPECT_EQ(list[0]["body"], "");
  EXPECT_EQ(list[1]["method"], "POST");
  EXPECT_EQ(list[1]["headers"].value("Authorization", ""), "Bearer sess_\xc3\xa9");
  EXPECT_EQ(list[1]["body"], "{\"n\":1}");
  EXPECT_EQ(list[2]["method"], "DELETE");
  EXPECT_FALSE(list[2]["headers"].contains("Authorization"));
  // Calls in a row ride one kept-alive connection.
  EXPECT_EQ(list[0]["connection"], list[2]["connection"]);
}

TEST_F(HttpRequestWindowsTest, ReturnsErrorPagesWholeAndLongAnswersCutAtTheCap) {
  const std::string page = "<html><body><h1>404 Not Found</h1>\r\n" + std::string(5000, 'x') + "</body></html>";
  script("ingest", json::array({json{{"status", 404}, {"body", page}, {"contentType", "text/html"}},
                                json{{"status", 200}, {"bodyBytes", 1500000}}, json{{"status", 503}, {"body", ""}}}));
  HttpRequestWindows http(apiUrl());
  const HttpResponse notFound = http.post("ingest", "{}", "");
  EXPECT_EQ(notFound.status, 404);
  EXPECT_EQ(notFound.body, page);

  const HttpResponse large = http.post("ingest", "{}", "");
  EXPECT_EQ(large.status, 200);
  ASSERT_EQ(large.body.size(), 1000000u);
  EXPECT_EQ(large.body.substr(0, 12), "012345678901");
  EXPECT_EQ(large.body.substr(999990), "0123456789");

  // The connection cut short above does not spoil the next request.
  const HttpResponse empty = http.post("ingest", "{}", "");
  EXPECT_EQ(empty.status, 503);
  EXPECT_EQ(empty.body, "");
}

TEST_F(HttpRequestWindowsTest, EveryFailureIsStatusZeroWithAnEmptyBody) {
  for (const std::string& url : {std::string("http://127.0.0.1:1"), std::string("not a url"),
                                 "http://" + std::string(300, 'h') + ".test", std::string("")}) {
    HttpRequestWindows http(url);
    const HttpResponse answer = http.post("ingest", "{}", "token");
    EXPECT_EQ(answer.status, 0) << url;
    EXPECT_EQ(answer.body, "") << url;
  }
  HttpRequestWindows http(apiUrl());
  EXPECT_EQ(http.get(std::string(3000, 'p'), "").status, 0);  // a path longer than WinHTTP takes
}

TEST_F(HttpRequestWindowsTest, AnAnswerSlowerThanTheReceiveTimeOutIsStatusZero) {
  script("ingest", json::array({json{{"status", 200}, {"body", "{\"late\":true}"}, {"delayMs", 20000}}}));
  HttpRequestWindows http(apiUrl());
  // The answer would come after 20 s: a status 0 means the wait ended before.
  const HttpResponse answer = http.post("ingest", "{}", "");
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.body, "");
}

TEST_F(HttpRequestWindowsTest, ARedirectIsTheAnswerAndNothingReachesWhereItPoints) {
  HttpRequestWindows recorder(recorderUrl());
  ASSERT_EQ(recorder.del("admin/received", "").status, 200);
  const json elsewhere = {{"Location", recorderUrl() + "/serviceAccountToken"}};
  script("serviceAccountToken", json::array({json{{"status", 307}, {"headers", elsewhere}, {"body", "{}"}},
                                             json{{"status", 308}, {"headers", elsewhere}}}));
  HttpRequestWindows http(apiUrl());
  EXPECT_EQ(http.post("serviceAccountToken", R"({"serviceAccountToken":"osv_secret"})", "").status, 307);
  EXPECT_EQ(http.post("serviceAccountToken", "{}", "sess_token").status, 308);
  // Neither the credential in the body nor the bearer token went on.
  EXPECT_EQ(json::parse(recorder.get("admin/received", "").body, nullptr, false), json::array());
}

TEST_F(HttpRequestWindowsTest, ATrickledAnswerEndsAtItsDeadlineAndAStopCutsARequestShort) {
  // A minute of answer, each byte well within the receive time-out.
  const json trickled = {{"status", 200}, {"bodyBytes", 60}, {"trickleMs", 1000}};
  script("ingest", json::array({trickled, trickled}));
  using Clock = std::chrono::steady_clock;
  HttpRequestWindows http(apiUrl(), {}, std::chrono::seconds(3));
  auto started = Clock::now();
  EXPECT_EQ(http.post("ingest", "{}", "").status, 0);
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));

  std::stop_source stop;
  HttpRequestWindows stoppable(apiUrl(), stop.get_token());
  std::jthread stopper([&] {
    while (received("ingest").size() < 2) {  // the server has the request in hand
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
  EXPECT_EQ(received("ingest").size(), 2u);
}

}  // namespace
}  // namespace ostrivel
