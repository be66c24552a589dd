// The agent's only door to the web API: plain calls, and calls with a cached session token that
// is exchanged from the PC's credential and refreshed once when the server answers 401.
#pragma once

#include <mutex>
#include <string>

#include "enrolment/identity.h"
#include "infra/http_request.h"
#include "infra/logger.h"

namespace ostrivel {

// An authenticated call's answer. When the session exchange failed, its answer stands in for the
// request's, which was never sent: fromExchange tells the two apart.
struct AuthedResponse : HttpResponse {
  bool fromExchange = false;
};

// Never throws for an HTTP failure: status 0 stands for no usable answer. Safe to call from
// several threads: at most one exchange runs at a time, and a caller whose request was refused
// after another caller refreshed the session reuses that fresh token.
class ApiClient {
 public:
  // Only identity.token is read, afresh at each exchange.
  ApiClient(HttpRequest& http, const Identity& identity, Logger& log);
  ApiClient(const ApiClient&) = delete;
  ApiClient& operator=(const ApiClient&) = delete;

  // Without any Authorization header (enrolment).
  HttpResponse post(const std::string& path, const std::string& body);
  HttpResponse get(const std::string& path);
  HttpResponse del(const std::string& path);

  // With "Authorization: Bearer <session token>". A failed exchange is returned as the answer
  // (its status and body, fromExchange set); an exchange answered 200 without a token gives status 0.
  AuthedResponse authedPost(const std::string& path, const std::string& body);
  // method "GET", "DELETE" or anything else for POST (compared exactly).
  AuthedResponse call(const std::string& method, const std::string& path, const std::string& body);

  // Forgets the session token: the next call exchanges the credential again.
  void dropSession();

 private:
  HttpResponse exchangeSession();  // with the mutex held
  HttpResponse send(const std::string& method, const std::string& path, const std::string& body,
                    const std::string& token);

  HttpRequest& http;
  const Identity& identity;
  Logger& log;
  std::mutex mutex;
  std::string sessionJwt;
};

}  // namespace ostrivel
