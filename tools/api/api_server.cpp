// The local web API over HTTP: the agent's endpoints on loopback, plus admin endpoints through
// which tests approve registrations, script answers, revoke credentials and read what arrived.
#include "api_server.h"

#include <httplib.h>

#include "dashboard_day.h"
#include "dashboard_page.h"
#include "loopback_server.h"

#include <chrono>
#include <thread>

namespace ostrivel::api {

namespace {

using nlohmann::json;

constexpr std::size_t kMaxBody = 1000000;
// Bodies up to this are read whole and refused with a JSON 400; only larger ones meet httplib's 413.
constexpr std::size_t kReadLimit = 16 * 1000 * 1000;
constexpr int kMaxDelayMs = 120000;
// Chart series of the dashboard: the applications with the most CPU minutes, then the rest.
constexpr std::size_t kTopApplications = 6;

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void reply(httplib::Response& response, int status, const json& body) {
  response.status = status;
  response.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void reply(httplib::Response& response, const Answer& answer) { reply(response, answer.status, answer.body); }

void refuse(httplib::Response& response, int status, const std::string& text) {
  reply(response, status, json{{"error", text}});
}

// An admin body may be empty, meaning no members.
std::optional<json> adminBody(const httplib::Request& request) {
  if (request.body.empty()) {
    return json::object();
  }
  json parsed = json::parse(request.body, nullptr, false);
  if (!parsed.is_object()) {
    return std::nullopt;
  }
  return parsed;
}

// The dashboard's page and script: from the API only, and no inline script, so a name an agent
// sent cannot run even if it ever reached the page as markup.
void servePage(const std::string& path, httplib::Response& response) {
  response.set_header("Content-Security-Policy", std::string(dashboardSecurityPolicy()));
  response.set_header("X-Content-Type-Options", "nosniff");
  response.set_header("Cache-Control", "no-store");
  if (path.empty()) {
    response.set_content(std::string(dashboardHtml()), "text/html; charset=utf-8");
  } else {
    response.set_content(std::string(dashboardScript()), "text/javascript; charset=utf-8");
  }
}

// httplib adds the peer's address as pseudo headers; they were never sent.
bool pseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT";
}

bool parseScripted(const json& entry, ScriptedAnswer& out, int& count) {
  if (!entry.is_object()) {
    return false;
  }
  count = 1;
  std::size_t bodyBytes = 0;
  bool sized = false;
  for (const auto& [key, value] : entry.items()) {
    if (key == "status" && value.is_number_integer() && value.get<int>() >= 100 && value.get<int>() <= 599) {
      out.status = value.get<int>();
    } else if (key == "body" && value.is_string()) {
      out.body = value.get<std::string>();
    } else if (key == "contentType" && value.is_string()) {
      out.contentType = value.get<std::string>();
    } else if (key == "delayMs" && value.is_number_integer() && value.get<int>() >= 0 &&
               value.get<int>() <= kMaxDelayMs) {
      out.delayMs = value.get<int>();
    } else if (key == "trickleMs" && value.is_number_integer() && value.get<int>() >= 0 &&
               value.get<int>() <= kMaxDelayMs) {
      out.trickleMs = value.get<int>();
    } else if (key == "headers" && value.is_object()) {
      for (const auto& [name, text] : value.items()) {
        if (!text.is_string()) {
          return false;
        }
        out.headers[name] = text.get<std::string>();
      }
    } else if (key == "count" && value.is_number_integer() && value.get<int>() >= 1 && value.get<int>() <= 100000) {
      count = value.get<int>();
    } else if (key == "bodyBytes" && value.is_number_unsigned() && value.get<std::size_t>() <= 2 * kReadLimit) {
      bodyBytes = value.get<std::size_t>();
      sized = true;
    } else {
      return false;
    }
  }
  if (sized) {
    // The body (or the digits) repeated and cut to the size asked for.
    const std::string pattern = out.body.empty() ? "0123456789" : out.body;
    out.body.clear();
    out.body.reserve(bodyBytes);
    while (out.body.size() < bodyBytes) {
      out.body.append(pattern, 0, std::min(pattern.size(), bodyBytes - out.body.size()));
    }
  }
  if (out.contentType.empty()) {
    out.contentType = json::accept(out.body) ? "application/json" : "text/html; charset=utf-8";
  }
  return true;
}

// The body one byte at a time, trickleMs apart: an answer that never ends, yet never idles long
// enough for a time-out. In short naps, so a client that gave up frees the thread soon after.
void trickle(httplib::Response& response, const ScriptedAnswer& answer) {
  response.set_content_provider(
      answer.body.size(), answer.contentType,
      [body = answer.body, trickleMs = answer.trickleMs](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        for (int waited = 0; waited < trickleMs; waited += 50) {
          if (!sink.is_writable()) {
            return false;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(std::min(50, trickleMs - waited)));
        }
        return sink.write(body.data() + offset, 1);
      });
}

}  // namespace

ApiServer::ApiServer(ServerOptions optionsIn, std::ostream& log)
    : options(std::move(optionsIn)),
      log(log),
      account(options.stateDirectory, options.account),
      server(std::make_unique<LoopbackServer>()) {
  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    dispatch(request, response);
  };
  server->Get(".*", handler).Post(".*", handler).Put(".*", handler).Patch(".*", handler).Delete(".*", handler);
  server->set_payload_max_length(kReadLimit);
  // A kept-alive connection holds its thread while idle: room for several agents and tools at once.
  server->new_task_queue = [] { return new httplib::ThreadPool(32); };
  server->set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request& request, httplib::Response& response) {
        // Only httplib's own refusals (unparsable request, body over the read limit) get a body here:
        // they never reached a route, while a scripted answer may be an error without a body.
        if (request.matches.empty() && response.body.empty()) {
          refuse(response, response.status == 413 ? 400 : response.status,
                 response.status == 413 ? "body over 1000000 bytes" : "bad request");
          return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
      }));
  server->set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    refuse(response, 500, "internal error");
  });
  server->set_logger(
      [this](const httplib::Request& request, const httplib::Response& response) { logLine(request, response); });
}

