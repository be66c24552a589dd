// One HTTP request with an optional JSON body and bearer token, and the API base URL it is sent to.
#pragma once

#include <cstdint>
#include <string>

namespace ostrivel {

struct HttpResponse {
  std::int32_t status = 0;  // 0 when no HTTP answer was obtained
  std::string body;         // as received, empty on failure
};

// Contract for send: never throws; every failure (resolve, connect, time-out, malformed URL)
// is status 0 with an empty body. An empty token sends no Authorization header. Every request
// carries "Content-Type: application/json". May be called from several threads at once.
class HttpRequest {
 public:
  // Every trailing "/" of the base URL is removed.
  explicit HttpRequest(std::string baseUrl);
  virtual ~HttpRequest() = default;

  virtual HttpResponse send(const std::string& method, const std::string& url, const std::string& body,
                            const std::string& token) = 0;

  // The path is joined to the base URL with one "/" and otherwise sent unchanged.
  HttpResponse get(const std::string& path, const std::string& token);
  HttpResponse post(const std::string& path, const std::string& body, const std::string& token);
  HttpResponse del(const std::string& path, const std::string& token);

  const std::string& baseUrl() const { return base; }

 private:
  std::string base;
};

}  // namespace ostrivel
