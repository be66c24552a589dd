// The session exchange, the bearer, the one refresh on 401 and the refresh two callers share.
#include "delivery/api_client.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "support/recording_logger.h"
#include "support/scripted_http_request.h"

namespace ostrivel::testing {
namespace {

HttpResponse session(int n) { return {200, R"({"sessionJwt":"jwt-)" + std::to_string(n) + "\"}"}; }

TEST(ApiClient, ExchangesOnceSendsTheBearerAndRefreshesOnceOn401) {
  ScriptedHttpRequest http{"https://api.test//"};
  RecordingLogger log;
  const Identity identity{"agent-1", "PC-1", "osv_sécret"};
  ApiClient api{http, identity, log};
  http.script("serviceAccountToken", {session(1), session(2), {401, "no"}, {200, "{}"}});
  http.script("ingest", {{200, "one"}, {200, ""}, {401, ""}, {401, "expired"}, {401, ""}});
  EXPECT_EQ(api.authedPost("ingest", "a").body, "one");
  api.call("GET", "ingest", "ignored");
  const AuthedResponse twice = api.call("DELETE", "ingest", "");  // refused again after the refresh
  const AuthedResponse refused = api.authedPost("ingest", "b");   // the refresh itself is refused
  api.get("register/n");                                          // plain calls never carry a token and never exchange
  api.del("register/n");
  api.post("register", "{}");
  const AuthedResponse empty = api.authedPost("ingest", "c");  // an exchange answered 200 without a token
  EXPECT_EQ(twice.body + std::to_string(twice.fromExchange) + " " + refused.body +
                std::to_string(refused.fromExchange) + " " + std::to_string(empty.status) + empty.body,
            "expired0 no1 0{}");
  // The exchange is compact, with the credential's UTF-8 as it is.
  const std::string exchange = "POST serviceAccountToken  {\"serviceAccountToken\":\"osv_sécret\"}";
  std::vector<std::string> sent;
  for (const auto& request : http.sent()) {
    sent.push_back(request.method + " " + request.path + " " + request.token + " " + request.body);
  }
  EXPECT_EQ(sent,
            (std::vector<std::string>{exchange, "POST ingest jwt-1 a", "GET ingest jwt-1 ", "DELETE ingest jwt-1 ",
                                      exchange, "DELETE ingest jwt-2 ", "POST ingest jwt-2 b", exchange,
                                      "GET register/n  ", "DELETE register/n  ", "POST register  {}", exchange}));
  EXPECT_EQ(http.sent()[0].url, "https://api.test/serviceAccountToken");
  EXPECT_EQ(log.messages(), (std::vector<std::string>{"[apis] serviceAccountToken ok", "[apis] serviceAccountToken ok",
                                                      "[apis] serviceAccountToken -> 401",
                                                      "[apis] serviceAccountToken 200 without a sessionJwt"}));
}

TEST(ApiClient, TwoCallersRefusedTogetherShareOneRefresh) {
  ScriptedHttpRequest http;
  RecordingLogger log;
  const Identity identity;
  ApiClient api{http, identity, log};
  std::atomic<int> exchanges{0};
  std::latch bothOut(2);  // both requests are out with the first token before either is refused
  http.setHandler([&](const SentRequest& request) -> HttpResponse {
    if (request.path == "serviceAccountToken") {
      return session(++exchanges);
    }
    return request.token == "jwt-1" ? (bothOut.arrive_and_wait(), HttpResponse{401, ""})
                                    : HttpResponse{200, request.token};
  });
  HttpResponse first;
  HttpResponse second;
  {
    std::jthread a([&] { first = api.authedPost("ingest", "a"); });
    std::jthread b([&] { second = api.authedPost("ingest", "b"); });
  }
  EXPECT_EQ(first.body + second.body + std::to_string(exchanges.load()), "jwt-2jwt-22");
}

}  // namespace
}  // namespace ostrivel::testing