ApiServer::~ApiServer() { stop(); }

int ApiServer::bind() {
  if (options.port == 0) {
    return server->bind_to_any_port("127.0.0.1");
  }
  return server->bind_to_port("127.0.0.1", options.port) ? options.port : -1;
}

bool ApiServer::run() { return server->listen_after_bind(); }

void ApiServer::stop() { server->stopServing(); }

void ApiServer::dispatch(const httplib::Request& request, httplib::Response& response) {
  const std::string path = request.path.substr(request.path.rfind('/', 0) == 0 ? 1 : 0);
  const bool page = request.method == "GET" && (path.empty() || path == "dashboard.js");
  const bool admin = page || path.rfind("admin/", 0) == 0;
  try {
    if (request.body.size() > kMaxBody) {
      refuse(response, 400, "body over 1000000 bytes");
    } else if (page) {
      servePage(path, response);
    } else if (admin) {
      serveAdmin(path.substr(6), request, response);
    } else if (const auto scripted = nextScripted(path); scripted && (scripted->delayMs > 0 || scripted->status)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(scripted->delayMs));
      if (scripted->status) {
        response.status = *scripted->status;
        for (const auto& [name, value] : scripted->headers) {
          response.set_header(name, value);
        }
        if (scripted->trickleMs > 0) {
          trickle(response, *scripted);
        } else {
          response.set_content(scripted->body, scripted->contentType);
        }
      } else {
        serveApi(path, request, response);
      }
    } else {
      serveApi(path, request, response);
    }
  } catch (const std::exception& e) {
    refuse(response, 500, std::string("internal error: ") + e.what());
  }
  // Listed before the answer leaves, so whoever saw the answer finds the request in the list.
  if (!admin) {
    remember(request, response);
  }
}

