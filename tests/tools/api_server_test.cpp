// The local web API driven over HTTP: enrolment, exchange, ingest, bad input, scripts, persistence.
#include "api_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "support/temp_directory.h"

namespace ostrivel::api {
namespace {

using nlohmann::json;

// A server on a free loopback port, served from a thread of its own.
class RunningServer {
 public:
  explicit RunningServer(const std::filesystem::path& state, AccountOptions account = {},
                         std::size_t receivedLimit = ServerOptions{}.receivedLimit)
      : server(ServerOptions{0, state, account, receivedLimit}, log), port(server.bind()), client("127.0.0.1", port) {
    serving = std::jthread([this] { server.run(); });
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
  }
  ~RunningServer() { stop(); }

  void stop() {
    if (serving.joinable()) {
      server.stop();
      serving.join();
    }
  }

  struct Reply {
    int status = 0;
    json body;
    std::string text;
  };

  Reply call(const std::string& method, const std::string& path, const std::string& body = {},
             const std::string& token = {}) {
    httplib::Headers headers;
    if (!token.empty()) {
      headers.emplace("Authorization", "Bearer " + token);
    }
    httplib::Result result = method == "GET"      ? client.Get(path, headers)
                             : method == "DELETE" ? client.Delete(path, headers, body, "application/json")
                                                  : client.Post(path, headers, body, "application/json");
    if (!result) {
      return {};
    }
    return {result->status, json::parse(result->body, nullptr, false), result->body};
  }
  json admin(const std::string& method, const std::string& path, const json& body = json::object()) {
    return call(method, "/admin/" + path, body.dump()).body;
  }
  std::string sessionFor(const std::string& secret) {
    return call("POST", "/serviceAccountToken", json{{"serviceAccountToken", secret}}.dump())
        .body.value("sessionJwt", "");
  }

  std::ostringstream log;  // written under the server's lock, read after it stopped
  ApiServer server;
  int port;
  httplib::Client client;
  std::jthread serving;
};

TEST(ApiServer, RegistrationIsPolledApprovedClaimedAndReleased) {
  testing::TempDirectory state;
  RunningServer api(state.path());
  ASSERT_GT(api.port, 0);
  const auto registered = api.call("POST", "/register", R"({"computerName":"PC-1","agentVersion":"2026.1.0.10"})");
  ASSERT_EQ(registered.status, 200);
  const std::string nonce = registered.body.value("nonce", "");
  ASSERT_FALSE(nonce.empty());

  EXPECT_EQ(api.call("GET", "/register/" + nonce).status, 202);
  EXPECT_EQ(api.call("GET", "/register/unknown").status, 404);
  EXPECT_EQ(api.admin("POST", "approve", {{"nonce", nonce}})["approved"], json::array({nonce}));
  const auto claim = api.call("GET", "/register/" + nonce);
  ASSERT_EQ(claim.status, 200);
  const std::string secret = claim.body.value("secret", "");
  EXPECT_EQ(secret.rfind("osv_", 0), 0u);
  EXPECT_EQ(secret.find_first_not_of("osv_0123456789abcdef"), std::string::npos);
  EXPECT_FALSE(claim.body.value("tokenId", "").empty());
  const std::string agentId = claim.body.value("agentId", "");
  EXPECT_FALSE(agentId.empty());
  // A claim whose credential the account forgot is gone, as a released one is.
  api.admin("POST", "revoke", {{"agentId", agentId}, {"forget", true}});
  EXPECT_EQ(api.call("GET", "/register/" + nonce).status, 410);
  EXPECT_EQ(api.call("DELETE", "/register/" + nonce).status, 200);
  EXPECT_EQ(api.call("GET", "/register/" + nonce).status, 410);
  EXPECT_EQ(api.call("DELETE", "/register/unknown").status, 404);

  // With auto-approval the first poll answers 202 and the second carries the claim; a PC that
  // says which agent it was keeps that agent.
  api.admin("POST", "options", {{"autoApprove", true}});
  const std::string again =
      api.call("POST", "/register", json{{"computerName", "PC-1"}, {"previousAgentId", agentId}}.dump()).body["nonce"];
  EXPECT_EQ(api.call("GET", "/register/" + again).status, 202);
  const auto reclaimed = api.call("GET", "/register/" + again);
  EXPECT_EQ(reclaimed.status, 200);
  EXPECT_EQ(reclaimed.body.value("agentId", ""), agentId);
  EXPECT_NE(reclaimed.body.value("secret", ""), secret);
}

TEST(ApiServer, SessionsAreExchangedAndRecordsStoredAsReceived) {
  testing::TempDirectory state;
  RunningServer api(state.path(), AccountOptions{false, 3600, 5, true});
  const json credential = api.admin("POST", "credential", {{"name", "PC-2"}});
  const std::string secret = credential["secret"];
  const std::string agentId = credential["agentId"];

  EXPECT_EQ(api.call("POST", "/serviceAccountToken", R"({"serviceAccountToken":"osv_unknown"})").status, 401);
  const std::string session = api.sessionFor(secret);
  ASSERT_FALSE(session.empty());

  const std::string record = "{\"kind\":\"days\",\n\t\"x\":\"\xc3\xa9\"}";
  const auto stored = api.call("POST", "/ingest", record, session);
  EXPECT_EQ(stored.status, 200);
  EXPECT_EQ(stored.body["cadenceMinutes"], 5);
  EXPECT_EQ(stored.body["delete"], true);
  std::ifstream file(state.path() / "records" / agentId / "000001.json", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), record);
  EXPECT_EQ(api.admin("GET", "records")[0]["body"], record);

