// An HTTP request that answers from a script and records everything it was sent.
#include "support/scripted_http_request.h"

namespace ostrivel::testing {

void ScriptedHttpRequest::script(const std::string& path, std::vector<HttpResponse> scripted) {
  std::lock_guard lock(mutex);
  answers[path] = std::deque<HttpResponse>(scripted.begin(), scripted.end());
}

void ScriptedHttpRequest::setHandler(std::function<HttpResponse(const SentRequest&)> handlerIn) {
  std::lock_guard lock(mutex);
  handler = std::move(handlerIn);
}

std::vector<SentRequest> ScriptedHttpRequest::sent() const {
  std::lock_guard lock(mutex);
  return requests;
}

std::vector<SentRequest> ScriptedHttpRequest::sentTo(const std::string& path) const {
  std::lock_guard lock(mutex);
  std::vector<SentRequest> out;
  for (const auto& request : requests) {
    if (request.path == path) {
      out.push_back(request);
    }
  }
  return out;
}

HttpResponse ScriptedHttpRequest::send(const std::string& method, const std::string& url, const std::string& body,
                                       const std::string& token) {
  const std::string prefix = baseUrl() + "/";
  SentRequest request{method, url, url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : url, body, token};
  std::function<HttpResponse(const SentRequest&)> computed;
  {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    computed = handler;
    if (!computed) {
      auto& queue = answers[request.path];
      if (queue.empty()) {
        return HttpResponse{};
      }
      HttpResponse answer = queue.front();
      if (queue.size() > 1) {
        queue.pop_front();
      }
      return answer;
    }
  }
  return computed(request);
}

}  // namespace ostrivel::testing
