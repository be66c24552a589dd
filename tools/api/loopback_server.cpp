// httplib's server with its connections served by our own loop: acknowledgements sent at once,
// and a stop that closes idle kept-alive connections instead of waiting out their time-out.
#include "loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace ostrivel::api {

namespace {

constexpr int kReadTimeoutMs = 15000;
constexpr int kWriteTimeoutMs = 15000;
constexpr int kKeepAliveMs = 5000;

bool waitFor(socket_t sock, short events, int timeoutMs) {
  pollfd entry{sock, events, 0};
  for (;;) {
    const int ready = poll(&entry, 1, timeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    return ready > 0;
  }
}

void peer(socket_t sock, bool remote, std::string& ip, int& port) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  const int got = remote ? getpeername(sock, reinterpret_cast<sockaddr*>(&address), &length)
                         : getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length);
  if (got != 0 || address.ss_family != AF_INET) {
    return;
  }
  const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
  ip = text;
  port = ntohs(v4.sin_port);
}

// A buffered socket stream like httplib's own, except that every receive asks for an immediate
// acknowledgement. Wine's WinHTTP sends the headers and the body of a request in two writes, and
// with Nagle on its side the body waits until the headers are acknowledged: Linux would delay
// that acknowledgement some 40 ms, on every single request.
class QuickAckStream : public httplib::Stream {
 public:
  explicit QuickAckStream(socket_t sock) : sock(sock) {}

  bool buffered() const { return offset < size; }

  bool is_readable() const override { return buffered() || waitFor(sock, POLLIN, kReadTimeoutMs); }
  bool is_writable() const override { return waitFor(sock, POLLOUT, kWriteTimeoutMs); }

  ssize_t read(char* ptr, std::size_t wanted) override {
    if (!buffered()) {
      if (!is_readable()) {
        return -1;
      }
      const int on = 1;
      setsockopt(sock, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      const ssize_t got = recv(sock, buffer.data(), buffer.size(), 0);
      if (got <= 0) {
        return got;
      }
      offset = 0;
      size = static_cast<std::size_t>(got);
    }
    const std::size_t n = std::min(wanted, size - offset);
    std::memcpy(ptr, buffer.data() + offset, n);
    offset += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, std::size_t length) override {
    if (!is_writable()) {
      return -1;
    }
    return send(sock, ptr, length, MSG_NOSIGNAL);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { peer(sock, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { peer(sock, false, ip, port); }
  socket_t socket() const override { return sock; }

 private:
  socket_t sock;
  std::array<char, 16384> buffer{};
  std::size_t offset = 0;
  std::size_t size = 0;
};

}  // namespace

void LoopbackServer::stopServing() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
    for (const socket_t sock : open) {
      shutdown(sock, SHUT_RDWR);  // wakes the loop below out of its wait
    }
  }
  stop();
}

bool LoopbackServer::process_and_close_socket(socket_t sock) {
  {
    std::lock_guard lock(mutex);
    if (stopping) {
      close(sock);
      return false;
    }
    open.insert(sock);
  }
  const int on = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  QuickAckStream stream(sock);
  // Kept alive until the client closes, stands idle for the keep-alive time-out, or we stop.
  while (!stopping && (stream.buffered() || waitFor(sock, POLLIN, kKeepAliveMs))) {
    bool closed = false;
    if (!process_request(stream, false, closed, [](httplib::Request&) {}) || closed) {
      break;
    }
  }
  {
    std::lock_guard lock(mutex);
    open.erase(sock);
  }
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return true;
}

}  // namespace ostrivel::api