  EXPECT_EQ(api.call("POST", "/ingest", "{}").status, 401);
  EXPECT_EQ(api.call("POST", "/ingest", "{}", "sess_forged").status, 401);

  // Suspension answers 403 "suspended" at both doors; lifting it lets the same session in.
  api.admin("POST", "suspend");
  EXPECT_EQ(api.call("POST", "/ingest", "{}", session).body["error"], "suspended");
  EXPECT_EQ(api.call("POST", "/serviceAccountToken", json{{"serviceAccountToken", secret}}.dump()).body["error"],
            "suspended");
  api.admin("POST", "suspend", {{"suspended", false}});
  EXPECT_EQ(api.call("POST", "/ingest", "{}", session).status, 200);

  // Expired sessions get 401 and a fresh exchange works again.
  EXPECT_EQ(api.admin("POST", "expireSessions")["expired"], 1);
  EXPECT_EQ(api.call("POST", "/ingest", "{}", session).body["error"], "session expired");
  const std::string fresh = api.sessionFor(secret);
  EXPECT_EQ(api.call("POST", "/ingest", "{}", fresh).status, 200);

  // A revoked credential: its session is refused, the exchange says why.
  EXPECT_EQ(api.admin("POST", "revoke", {{"agentId", agentId}})["matched"], 1);
  EXPECT_EQ(api.call("POST", "/ingest", "{}", fresh).status, 401);
  const auto revoked = api.call("POST", "/serviceAccountToken", json{{"serviceAccountToken", secret}}.dump());
  EXPECT_EQ(revoked.status, 403);
  EXPECT_EQ(revoked.body["error"], "revoked");
  api.admin("POST", "revoke", {{"secret", secret}, {"forget", true}});
  EXPECT_EQ(api.call("POST", "/serviceAccountToken", json{{"serviceAccountToken", secret}}.dump()).status, 401);

