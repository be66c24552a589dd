// One HTTP request over WinHTTP: synchronous, 15-second time-outs per phase and a deadline for the
// whole, no redirects, answers cut at 1,000,000 bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "infra/http_request.h"

namespace ostrivel {

// Every failure (no session, malformed URL, resolve, connect, send or receive error, time-out,
// deadline, stop) is status 0 with an empty body. A redirect is never followed: its 3xx is the
// answer, so the credential and the bearer token go to the API's host only. Connections are
// pooled by the session and reused by later calls to the same host; concurrent calls from
// several threads are allowed.
class HttpRequestWindows : public HttpRequest {
 public:
  // Ample for one record; a server trickling its answer byte by byte is cut off there.
  static constexpr std::chrono::milliseconds kDeadline{60000};

  // Once stop is requested, the requests in flight are cut short (their handles closed, which
  // ends WinHTTP's waits) and later ones fail at once: the process's stop does not wait for a
  // slow server.
  explicit HttpRequestWindows(std::string baseUrl, std::stop_token stop = {},
                              std::chrono::milliseconds deadline = kDeadline);
  HttpRequestWindows(const HttpRequestWindows&) = delete;
  HttpRequestWindows& operator=(const HttpRequestWindows&) = delete;
  ~HttpRequestWindows() override;

  HttpResponse send(const std::string& method, const std::string& url, const std::string& body,
                    const std::string& token) override;

 private:
  struct InFlight {
    void* request;  // HINTERNET
    std::chrono::steady_clock::time_point deadline;
    bool cut = false;  // closed by the deadline or the stop
  };

  // No value once stopping; the caller then closes the request itself.
  std::optional<std::uint64_t> track(void* request);
  // True when the request was cut: its handle is closed already.
  bool untrack(std::uint64_t ticket);
  void cutAll();
  void cutLate(std::stop_token stop);

  void* session = nullptr;  // HINTERNET; null when the session could not be opened
  std::chrono::milliseconds deadline;
  std::mutex mutex;
  std::condition_variable_any changed;
  std::map<std::uint64_t, InFlight> inFlight;  // under mutex, as are the two below
  std::uint64_t nextTicket = 0;
  bool stopping = false;
  std::jthread watchdog;
  std::optional<std::stop_callback<std::function<void()>>> onStop;
};

}  // namespace ostrivel