void ApiServer::serveApi(const std::string& path, const httplib::Request& request, httplib::Response& response) {
  const std::string& method = request.method;
  const bool claim = path.rfind("register/", 0) == 0 && path.size() > 9 && path.find('/', 9) == std::string::npos;
  if (path == "ingest" && method == "POST") {
    reply(response, account.ingest(request.get_header_value("Authorization"), request.body, nowMs()));
    return;
  }
  if ((path == "register" || path == "serviceAccountToken") && method == "POST") {
    const json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded()) {
      refuse(response, 400, "malformed JSON");
      return;
    }
    reply(response, path == "register" ? account.registerAgent(body) : account.exchange(body, nowMs()));
    return;
  }
  if (claim && (method == "GET" || method == "DELETE")) {
    const std::string nonce = path.substr(9);
    reply(response, method == "GET" ? account.pollRegistration(nonce) : account.releaseRegistration(nonce));
    return;
  }
  if (path == "ingest" || path == "register" || path == "serviceAccountToken" || claim) {
    refuse(response, 405, "method not allowed");
    return;
  }
  refuse(response, 404, "not found");
}

void ApiServer::serveAdmin(const std::string& path, const httplib::Request& request, httplib::Response& response) {
  const std::string& method = request.method;
  const std::optional<json> body = adminBody(request);
  if (!body) {
    refuse(response, 400, "malformed JSON");
    return;
  }
  if (method == "GET" && path == "stats") {
    std::lock_guard lock(mutex);
    reply(response, 200,
          json{{"requests", requests},
               {"connections", connections.size()},
               {"records", account.recordCount()},
               {"sessions", account.sessionCount()}});
  } else if (method == "GET" && path == "received") {
    const std::string only = request.get_param_value("path");
    std::lock_guard lock(mutex);
    json list = json::array();
    for (const auto& entry : received) {
      if (only.empty() || entry["path"] == only || entry["path"] == "/" + only) {
        list.push_back(entry);
      }
    }
    reply(response, 200, list);
  } else if (method == "DELETE" && path == "received") {
    std::lock_guard lock(mutex);
    received.clear();
    requests = 0;
    connections.clear();
    reply(response, 200, json::object());
  } else if (method == "GET" && path == "records") {
    reply(response, 200, account.records(request.get_param_value("agentId")));
  } else if (method == "GET" && path == "registrations") {
    reply(response, 200, account.registrations());
  } else if (method == "GET" && path == "agents") {
    reply(response, 200, account.overview());
  } else if (method == "GET" && path == "day") {
    const std::string agentId = request.get_param_value("agentId");
    if (!isAgentId(agentId)) {
      refuse(response, 400, "agentId (letters, digits, _ and -) is missing");
      return;
    }
    reply(response, 200,
          dashboardDay(account.storedRecords(agentId), request.get_param_value("date"), kTopApplications));
  } else if (method == "POST" && path == "approve") {
    const json nonce = body->value("nonce", json(""));
    if (!nonce.is_string()) {
      refuse(response, 400, "nonce must be a string");
      return;
    }
    const json approved = account.approve(nonce.get<std::string>());
    reply(response, approved.empty() && !nonce.get<std::string>().empty() ? 404 : 200, json{{"approved", approved}});
  } else if (method == "POST" && path == "credential") {
    const json agentId = body->value("agentId", json(""));
    const json name = body->value("name", json(""));
    if (!agentId.is_string() || !name.is_string()) {
      refuse(response, 400, "agentId and name must be strings");
      return;
    }
    reply(response, account.newCredential(agentId.get<std::string>(), name.get<std::string>()));
  } else if (method == "POST" && path == "revoke") {
    const json forget = body->value("forget", json(false));
    if (!forget.is_boolean()) {
      refuse(response, 400, "forget must be a boolean");
      return;
    }
    const int matched = account.revoke(*body, forget.get<bool>());
    reply(response, matched > 0 ? 200 : 404, json{{"matched", matched}});
  } else if (method == "POST" && path == "suspend") {
    const json suspended = body->value("suspended", json(true));
    const json agentId = body->value("agentId", json(""));
    if (!suspended.is_boolean() || !agentId.is_string()) {
      refuse(response, 400, "suspended must be a boolean, agentId a string");
      return;
    }
    if (agentId.get<std::string>().empty()) {
      account.suspend(suspended.get<bool>());
    } else if (!account.suspendAgent(agentId.get<std::string>(), suspended.get<bool>())) {
      refuse(response, 404, "unknown agent");
      return;
    }
    reply(response, 200, json{{"suspended", suspended}});
  } else if (method == "POST" && path == "expireSessions") {
    reply(response, 200, json{{"expired", account.expireSessions()}});
  } else if (method == "POST" && path == "script") {
    if (!addScript(*body)) {
      refuse(
          response, 400,
          "expected {\"path\": text, \"answers\": [{status, body, bodyBytes, contentType, headers, delayMs, trickleMs, "
          "count}]}");
      return;
    }
    reply(response, 200, json::object());
  } else if (method == "DELETE" && path == "script") {
    std::lock_guard lock(mutex);
    scripts.clear();
    reply(response, 200, json::object());
  } else if (method == "GET" && path == "options") {
    reply(response, 200, toJson(account.options()));
  } else if (method == "POST" && path == "options") {
    if (!account.setOptions(*body)) {
      refuse(response, 400, "expected autoApprove, delete, sessionLifetimeSeconds or cadenceMinutes");
      return;
    }
    reply(response, 200, toJson(account.options()));
  } else {
    refuse(response, 404, "no such admin endpoint");
  }
}

