// The local web API over HTTP: the agent's endpoints on loopback, plus admin endpoints through
// which tests approve registrations, script answers, revoke credentials and read what arrived.
#pragma once

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <utility>

#include "api_account.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace ostrivel::api {

class LoopbackServer;

struct ServerOptions {
  int port = 0;  // 0: any free port
  std::filesystem::path stateDirectory;
  AccountOptions account;
  std::size_t receivedLimit = 5000;  // the newest agent requests kept for admin/received
};

// One scripted answer of a path: a status replaces the real handling, a delay alone only holds
// the real answer back. Headers go with a scripted status (a redirect's Location); trickleMs
// sends its body one byte at a time, that far apart.
struct ScriptedAnswer {
  std::optional<int> status;
  std::string body;
  std::string contentType;
  int delayMs = 0;
  std::map<std::string, std::string> headers;
  int trickleMs = 0;
};

class ApiServer {
 public:
  // Request lines go to log, one per request, as they are answered.
  ApiServer(ServerOptions options, std::ostream& log);
  ~ApiServer();
  ApiServer(const ApiServer&) = delete;
  ApiServer& operator=(const ApiServer&) = delete;

  // Binds to 127.0.0.1; the port, or -1 when it cannot be bound.
  int bind();
  // Serves until stop; false when it could not serve.
  bool run();
  // From any thread; run returns soon after.
  void stop();

 private:
  void dispatch(const httplib::Request& request, httplib::Response& response);
  void serveApi(const std::string& path, const httplib::Request& request, httplib::Response& response);
  void serveAdmin(const std::string& path, const httplib::Request& request, httplib::Response& response);
  std::optional<ScriptedAnswer> nextScripted(const std::string& path);
  bool addScript(const nlohmann::json& request);
  void remember(const httplib::Request& request, const httplib::Response& response);
  void logLine(const httplib::Request& request, const httplib::Response& response);

  ServerOptions options;
  std::ostream& log;
  ApiAccount account;
  std::unique_ptr<LoopbackServer> server;

  std::mutex mutex;  // everything below, and the log stream
  std::map<std::string, std::deque<ScriptedAnswer>> scripts;
  std::deque<nlohmann::json> received;                     // the newest receivedLimit agent requests
  std::size_t requests = 0;                                // agent requests since the list was last cleared
  std::map<std::pair<std::string, int>, int> connections;  // client address and port -> number
};

}  // namespace ostrivel::api
