// An HTTP request that answers from a script and records everything it was sent.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "infra/http_request.h"

namespace ostrivel::testing {

struct SentRequest {
  std::string method;
  std::string url;
  std::string path;  // the URL without the base and its "/"
  std::string body;
  std::string token;
};

class ScriptedHttpRequest : public HttpRequest {
 public:
  explicit ScriptedHttpRequest(std::string baseUrl = "https://api.test") : HttpRequest(std::move(baseUrl)) {}

  // Answers for a path, used in order; the last one repeats once the others are used up. Without
  // a script a path is answered status 0.
  void script(const std::string& path, std::vector<HttpResponse> answers);
  // Answers computed per request; takes precedence over scripted answers when set.
  void setHandler(std::function<HttpResponse(const SentRequest&)> handler);

  // What was sent, to every path or to one.
  std::vector<SentRequest> sent(const std::string& path = {}) const;
  std::vector<SentRequest> sentTo(const std::string& path) const { return sent(path); }

  HttpResponse send(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& token) override;

 private:
  mutable std::mutex mutex;
  std::map<std::string, std::deque<HttpResponse>> answers;
  std::function<HttpResponse(const SentRequest&)> handler;
  std::vector<SentRequest> requests;
};

}  // namespace ostrivel::testing
