// One HTTP request over WinHTTP: synchronous, 15-second time-outs, answers cut at 1,000,000 bytes.
#pragma once

#include "infra/http_request.h"

namespace ostrivel {

// Every failure (no session, malformed URL, resolve, connect, send or receive error, time-out)
// is status 0 with an empty body. Connections are pooled by the session and reused by later
// calls to the same host; concurrent calls from several threads are allowed.
class HttpRequestWindows : public HttpRequest {
 public:
  explicit HttpRequestWindows(std::string baseUrl);
  HttpRequestWindows(const HttpRequestWindows&) = delete;
  HttpRequestWindows& operator=(const HttpRequestWindows&) = delete;
  ~HttpRequestWindows() override;

  HttpResponse send(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& token) override;

 private:
  void* session = nullptr;  // HINTERNET; null when the session could not be opened
};

}  // namespace ostrivel
