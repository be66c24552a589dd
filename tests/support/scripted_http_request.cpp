// An HTTP request that answers from a script and records everything it was sent.
#include "support/scripted_http_request.h"

#include <algorithm>

namespace ostrivel::testing {

void ScriptedHttpRequest::script(const std::string& path, std::vector<HttpResponse> scripted) {
  std::lock_guard lock(mutex);
  answers[path].assign(scripted.begin(), scripted.end());
}

void ScriptedHttpRequest::setHandler(std::function<HttpResponse(const SentRequest&)> handlerIn) {
  std::lock_guard lock(mutex);
  handler = std::move(handlerIn);
}

std::vector<SentRequest> ScriptedHttpRequest::sent(const std::string& path) const {
  std::lock_guard lock(mutex);
  std::vector<SentRequest> out;
  std::copy_if(requests.begin(), requests.end(), std::back_inserter(out),
               [&](const SentRequest& request) { return path.empty() || request.path == path; });
  return out;
}

HttpResponse ScriptedHttpRequest::send(const std::string& method, const std::string& url, const std::string& body,
                                       const std::string& token) {
  const std::string prefix = baseUrl() + "/";
  SentRequest request{method, url, url.rfind(prefix, 0) == 0 ? url.substr(prefix.size()) : url, body, token};
  std::unique_lock lock(mutex);
  requests.push_back(request);
  if (const auto computed = handler) {
    lock.unlock();
    return computed(request);
  }
  auto& queue = answers[request.path];
  const HttpResponse answer = queue.empty() ? HttpResponse{} : queue.front();
  if (queue.size() > 1) {
    queue.pop_front();
  }
  return answer;
}

}  // namespace ostrivel::testing
