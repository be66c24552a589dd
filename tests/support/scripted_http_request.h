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
  void script(const std::string& path, std::vector<HttpResponse> scripted) {
    std::lock_guard lock(mutex);
    answers[path].assign(scripted.begin(), scripted.end());
  }
  // Answers computed per request; takes precedence over scripted answers when set.
  void setHandler(std::function<HttpResponse(const SentRequest&)> computed) {
    std::lock_guard lock(mutex);
    handler = std::move(computed);
  }

  // What was sent, to every path or to one.
  std::vector<SentRequest> sent(const std::string& path = {}) const {
    std::lock_guard lock(mutex);
    std::vector<SentRequest> out;
    for (const auto& request : requests) {
      if (path.empty() || request.path == path) out.push_back(request);
    }
    return out;
  }
  std::vector<SentRequest> sentTo(const std::string& path) const { return sent(path); }

  HttpResponse send(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& token) override {
    const std::string prefix = baseUrl() + "/";
    SentRequest request{method, url, url.starts_with(prefix) ? url.substr(prefix.size()) : url, body, token};
    std::unique_lock lock(mutex);
    requests.push_back(request);
    if (const auto computed = handler) {
      lock.unlock();
      return computed(request);
    }
    auto& queue = answers[request.path];
    const HttpResponse answer = queue.empty() ? HttpResponse{} : queue.front();
    if (queue.size() > 1) queue.pop_front();
    return answer;
  }

 private:
  mutable std::mutex mutex;
  std::map<std::string, std::deque<HttpResponse>> answers;
  std::function<HttpResponse(const SentRequest&)> handler;
  std::vector<SentRequest> requests;
};

}  // namespace ostrivel::testing