bool ApiServer::addScript(const json& request) {
  const auto path = request.find("path");
  const auto answers = request.find("answers");
  if (path == request.end() || !path->is_string() || path->get<std::string>().empty() || answers == request.end() ||
      !answers->is_array() || request.size() != 2) {
    return false;
  }
  std::deque<ScriptedAnswer> parsed;
  for (const auto& entry : *answers) {
    ScriptedAnswer answer;
    int count = 1;
    if (!parseScripted(entry, answer, count)) {
      return false;
    }
    parsed.insert(parsed.end(), static_cast<std::size_t>(count), answer);
  }
  std::string key = path->get<std::string>();
  if (key.front() == '/') {
    key.erase(0, 1);
  }
  std::lock_guard lock(mutex);
  auto& queue = scripts[key];
  queue.insert(queue.end(), parsed.begin(), parsed.end());
  return true;
}

std::optional<ScriptedAnswer> ApiServer::nextScripted(const std::string& path) {
  std::lock_guard lock(mutex);
  // The exact path first, then patterns ending in "*" ("register/*").
  auto found = scripts.find(path);
  if (found == scripts.end() || found->second.empty()) {
    found = scripts.end();
    for (auto it = scripts.begin(); it != scripts.end(); ++it) {
      const std::string& key = it->first;
      if (!it->second.empty() && key.back() == '*' && path.compare(0, key.size() - 1, key, 0, key.size() - 1) == 0) {
        found = it;
        break;
      }
    }
  }
  if (found == scripts.end()) {
    return std::nullopt;
  }
  ScriptedAnswer answer = found->second.front();
  found->second.pop_front();
  return answer;
}

void ApiServer::remember(const httplib::Request& request, const httplib::Response& response) {
  std::lock_guard lock(mutex);
  const auto peer = std::make_pair(request.remote_addr, request.remote_port);
  const auto connection = connections.emplace(peer, static_cast<int>(connections.size()) + 1).first->second;
  json headers = json::object();
  for (const auto& [name, value] : request.headers) {
    if (pseudoHeader(name)) {
      continue;
    }
    headers[name] = headers.contains(name) ? headers[name].get<std::string>() + ", " + value : value;
  }
  received.push_back(json{{"method", request.method},
                          {"path", request.path},
                          {"headers", headers},
                          {"body", request.body},
                          {"status", response.status},
                          {"connection", connection}});
  ++requests;
  while (received.size() > options.receivedLimit) {
    received.pop_front();
  }
}

void ApiServer::logLine(const httplib::Request& request, const httplib::Response& response) {
  std::lock_guard lock(mutex);
  log << request.method << ' ' << request.path << " -> " << response.status << " (" << request.body.size()
      << " bytes in, " << response.body.size() << " out, client port " << request.remote_port << ")" << std::endl;
}

}  // namespace ostrivel::api
