// httplib's server with its connections served by our own loop: acknowledgements sent at once,
// and a stop that closes idle kept-alive connections instead of waiting out their time-out.
#pragma once

#include <httplib.h>

#include <atomic>
#include <mutex>
#include <set>

namespace ostrivel::api {

class LoopbackServer : public httplib::Server {
 public:
  // Ends every connection, then the listening loop; run (listen_after_bind) returns soon after.
  void stopServing();

 private:
  // httplib calls this on a worker thread for every accepted connection.
  bool process_and_close_socket(socket_t sock) override;

  std::mutex mutex;
  std::set<socket_t> open;
  std::atomic<bool> stopping{false};
};

}  // namespace ostrivel::api
