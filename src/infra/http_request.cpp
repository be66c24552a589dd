// One HTTP request with an optional JSON body and bearer token, and the API base URL it is sent to.
#include "infra/http_request.h"

#include <utility>

namespace ostrivel {

HttpRequest::HttpRequest(std::string baseUrl) : base(std::move(baseUrl)) {
  while (!base.empty() && base.back() == '/') {
    base.pop_back();
  }
}

HttpResponse HttpRequest::get(const std::string& path, const std::string& token) {
  return send("GET", base + "/" + path, {}, token);
}

HttpResponse HttpRequest::post(const std::string& path, const std::string& body, const std::string& token) {
  return send("POST", base + "/" + path, body, token);
}

HttpResponse HttpRequest::del(const std::string& path, const std::string& token) {
  return send("DELETE", base + "/" + path, {}, token);
}

}  // namespace ostrivel
