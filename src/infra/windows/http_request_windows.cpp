// One HTTP request over WinHTTP: synchronous, 15-second time-outs per phase and a deadline for the
// whole, no redirects, answers cut at 1,000,000 bytes.
#include "infra/windows/http_request_windows.h"

#include <algorithm>
#include <string>
#include <vector>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
#include "infra/windows/windows_api.h"

#include <winhttp.h>

namespace ostrivel {

namespace {

using InternetHandle = ScopedHandle<NullHandleTraits<HINTERNET, WinHttpCloseHandle>>;

constexpr int kTimeoutMs = 15000;
constexpr std::size_t kBodyCap = 1000000;
constexpr DWORD kHostChars = 256;
constexpr DWORD kPathChars = 2048;
// WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: older systems refuse it, and get the default proxy instead.
constexpr DWORD kAutomaticProxy = 4;

struct CrackedUrl {
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
  bool secure = false;
};

bool crack(const std::wstring& url, CrackedUrl& out) {
  wchar_t host[kHostChars] = {};
  wchar_t path[kPathChars] = {};
  wchar_t extra[kPathChars] = {};
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = kHostChars;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = kPathChars;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = kPathChars;
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) || parts.dwHostNameLength == 0) {
    return false;
  }
  out.host.assign(host, parts.dwHostNameLength);
  out.port = parts.nPort;
  // The query, if any, belongs to the request line as much as the path does.
  out.path.assign(path, parts.dwUrlPathLength);
  out.path.append(extra, parts.dwExtraInfoLength);
  if (out.path.empty()) {
    out.path = L"/";
  }
  out.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  return true;
}

// Reads until the end, a failure, or the cap; whatever was read stays.
std::string readBody(HINTERNET request) {
  std::string body;
  std::vector<char> buffer;
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available) || available == 0 || body.size() >= kBodyCap) {
      return body;
    }
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(available, kBodyCap - body.size()));
    buffer.resize(wanted);
    DWORD got = 0;
    if (!WinHttpReadData(request, buffer.data(), wanted, &got) || got == 0) {
      return body;
    }
    body.append(buffer.data(), got);
  }
}

// Sends the request and reads its answer; status 0 when any step fails.
HttpResponse exchange(HINTERNET request, const std::string& body, const std::string& token) {
  // Followed, a redirect would carry the bearer token (WinHTTP sends the given headers again)
  // and the credential in the body to wherever Location points; the API never redirects. A
  // request that cannot be kept from following is not sent.
  DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never)) {
    return {};
  }
  // The wait for the answer's headers has a time-out of its own (90 s on Windows, none in Wine)
  // that WinHttpSetTimeouts leaves alone: without this a server that takes the request and never
  // answers would hold the uploader far past the receive time-out.
  DWORD headersTimeout = kTimeoutMs;
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersTimeout, sizeof headersTimeout);
  std::wstring headers = L"Content-Type: application/json\r\n";
  if (!token.empty()) {
    headers += L"Authorization: Bearer " + utf8ToWide(token) + L"\r\n";
  }
  const auto length = static_cast<DWORD>(body.size());
  void* optional = body.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(body.data());
  if (!WinHttpSendRequest(request, headers.c_str(), static_cast<DWORD>(-1L), optional, length, length, 0) ||
      !WinHttpReceiveResponse(request, nullptr)) {
    return {};
  }
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                           &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    return {};
  }
  HttpResponse response;
  response.status = static_cast<std::int32_t>(status);
  response.body = readBody(request);
  return response;
}

}  // namespace

HttpRequestWindows::HttpRequestWindows(std::string baseUrl, std::stop_token stop, std::chrono::milliseconds deadlineIn)
    : HttpRequest(std::move(baseUrl)), deadline(deadlineIn) {
  HINTERNET opened = WinHttpOpen(L"Ostrivel/2.0", kAutomaticProxy, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
  if (opened == nullptr) {
    opened = WinHttpOpen(L"Ostrivel/2.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                         WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (opened != nullptr) {
    WinHttpSetTimeouts(opened, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);
    watchdog = std::jthread([this](std::stop_token own) { cutLate(own); });
  }
  session = opened;
  onStop.emplace(std::move(stop), [this] { cutAll(); });
}

HttpRequestWindows::~HttpRequestWindows() {
  onStop.reset();
  if (watchdog.joinable()) {
    watchdog.request_stop();
    watchdog.join();
  }
  if (session != nullptr) {
    WinHttpCloseHandle(static_cast<HINTERNET>(session));
  }
}

std::optional<std::uint64_t> HttpRequestWindows::track(void* request) {
  std::lock_guard lock(mutex);
  if (stopping) {
    return std::nullopt;
  }
  const std::uint64_t ticket = nextTicket++;
  inFlight.emplace(ticket, InFlight{request, std::chrono::steady_clock::now() + deadline});
  changed.notify_all();
  return ticket;
}

bool HttpRequestWindows::untrack(std::uint64_t ticket) {
  std::lock_guard lock(mutex);
  const auto found = inFlight.find(ticket);
  const bool cut = found->second.cut;
  inFlight.erase(found);
  return cut;
}

void HttpRequestWindows::cutAll() {
  std::lock_guard lock(mutex);
  stopping = true;
  for (auto& [ticket, request] : inFlight) {
    if (!request.cut) {
      WinHttpCloseHandle(static_cast<HINTERNET>(request.request));
      request.cut = true;
    }
  }
}

void HttpRequestWindows::cutLate(std::stop_token stop) {
  std::unique_lock lock(mutex);
  while (!stop.stop_requested()) {
    // Closing a request's handle from another thread is WinHTTP's way to end its waits.
    std::optional<std::chrono::steady_clock::time_point> next;
    const auto now = std::chrono::steady_clock::now();
    for (auto& [ticket, request] : inFlight) {
      if (request.cut) {
        continue;
      }
      if (request.deadline <= now) {
        WinHttpCloseHandle(static_cast<HINTERNET>(request.request));
        request.cut = true;
      } else if (!next || request.deadline < *next) {
        next = request.deadline;
      }
    }
    const std::uint64_t seen = nextTicket;
    const auto started = [&] { return nextTicket != seen; };
    if (next) {
      changed.wait_until(lock, stop, *next, started);
    } else {
      changed.wait(lock, stop, started);
    }
  }
}

HttpResponse HttpRequestWindows::send(const std::string& method, const std::string& url, const std::string& body,
                                      const std::string& token) {
  if (session == nullptr || body.size() > MAXDWORD) {
    return {};
  }
  CrackedUrl target;
  if (!crack(utf8ToWide(url), target)) {
    return {};
  }
  // The connection handle only names the server: the session keeps the sockets and hands an idle
  // one to the next request for the same host, so closing this does not end the keep-alive.
  InternetHandle connection(WinHttpConnect(static_cast<HINTERNET>(session), target.host.c_str(), target.port, 0));
  if (!connection) {
    return {};
  }
  const std::wstring verb = utf8ToWide(method);
  const HINTERNET request =
      WinHttpOpenRequest(connection.get(), verb.c_str(), target.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, target.secure ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr) {
    return {};
  }
  const auto ticket = track(request);
  if (!ticket) {
    WinHttpCloseHandle(request);
    return {};
  }
  HttpResponse response = exchange(request, body, token);
  // A request cut by its deadline or the stop was closed by the one who cut it.
  if (untrack(*ticket)) {
    return {};
  }
  // Closed request first, then the connection, as WinHTTP's handle tree expects.
  WinHttpCloseHandle(request);
  return response;
}

}  // namespace ostrivel
