// The agent's only door to the web API: plain calls, and calls with a cached session token that
// is exchanged from the PC's credential and refreshed once when the server answers 401.
#include "delivery/api_client.h"

#include <nlohmann/json.hpp>

#include "delivery/api_answers.h"

namespace ostrivel {

namespace {

constexpr std::int32_t kOk = 200;
constexpr std::int32_t kUnauthorized = 401;

}  // namespace

ApiClient::ApiClient(HttpRequest& http, const Identity& identity, Logger& log)
    : http(http), identity(identity), log(log) {}

HttpResponse ApiClient::post(const std::string& path, const std::string& body) { return http.post(path, body, {}); }

HttpResponse ApiClient::get(const std::string& path) { return http.get(path, {}); }

HttpResponse ApiClient::del(const std::string& path) { return http.del(path, {}); }

AuthedResponse ApiClient::authedPost(const std::string& path, const std::string& body) {
  return call("POST", path, body);
}

AuthedResponse ApiClient::call(const std::string& method, const std::string& path, const std::string& body) {
  std::string token;
  {
    std::lock_guard lock(mutex);
    if (sessionJwt.empty()) {
      HttpResponse exchanged = exchangeSession();
      if (exchanged.status != kOk) {
        return {std::move(exchanged), true};
      }
    }
    token = sessionJwt;
  }
  // The request goes out without the lock, so a slow upload never blocks an exchange elsewhere.
  HttpResponse response = send(method, path, body, token);
  if (response.status != kUnauthorized) {
    return {std::move(response), false};
  }
  {
    std::lock_guard lock(mutex);
    if (!sessionJwt.empty() && sessionJwt != token) {
      token = sessionJwt;  // someone else refreshed while this request was out
    } else {
      sessionJwt.clear();
      HttpResponse exchanged = exchangeSession();
      if (exchanged.status != kOk) {
        return {std::move(exchanged), true};
      }
      token = sessionJwt;
    }
  }
  // One repeat only: a second 401 is the caller's to judge.
  return {send(method, path, body, token), false};
}

void ApiClient::dropSession() {
  std::lock_guard lock(mutex);
  sessionJwt.clear();
}

HttpResponse ApiClient::exchangeSession() {
  const nlohmann::json request{{"serviceAccountToken", identity.token}};
  // Compact, UTF-8 as is, and an invalid byte in the credential replaced rather than thrown on.
  HttpResponse answer =
      http.post("serviceAccountToken", request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), {});
  if (answer.status != kOk) {
    log.warn("[apis] serviceAccountToken -> " + std::to_string(answer.status));
    return answer;
  }
  std::string token = jsonString(answer.body, "sessionJwt");
  if (token.empty()) {
    log.warn("[apis] serviceAccountToken 200 without a sessionJwt");
    answer.status = 0;
    return answer;
  }
  sessionJwt = std::move(token);
  log.info("[apis] serviceAccountToken ok");
  return answer;
}

HttpResponse ApiClient::send(const std::string& method, const std::string& path, const std::string& body,
                             const std::string& token) {
  if (method == "GET") {
    return http.get(path, token);
  }
  if (method == "DELETE") {
    return http.del(path, token);
  }
  return http.post(path, body, token);
}

}  // namespace ostrivel