  // A session that lives zero seconds is expired when used.
  api.admin("POST", "options", {{"sessionLifetimeSeconds", 0}});
  const std::string brief = api.sessionFor(api.admin("POST", "credential")["secret"]);
  EXPECT_EQ(api.call("POST", "/ingest", "{}", brief).status, 401);
}

TEST(ApiServer, BadInputGets400WithAnErrorAndTheServerCarriesOn) {
  testing::TempDirectory state;
  RunningServer api(state.path());
  const std::string session = api.sessionFor(api.admin("POST", "credential")["secret"]);
  const std::pair<std::string, std::string> bad[] = {
      {"/register", "{\"computerName\":"},
      {"/register", "[]"},
      {"/register", R"({"agentVersion":"1"})"},
      {"/register", R"({"computerName":"PC","previousAgentId":7})"},
      {"/serviceAccountToken", "{}"},
      {"/serviceAccountToken", R"({"serviceAccountToken":42})"},
      {"/serviceAccountToken", "\xff\xfe"},
      {"/admin/script", R"({"path":"ingest","answers":[{"status":"503"}]})"},
      {"/admin/script", R"({"path":"ingest"})"},
      {"/admin/options", R"({"cadenceMinutes":"5"})"},
      {"/admin/approve", "not json"},
      {"/admin/credential", R"({"agentId":"/tmp/outside"})"},
      {"/admin/credential", R"({"agentId":"../up"})"},
      {"/admin/credential", R"({"agentId":"a b"})"},
  };
  for (const auto& [path, body] : bad) {
    const auto reply = api.call("POST", path, body);
    EXPECT_EQ(reply.status, 400) << path << " " << body;
    EXPECT_TRUE(reply.body.contains("error")) << reply.text;
  }
  EXPECT_EQ(api.call("POST", "/ingest", "{\"a\":", session).body["error"], "malformed JSON");
  const auto huge = api.call("POST", "/ingest", std::string(1000001, ' '), session);
  EXPECT_EQ(huge.status, 400);
  EXPECT_EQ(huge.body["error"], "body over 1000000 bytes");
  EXPECT_EQ(api.call("POST", "/ingest", std::string(1000000 - 2, ' ') + "{}", session).status, 200);
  EXPECT_EQ(api.call("GET", "/nowhere").status, 404);
  EXPECT_EQ(api.call("GET", "/ingest").status, 405);
  EXPECT_EQ(api.call("GET", "/admin/nowhere").status, 404);
  EXPECT_EQ(api.call("POST", "/register", R"({"computerName":"PC"})").status, 200);
}

TEST(ApiServer, ScriptedAnswersComeFirstAndEveryRequestIsListed) {
  testing::TempDirectory state;
  RunningServer api(state.path());
  const std::string session = api.sessionFor(api.admin("POST", "credential")["secret"]);
  api.admin("DELETE", "received");
  api.admin("POST", "script",
            {{"path", "ingest"},
             {"answers",
              json::array({json{{"status", 503}, {"count", 2}}, json{{"status", 404}, {"body", "<html>gone</html>"}},
                           json{{"status", 200}, {"bodyBytes", 12}}, json{{"delayMs", 1}}})}});
  EXPECT_EQ(api.call("POST", "/ingest", "{\"n\":1}", session).status, 503);
  EXPECT_EQ(api.call("POST", "/ingest", "{\"n\":2}", session).status, 503);
  const auto html = api.call("POST", "/ingest", "{\"n\":3}", session);
  EXPECT_EQ(html.status, 404);
  EXPECT_EQ(html.text, "<html>gone</html>");
  EXPECT_EQ(api.call("POST", "/ingest", "{\"n\":4}", session).text, "012345678901");
  EXPECT_EQ(api.call("POST", "/ingest", "{\"n\":5}", session).body["ok"], true);  // the delay only
  EXPECT_EQ(api.call("POST", "/ingest", "{\"n\":6}", session).body["ok"], true);
  EXPECT_EQ(api.admin("GET", "records").size(), 2u);

  api.admin("POST", "script", {{"path", "register/*"}, {"answers", json::array({json{{"status", 410}}})}});
  EXPECT_EQ(api.call("GET", "/register/abc").status, 410);
  EXPECT_EQ(api.call("GET", "/register/abc").status, 404);

  const json received = api.call("GET", "/admin/received?path=ingest").body;
  ASSERT_EQ(received.size(), 6u);
  EXPECT_EQ(received[0]["method"], "POST");
  EXPECT_EQ(received[0]["path"], "/ingest");
  EXPECT_EQ(received[0]["body"], "{\"n\":1}");
  EXPECT_EQ(received[0]["status"], 503);
  EXPECT_EQ(received[0]["headers"]["Authorization"], "Bearer " + session);
  EXPECT_EQ(received[0]["headers"]["Content-Type"], "application/json");
  EXPECT_FALSE(received[0]["headers"].contains("REMOTE_ADDR"));
  // One keep-alive client: every request came over the same connection.
  const json stats = api.admin("GET", "stats");
  EXPECT_EQ(stats["requests"], 8);
  EXPECT_EQ(stats["connections"], 1);
  EXPECT_EQ(stats["records"], 2);
}

TEST(ApiServer, OldRequestsAndExpiredSessionsAreForgotten) {
  testing::TempDirectory state;
  RunningServer api(state.path(), {}, 2);
  const std::string secret = api.admin("POST", "credential", {{"agentId", "PC-7_b"}})["secret"];
  api.sessionFor(secret);
  api.admin("POST", "expireSessions");
  const std::string session = api.sessionFor(secret);
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(api.call("POST", "/ingest", json{{"n", n}}.dump(), session).status, 200);
  }
  const json received = api.admin("GET", "received");
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(received[0]["body"], R"({"n":2})");
  const json stats = api.admin("GET", "stats");
  EXPECT_EQ(stats["requests"], 5);
  EXPECT_EQ(stats["sessions"], 1);
  EXPECT_TRUE(std::filesystem::exists(state.path() / "records" / "PC-7_b" / "000003.json"));
}

