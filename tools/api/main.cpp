// ostrivel-api: a local stand-in for the web API, on 127.0.0.1 only, for tests and demos.
//
//   ostrivel-api --state DIR [--port N] [--auto-approve] [--session-lifetime SECONDS]
//                [--cadence MINUTES] [--delete]
//
// Port 0 (the default) takes a free port. The first line on standard output is
// "listening on 127.0.0.1:PORT"; after it, one line per request answered. SIGINT or SIGTERM stop
// it at once. DIR keeps state.json (agents, credentials, registrations, suspension) and
// records/<agentId>/NNNNNN.json, one file per accepted upload, bytes as received. More in
// tools/README.md.
//
// The agent's endpoints:
//   POST   register              {"computerName", ...,"previousAgentId"?} -> 200 {"nonce"}
//   GET    register/<nonce>      202 until approved, then 200 {"secret","tokenId","agentId"};
//                                404 unknown, 410 once released or its credential forgotten
//   DELETE register/<nonce>      releases the claim
//   POST   serviceAccountToken   {"serviceAccountToken"} -> 200 {"sessionJwt"}; 401 unknown,
//                                403 {"error":"revoked"} or {"error":"suspended"}
//   POST   ingest                bearer session; 200 {"delete","cadenceMinutes"?}; 401 expired
//                                or withdrawn session, 403 {"error":"suspended"}, 400 not JSON
// Bad input (malformed JSON, missing members, bodies over 1,000,000 bytes) gets 400 {"error"}.
//
// Admin endpoints (JSON bodies; an empty body means {}):
//   GET    admin/stats           {"requests","connections","records","sessions"} (agent
//                                requests only; connections are distinct client ports)
//   GET    admin/received[?path=ingest]   the newest 5,000 agent requests: method, path,
//                                headers, body, status, connection; DELETE clears the list
//                                and the counts
//   GET    admin/records[?agentId=]       stored records in the order received
//   GET    admin/registrations   nonce, state, computerName, previousAgentId, polls
//   POST   admin/approve         {"nonce"?}: that registration, or every pending one
//   POST   admin/credential      {"agentId"?,"name"?} -> {"secret","tokenId","agentId"}; ids
//                                hold only letters, digits, _ and -
//   POST   admin/revoke          {"secret"|"tokenId"|"agentId", "forget"?}: revoked (403 at the
//                                exchange) or forgotten (401)
//   POST   admin/suspend         {"suspended"?: true, "agentId"?}: the account's suspension,
//                                or one agent's, on or off
//   POST   admin/expireSessions  every session token issued so far now gets 401
//   POST   admin/script          {"path":"ingest","answers":[{"status","body","bodyBytes",
//                                "contentType","headers","delayMs","trickleMs","count"}]}: the
//                                next answers of a path (a "*" at the end matches a prefix);
//                                without "status" only the delay applies; "trickleMs" sends the
//                                body a byte at a time; DELETE admin/script forgets them all
//   GET|POST admin/options       {"autoApprove","delete","sessionLifetimeSeconds","cadenceMinutes"}
//   GET    admin/agents          the PCs with their state, and the pending registrations
//   GET    admin/day?agentId=[&date=]   one PC's day for the dashboard
//
// The dashboard: GET / (and /dashboard.js) in a browser.
#include <signal.h>

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "api_server.h"

namespace {

int usage() {
  std::cerr << "usage: ostrivel-api --state DIR [--port N] [--auto-approve] [--session-lifetime SECONDS]"
               " [--cadence MINUTES] [--delete]\n";
  return 2;
}

bool number(const char* text, long long low, long long high, long long& out) {
  char* end = nullptr;
  out = std::strtoll(text, &end, 10);
  return end != text && *end == '\0' && out >= low && out <= high;
}

}  // namespace

int main(int argc, char** argv) {
  ostrivel::api::ServerOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    long long value = 0;
    if (arg == "--state" && hasValue) {
      options.stateDirectory = argv[++i];
    } else if (arg == "--port" && hasValue && number(argv[i + 1], 0, 65535, value)) {
      options.port = static_cast<int>(value);
      ++i;
    } else if (arg == "--session-lifetime" && hasValue && number(argv[i + 1], 0, 1LL << 40, value)) {
      options.account.sessionLifetimeSeconds = value;
      ++i;
    } else if (arg == "--cadence" && hasValue && number(argv[i + 1], 1, 60, value)) {
      options.account.cadenceMinutes = static_cast<int>(value);
      ++i;
    } else if (arg == "--auto-approve") {
      options.account.autoApprove = true;
    } else if (arg == "--delete") {
      options.account.deleteRecords = true;
    } else {
      return usage();
    }
  }
  if (options.stateDirectory.empty()) {
    return usage();
  }

  // Signals are taken by one thread with sigwait, so stopping never runs inside a handler.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  ostrivel::api::ApiServer server(options, std::cout);
  const int port = server.bind();
  if (port < 0) {
    std::cerr << "cannot listen on 127.0.0.1:" << options.port << "\n";
    return 1;
  }
  std::cout << "listening on 127.0.0.1:" << port << std::endl;
  std::thread stopper([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
  });
  const bool served = server.run();
  // Ends the stopper's wait when the server stopped by itself.
  kill(getpid(), SIGTERM);
  stopper.join();
  return served ? 0 : 1;
}
