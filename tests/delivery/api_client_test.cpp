// The session exchange, the bearer header, the one refresh on 401, the shared refresh, and which
// answers stand for a failed exchange.
#include "delivery/api_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

#include "support/recording_logger.h"
#include "support/scripted_http_request.h"

namespace ostrivel {
namespace {

HttpResponse ok(std::string body = "{}") { return {200, std::move(body)}; }
HttpResponse session(int n) { return ok(R"({"sessionJwt":"jwt-)" + std::to_string(n) + "\"}"); }

struct ClientRig {
  testing::ScriptedHttpRequest http{"https://api.test//"};
  Identity identity{"agent-1", "PC-1", "osv_sécret"};
  testing::RecordingLogger log;
  ApiClient api{http, identity, log};
};

TEST(ApiClient, ExchangesFirstWithoutAuthorizationThenSendsTheBearer) {
  ClientRig rig;
  rig.http.script("serviceAccountToken", {session(1)});
  rig.http.script("ingest", {ok()});
  EXPECT_EQ(rig.api.authedPost("ingest", "record one").status, 200);
  EXPECT_EQ(rig.api.authedPost("ingest", "record two").status, 200);
  // Plain calls never carry a token and never exchange; a dropped session is exchanged again.
  rig.api.get("register/n1");
  rig.api.del("register/n1");
  rig.api.post("register", "{}");
  rig.api.dropSession();
  rig.api.call("GET", "ingest", "ignored");

  const auto sent = rig.http.sent();
  ASSERT_EQ(sent.size(), 8u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].url, "https://api.test/serviceAccountToken");
  // Compact, with the credential's UTF-8 as it is.
  EXPECT_EQ(sent[0].body, "{\"serviceAccountToken\":\"osv_sécret\"}");
  EXPECT_EQ(sent[1].url, "https://api.test/ingest");
  EXPECT_EQ(sent[1].body, "record one");
  const std::string tokens[] = {"", "jwt-1", "jwt-1", "", "", "", "", "jwt-1"};
  const std::string methods[] = {"POST", "POST", "POST", "GET", "DELETE", "POST", "POST", "GET"};
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].token, tokens[i]) << i;
    EXPECT_EQ(sent[i].method, methods[i]) << i;
  }
  EXPECT_EQ(sent[5].body, "{}");
  EXPECT_EQ(sent[6].path, "serviceAccountToken");
  EXPECT_EQ(sent[7].body, "");
  EXPECT_EQ(rig.log.messages(),
            (std::vector<std::string>{"[apis] serviceAccountToken ok", "[apis] serviceAccountToken ok"}));
}

TEST(ApiClient, A401LeadsToExactlyOneNewExchangeAndOneRepeat) {
  ClientRig rig;
  rig.http.script("serviceAccountToken", {session(1), session(2)});
  rig.http.script("ingest", {{401, ""}, ok(R"({"delete":true})")});
  const HttpResponse answer = rig.api.authedPost("ingest", "r");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, R"({"delete":true})");
  auto ingests = rig.http.sentTo("ingest");
  ASSERT_EQ(ingests.size(), 2u);
  EXPECT_EQ(ingests[0].token, "jwt-1");
  EXPECT_EQ(ingests[1].token, "jwt-2");
  EXPECT_EQ(ingests[1].body, "r");

  // A second 401 after the refresh is the caller's answer: no further exchange.
  ClientRig twice;
  twice.http.script("serviceAccountToken", {session(1), session(2)});
  twice.http.script("ingest", {{401, R"({"error":"expired"})"}});
  const AuthedResponse refused = twice.api.authedPost("ingest", "r");
  EXPECT_EQ(refused.status, 401);
  EXPECT_FALSE(refused.fromExchange);
  EXPECT_EQ(refused.body, R"({"error":"expired"})");
  EXPECT_EQ(twice.http.sentTo("serviceAccountToken").size(), 2u);
  EXPECT_EQ(twice.http.sentTo("ingest").size(), 2u);
}

TEST(ApiClient, AFailedExchangeIsTheAnswerAndNothingIsSent) {
  ClientRig rig;
  rig.http.script("serviceAccountToken", {{403, R"({"error":"suspended"})"}});
  const AuthedResponse answer = rig.api.authedPost("ingest", "r");
  EXPECT_EQ(answer.status, 403);
  EXPECT_TRUE(answer.fromExchange);
  EXPECT_EQ(answer.body, R"({"error":"suspended"})");
  EXPECT_TRUE(rig.http.sentTo("ingest").empty());
  EXPECT_TRUE(rig.log.contains("[apis] serviceAccountToken -> 403"));

  // Transport failure at the exchange: status 0, logged with its 0.
  ClientRig offline;
  EXPECT_EQ(offline.api.authedPost("ingest", "r").status, 0);
  EXPECT_TRUE(offline.log.contains("[apis] serviceAccountToken -> 0"));

  // A refresh that fails after a 401 is returned in place of the repeat.
  ClientRig revoked;
  revoked.http.script("serviceAccountToken", {session(1), {401, "no"}});
  revoked.http.script("ingest", {{401, ""}});
  const AuthedResponse refresh = revoked.api.authedPost("ingest", "r");
  EXPECT_EQ(refresh.status, 401);
  EXPECT_TRUE(refresh.fromExchange);
  EXPECT_EQ(refresh.body, "no");
  EXPECT_EQ(revoked.http.sentTo("ingest").size(), 1u);

  // An exchange answered 200 without a session token is status 0 with the body.
  for (const char* body : {R"({"sessionJwt":""})", "<html>ok</html>", R"({"sessionJwt":7})", ""}) {
    ClientRig empty;
    empty.http.script("serviceAccountToken", {ok(body)});
    const HttpResponse noToken = empty.api.authedPost("ingest", "r");
    EXPECT_EQ(noToken.status, 0) << body;
    EXPECT_EQ(noToken.body, body);
    EXPECT_TRUE(empty.http.sentTo("ingest").empty());
    const auto lines = empty.log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, kLevelWarn);
    EXPECT_EQ(lines[0].message, "[apis] serviceAccountToken 200 without a sessionJwt");
    EXPECT_EQ(lines[0].stamp, "");
  }
}

TEST(ApiClient, TwoCallersRefusedTogetherShareOneRefresh) {
  ClientRig rig;
  std::atomic<int> exchanges{0};
  std::latch bothSentWithFirstToken(2);
  rig.http.setHandler([&](const testing::SentRequest& request) -> HttpResponse {
    if (request.path == "serviceAccountToken") {
      return session(++exchanges);
    }
    if (request.token == "jwt-1") {
      // Both requests are out with the first token before either is refused.
      bothSentWithFirstToken.arrive_and_wait();
      return {401, ""};
    }
    return ok();
  });
  HttpResponse first;
  HttpResponse second;
  {
    std::jthread a([&] { first = rig.api.authedPost("ingest", "a"); });
    std::jthread b([&] { second = rig.api.authedPost("ingest", "b"); });
  }
  EXPECT_EQ(first.status, 200);
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(exchanges.load(), 2);
  const auto ingests = rig.http.sentTo("ingest");
  ASSERT_EQ(ingests.size(), 4u);
  EXPECT_EQ(ingests[2].token, "jwt-2");
  EXPECT_EQ(ingests[3].token, "jwt-2");
}

}  // namespace
}  // namespace ostrivel