TEST(ApiServer, TheDashboardListsEachPcWithItsStateAndShowsOneDay) {
  testing::TempDirectory state;
  RunningServer api(state.path());
  EXPECT_NE(api.call("GET", "/").text.find(R"(<script src="/dashboard.js"></script>)"), std::string::npos);
  EXPECT_EQ(api.call("GET", "/dashboard.js").status, 200);
  const std::string active = api.admin("POST", "credential", {{"agentId", "pc-a"}, {"name", "A"}})["secret"];
  const std::string paused = api.admin("POST", "credential", {{"agentId", "pc-b"}})["secret"];
  api.admin("POST", "credential", {{"agentId", "pc-c"}});
  api.call("POST", "/register", R"({"computerName":"PC-new"})");
  const std::string days =
      R"({"kind":"days","date":"20260105","start":1767571200000,"end":1767571800000,"samples":10,"apps":{"c":30}})";
  EXPECT_EQ(api.call("POST", "/ingest", days, api.sessionFor(active)).status, 200);
  api.admin("POST", "suspend", {{"agentId", "pc-b"}});
  EXPECT_EQ(api.call("POST", "/serviceAccountToken", json{{"serviceAccountToken", paused}}.dump()).body["error"],
            "suspended");
  api.admin("POST", "revoke", {{"agentId", "pc-c"}});
  EXPECT_EQ(api.call("POST", "/admin/suspend", R"({"agentId":"nobody"})").status, 404);

  const json overview = api.admin("GET", "agents");
  std::string states;
  for (const auto& pc : overview["agents"]) {
    states += pc["agentId"].get<std::string>() + "=" + pc["state"].get<std::string>() + " ";
  }
  EXPECT_EQ(states, "pc-a=active pc-b=suspended pc-c=revoked ");
  EXPECT_TRUE(overview["agents"][0].contains("lastUploadMs"));
  EXPECT_EQ(overview["pending"][0]["computerName"], "PC-new");
  const json day = api.admin("GET", "day?agentId=pc-a");
  EXPECT_EQ(day["apps"][0], (json{{"name", "c"}, {"cpuMinutes", 3.0}}));
  EXPECT_EQ(api.call("GET", "/admin/day?agentId=..%2Fpc-a").status, 400);
  EXPECT_EQ(api.admin("GET", "stats")["requests"], 4);  // the dashboard's own requests are not the agents'
}

TEST(ApiServer, ARestartedServerKnowsItsCredentialsAndKeepsNumberingRecords) {
  testing::TempDirectory state;
  std::string secret;
  std::string agentId;
  {
    RunningServer first(state.path());
    const json credential = first.admin("POST", "credential");
    secret = credential["secret"];
    agentId = credential["agentId"];
    EXPECT_EQ(first.call("POST", "/ingest", "{\"n\":1}", first.sessionFor(secret)).status, 200);
  }
  RunningServer second(state.path());
  const std::string session = second.sessionFor(secret);
  ASSERT_FALSE(session.empty());
  EXPECT_EQ(second.call("POST", "/ingest", "{\"n\":2}", session).body["record"], "000002.json");
  EXPECT_TRUE(std::filesystem::exists(state.path() / "records" / agentId / "000001.json"));
  second.stop();  // request lines are written after the answer went out
  EXPECT_NE(second.log.str().find("POST /ingest -> 200 (7 bytes in,"), std::string::npos) << second.log.str();
}

}  // namespace
}  // namespace ostrivel::api
