// The local web API driven over HTTP as the Wine tests drive it: enrolment, exchange, ingest,
// refusals, scripted answers and the request list (the upload Wine test restarts it over its state).
#include "api_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "support/temp_directory.h"

namespace ostrivel::api {
namespace {

// A server on a free loopback port, served from a thread of its own. Every request carries the
// session last handed out; "{name}" in a path, body or expected answer stands for what an earlier
// answer held under that name (nonce, secret, agentId, sessionJwt).
struct RunningServer {
  explicit RunningServer(const std::filesystem::path& state, AccountOptions account = {})
      : server(ServerOptions{0, state, account}, log), client("127.0.0.1", server.bind()) {}
  ~RunningServer() {
    server.stop();
    serving.join();
  }
  std::string fill(std::string text) {
    for (const auto& [name, value] : held) {
      for (auto at = text.find("{" + name + "}"); at != std::string::npos; at = text.find("{" + name + "}")) {
        text.replace(at, name.size() + 2, value);
      }
    }
    return text;
  }
  std::pair<int, std::string> call(const std::string& method, const std::string& pathIn, const std::string& bodyIn) {
    const std::string path = fill(pathIn), body = fill(bodyIn);
    const httplib::Headers headers{{"Authorization", "Bearer " + held["sessionJwt"]}};
    const auto result = method == "GET"      ? client.Get(path, headers)
                        : method == "DELETE" ? client.Delete(path, headers, body, "application/json")
                                             : client.Post(path, headers, body, "application/json");
    const auto answer = nlohmann::json::parse(result ? result->body : "", nullptr, false);
    for (const char* name : {"nonce", "secret", "agentId", "sessionJwt"}) {
      if (answer.is_object() && answer.value(name, "") != "") {
        held[name] = answer[name];
      }
    }
    return result ? std::pair{result->status, result->body} : std::pair{0, std::string()};
  }

  std::ostringstream log;
  ApiServer server;
  httplib::Client client;
  std::jthread serving{[this] { server.run(); }};
  std::map<std::string, std::string> held;
};

TEST(ApiServer, AnswersAnAgentThroughItsAccountsChanges) {
  testing::TempDirectory state;
  const std::string record = "{\"kind\":\"days\",\n\t\"x\":\"\xc3\xa9\"}";
  const std::string exchange = R"({"serviceAccountToken":"{secret}"})";
  const struct {
    std::string method, path, body;
    int status;
    std::string answer;  // a part of it
  } steps[] = {
      {"POST", "/register", R"({"computerName":"PC-1"})", 200, "nonce"},
      {"GET", "/register/{nonce}", "", 202, ""},
      {"POST", "/admin/approve", R"({"nonce":"{nonce}"})", 200, "approved"},
      {"GET", "/register/{nonce}", "", 200, R"("secret":"osv_)"},
      {"DELETE", "/register/{nonce}", "", 200, ""},
      {"POST", "/serviceAccountToken", R"({"serviceAccountToken":"osv_unknown"})", 401, ""},
      {"POST", "/serviceAccountToken", exchange, 200, "sessionJwt"},
      {"POST", "/ingest", record, 200, R"({"cadenceMinutes":5,"delete":true,"ok":true,"record":"000001.json"})"},
      {"GET", "/admin/records", "", 200, nlohmann::json(record).dump()},
      {"POST", "/admin/expireSessions", "", 200, ""},
      {"POST", "/ingest", "{}", 401, R"({"error":"session expired"})"},
      {"POST", "/serviceAccountToken", exchange, 200, "sessionJwt"},
      // Scripted answers come first; one with a delay only holds the real answer back.
      {"POST", "/admin/script", R"({"path":"ingest","answers":[{"status":503,"count":2},{"status":200,"bodyBytes":4},
        {"delayMs":1}]})",
       200, ""},
      {"POST", "/ingest", "{}", 503, ""},
      {"POST", "/ingest", "{}", 503, ""},
      {"POST", "/ingest", "{}", 200, "0123"},
      {"POST", "/ingest", "{}", 200, "000002.json"},
      {"GET", "/admin/received?path=ingest", "", 200, R"("Authorization":"Bearer {sessionJwt}")"},
      // A revoked credential is refused at the exchange; a PC that says which agent it was keeps it.
      {"POST", "/admin/revoke", R"({"agentId":"{agentId}"})", 200, R"("matched":1)"},
      {"POST", "/serviceAccountToken", exchange, 403, R"({"error":"revoked"})"},
      {"POST", "/admin/options", R"({"autoApprove":true})", 200, ""},
      {"POST", "/register", R"({"computerName":"PC-1","previousAgentId":"{agentId}"})", 200, "nonce"},
      {"GET", "/register/{nonce}", "", 202, ""},
      {"GET", "/register/{nonce}", "", 200, R"({"agentId":"{agentId}","secret":"osv_)"},
  };
  RunningServer api(state.path(), AccountOptions{false, 3600, 5, true});
  for (const auto& step : steps) {
    const std::string expected = api.fill(step.answer);
    const auto [status, answer] = api.call(step.method, step.path, step.body);
    EXPECT_EQ(status, step.status) << step.method << " " << step.path << " " << step.body.substr(0, 80);
    EXPECT_NE(answer.find(expected), std::string::npos) << step.path << ": " << answer;
  }
}

}  // namespace
}  // namespace ostrivel::api
