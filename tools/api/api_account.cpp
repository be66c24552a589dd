// The web account the local API plays: agents, credentials, registration claims, sessions and
// the records received, kept in a folder so that a restarted server still knows its credentials.
#include "api_account.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ostrivel::api {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

Answer error(int status, const std::string& text) { return {status, json{{"error", text}}}; }

bool isCadence(const json& value) {
  if (!value.is_number_integer()) {
    return false;
  }
  const auto minutes = value.get<std::int64_t>();
  return minutes >= 1 && minutes <= 60;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Written beside and renamed over, so a crash never leaves half a state file.
bool writeFileAtomically(const fs::path& path, const std::string& content) {
  const fs::path temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
      return false;
    }
  }
  std::error_code ignored;
  fs::rename(temporary, path, ignored);
  return !ignored;
}

std::string stringMember(const json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

}  // namespace

json toJson(const AccountOptions& options) {
  return json{{"autoApprove", options.autoApprove},
              {"sessionLifetimeSeconds", options.sessionLifetimeSeconds},
              {"cadenceMinutes", options.cadenceMinutes ? json(*options.cadenceMinutes) : json(nullptr)},
              {"delete", options.deleteRecords}};
}

bool applyJson(const json& changes, AccountOptions& options) {
  if (!changes.is_object()) {
    return false;
  }
  AccountOptions next = options;
  for (const auto& [key, value] : changes.items()) {
    if (key == "autoApprove" && value.is_boolean()) {
      next.autoApprove = value.get<bool>();
    } else if (key == "delete" && value.is_boolean()) {
      next.deleteRecords = value.get<bool>();
    } else if (key == "sessionLifetimeSeconds" && value.is_number_integer() && value.get<std::int64_t>() >= 0) {
      next.sessionLifetimeSeconds = value.get<std::int64_t>();
    } else if (key == "cadenceMinutes" && (value.is_null() || isCadence(value))) {
      next.cadenceMinutes = value.is_null() ? std::nullopt : std::optional<int>(value.get<int>());
    } else {
      return false;
    }
  }
  options = next;
  return true;
}

bool isAgentId(const std::string& text) {
  return !text.empty() && text.size() <= 64 &&
         text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") ==
             std::string::npos;
}

ApiAccount::ApiAccount(fs::path stateDirectory, AccountOptions options)
    : directory(std::move(stateDirectory)), settings(options), random(std::random_device{}()) {
  load();
}

std::string ApiAccount::randomHex(std::size_t bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes; ++i) {
    const auto byte = static_cast<unsigned>(random() & 0xff);
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0xf];
  }
  return out;
}

Answer ApiAccount::registerAgent(const json& request) {
  if (!request.is_object()) {
    return error(400, "the body must be a JSON object");
  }
  const auto name = request.find("computerName");
  if (name == request.end() || !name->is_string() || name->get<std::string>().empty()) {
    return error(400, "computerName (a non-empty string) is missing");
  }
  const auto previous = request.find("previousAgentId");
  if (previous != request.end() && !previous->is_string() && !previous->is_null()) {
    return error(400, "previousAgentId must be a string");
  }
  std::lock_guard lock(mutex);
  const std::string nonce = randomHex(16);
  Registration& registration = claims[nonce];
  registration.computerName = name->get<std::string>();
  registration.previousAgentId = stringMember(request, "previousAgentId");
  save();
  return {200, json{{"nonce", nonce}}};
}

Answer ApiAccount::pollRegistration(const std::string& nonce) {
  std::lock_guard lock(mutex);
  const auto found = claims.find(nonce);
  if (found == claims.end()) {
    return error(404, "unknown registration");
  }
  Registration& registration = found->second;
  ++registration.polls;
  if (registration.state == "released") {
    return error(410, "registration already claimed");
  }
  if (registration.state == "pending") {
    if (settings.autoApprove) {
      approveLocked(registration);  // the next poll gets the claim
      save();
    }
    return {202, json{{"status", "pending"}}};
  }
  const auto credential = credentials.find(registration.secret);
  if (credential == credentials.end()) {
    return error(410, "the credential of this registration was forgotten");
  }
  return {200, json{{"secret", registration.secret},
                    {"tokenId", credential->second.tokenId},
                    {"agentId", credential->second.agentId}}};
}

Answer ApiAccount::releaseRegistration(const std::string& nonce) {
  std::lock_guard lock(mutex);
  const auto found = claims.find(nonce);
  if (found == claims.end()) {
    return error(404, "unknown registration");
  }
  found->second.state = "released";
  save();
  return {200, json::object()};
}

Answer ApiAccount::exchange(const json& request, std::int64_t nowMs) {
  if (!request.is_object() || !request.contains("serviceAccountToken") || !request["serviceAccountToken"].is_string()) {
    return error(400, "serviceAccountToken (a string) is missing");
  }
  std::lock_guard lock(mutex);
  const auto found = credentials.find(request["serviceAccountToken"].get<std::string>());
  if (found == credentials.end()) {
    return error(401, "unknown credential");
  }
  if (found->second.revoked) {
    return error(403, "revoked");
  }
  if (suspended || suspendedAgents.count(found->second.agentId) > 0) {
    return error(403, "suspended");
  }
  // Sessions are only ever added here, so expired ones go here too.
  std::erase_if(sessions, [nowMs](const auto& entry) { return entry.second.expiresAtMs <= nowMs; });
  const std::string token = "sess_" + randomHex(24);
  sessions[token] = Session{found->first, nowMs + settings.sessionLifetimeSeconds * 1000};
  return {200, json{{"sessionJwt", token}, {"expiresIn", settings.sessionLifetimeSeconds}}};
}

Answer ApiAccount::ingest(const std::string& authorization, const std::string& body, std::int64_t nowMs) {
  static const std::string kBearer = "Bearer ";
  if (authorization.rfind(kBearer, 0) != 0) {
    return error(401, "a bearer session token is required");
  }
  std::lock_guard lock(mutex);
  const auto session = sessions.find(authorization.substr(kBearer.size()));
  if (session == sessions.end()) {
    return error(401, "unknown session");
  }
  if (session->second.expiresAtMs <= nowMs) {
    return error(401, "session expired");
  }
  const auto credential = credentials.find(session->second.secret);
  if (credential == credentials.end() || credential->second.revoked) {
    return error(401, "session of a withdrawn credential");  // the exchange then tells why
  }
  if (suspended || suspendedAgents.count(credential->second.agentId) > 0) {
    return error(403, "suspended");
  }
  if (json::parse(body, nullptr, false).is_discarded()) {
    return error(400, "malformed JSON");
  }
  const std::string& agentId = credential->second.agentId;
  const fs::path folder = directory / "records" / agentId;
  std::error_code failed;
  fs::create_directories(folder, failed);
  auto next = nextRecord.find(agentId);
  if (next == nextRecord.end()) {
    // Records of an earlier run stay; numbering goes on after them.
    int existing = 0;
    for (fs::directory_iterator it(folder, failed), end; !failed && it != end; it.increment(failed)) {
      ++existing;
    }
    next = nextRecord.emplace(agentId, existing + 1).first;
  }
  char name[32];
  std::snprintf(name, sizeof name, "%06d.json", next->second++);
  const fs::path file = folder / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << body;
  if (!out) {
    return error(500, "the record could not be stored");
  }
  received.push_back({agentId, file});
  json answer{{"ok", true}, {"delete", settings.deleteRecords}, {"record", file.filename().string()}};
  if (settings.cadenceMinutes) {
    answer["cadenceMinutes"] = *settings.cadenceMinutes;
  }
  return {200, answer};
}

json ApiAccount::approve(const std::string& nonce) {
  std::lock_guard lock(mutex);
  json approved = json::array();
  for (auto& [key, registration] : claims) {
    if ((nonce.empty() || key == nonce) && registration.state == "pending") {
      approveLocked(registration);
      approved.push_back(key);
    }
  }
  save();
  return approved;
}

void ApiAccount::approveLocked(Registration& registration) {
  // A PC enrolling again after its credential was dropped keeps its agent.
  const std::string agentId =
      agents.count(registration.previousAgentId) > 0 ? registration.previousAgentId : std::string();
  registration.secret = issue(agentId, registration.computerName)["secret"].get<std::string>();
  registration.state = "approved";
}

Answer ApiAccount::newCredential(const std::string& agentId, const std::string& name) {
  if (!agentId.empty() && !isAgentId(agentId)) {
    return error(400, "agentId may hold only letters, digits, _ and -");
  }
  std::lock_guard lock(mutex);
  json issued = issue(agentId, name.empty() ? "PC" : name);
  save();
  return {200, issued};
}

json ApiAccount::issue(const std::string& agentIdIn, const std::string& name) {
  const std::string agentId = agentIdIn.empty() ? "agt_" + randomHex(8) : agentIdIn;
  if (agents.count(agentId) == 0) {
    agents[agentId] = name;
  }
  const std::string secret = "osv_" + randomHex(20);
  const std::string tokenId = "tok_" + randomHex(6);
  credentials[secret] = Credential{tokenId, agentId, false};
  return json{{"secret", secret}, {"tokenId", tokenId}, {"agentId", agentId}};
}

int ApiAccount::revoke(const json& selector, bool forget) {
  if (!selector.is_object()) {
    return 0;
  }
  const std::string secret = stringMember(selector, "secret");
  const std::string tokenId = stringMember(selector, "tokenId");
  const std::string agentId = stringMember(selector, "agentId");
  if (secret.empty() && tokenId.empty() && agentId.empty()) {
    return 0;
  }
  std::lock_guard lock(mutex);
  int matched = 0;
  for (auto it = credentials.begin(); it != credentials.end();) {
    const bool match = (!secret.empty() && it->first == secret) ||
                       (!tokenId.empty() && it->second.tokenId == tokenId) ||
                       (!agentId.empty() && it->second.agentId == agentId);
    if (!match) {
      ++it;
      continue;
    }
    ++matched;
    if (forget) {
      it = credentials.erase(it);
    } else {
      (it++)->second.revoked = true;
    }
  }
  save();
  return matched;
}

void ApiAccount::suspend(bool suspend) {
  std::lock_guard lock(mutex);
  suspended = suspend;
  save();
}

bool ApiAccount::suspendAgent(const std::string& agentId, bool suspend) {
  std::lock_guard lock(mutex);
  if (agents.count(agentId) == 0) {
    return false;
  }
  if (suspend) {
    suspendedAgents.insert(agentId);
  } else {
    suspendedAgents.erase(agentId);
  }
  save();
  return true;
}

int ApiAccount::expireSessions() {
  std::lock_guard lock(mutex);
  const int count = static_cast<int>(sessions.size());
  for (auto& [token, session] : sessions) {
    session.expiresAtMs = 0;
  }
  return count;
}

json ApiAccount::registrations() const {
  std::lock_guard lock(mutex);
  json out = json::array();
  for (const auto& [nonce, registration] : claims) {
    json entry{{"nonce", nonce},
               {"state", registration.state},
               {"computerName", registration.computerName},
               {"previousAgentId", registration.previousAgentId},
               {"polls", registration.polls}};
    if (!registration.secret.empty()) {
      entry["agentId"] = credentials.count(registration.secret) > 0 ? credentials.at(registration.secret).agentId : "";
    }
    out.push_back(entry);
  }
  return out;
}

json ApiAccount::overview() const {
  std::lock_guard lock(mutex);
  json list = json::array();
  for (const auto& [id, name] : agents) {
    const bool live = std::any_of(credentials.begin(), credentials.end(), [&id](const auto& entry) {
      return entry.second.agentId == id && !entry.second.revoked;
    });
    const bool paused = suspended || suspendedAgents.count(id) > 0;
    json entry{{"agentId", id}, {"name", name}, {"state", !live ? "revoked" : paused ? "suspended" : "active"}};
    // A record file is only ever added to its folder, so the folder's time is the last upload's.
    std::error_code failed;
    const auto changed = fs::last_write_time(directory / "records" / id, failed);
    if (!failed) {
      entry["lastUploadMs"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::file_clock::to_sys(changed).time_since_epoch())
                                  .count();
    }
    list.push_back(std::move(entry));
  }
  json pending = json::array();
  for (const auto& [nonce, registration] : claims) {
    if (registration.state == "pending") {
      pending.push_back(json{{"nonce", nonce},
                             {"computerName", registration.computerName},
                             {"previousAgentId", registration.previousAgentId}});
    }
  }
  return json{{"suspended", suspended}, {"agents", list}, {"pending", pending}};
}

std::vector<std::string> ApiAccount::storedRecords(const std::string& agentId) const {
  if (!isAgentId(agentId)) {
    return {};
  }
  std::lock_guard lock(mutex);
  std::vector<fs::path> files;
  std::error_code failed;
  for (fs::directory_iterator it(directory / "records" / agentId, failed), end; !failed && it != end;
       it.increment(failed)) {
    if (it->path().extension() == ".json") {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());  // numbered in the order received
  std::vector<std::string> bodies;
  for (const fs::path& file : files) {
    bodies.push_back(readFile(file));
  }
  return bodies;
}

json ApiAccount::records(const std::string& agentId) const {
  std::lock_guard lock(mutex);
  json out = json::array();
  for (const auto& record : received) {
    if (agentId.empty() || record.agentId == agentId) {
      out.push_back(json{
          {"agentId", record.agentId}, {"file", record.file.filename().string()}, {"body", readFile(record.file)}});
    }
  }
  return out;
}

std::size_t ApiAccount::sessionCount() const {
  std::lock_guard lock(mutex);
  return sessions.size();
}

std::size_t ApiAccount::recordCount() const {
  std::lock_guard lock(mutex);
  return received.size();
}

AccountOptions ApiAccount::options() const {
  std::lock_guard lock(mutex);
  return settings;
}

bool ApiAccount::setOptions(const json& changes) {
  std::lock_guard lock(mutex);
  return applyJson(changes, settings);
}

void ApiAccount::load() {
  const json state = json::parse(readFile(directory / "state.json"), nullptr, false);
  if (!state.is_object()) {
    return;  // a first start, or a file nobody should have edited: start empty
  }
  try {
    suspended = state.value("suspended", false);
    for (const auto& id : state.value("suspendedAgents", json::array())) {
      suspendedAgents.insert(id.get<std::string>());
    }
    const json agentList = state.value("agents", json::object());
    const json credentialList = state.value("credentials", json::array());
    const json registrationList = state.value("registrations", json::object());
    for (const auto& [id, name] : agentList.items()) {
      agents[id] = name.is_string() ? name.get<std::string>() : "";
    }
    for (const auto& entry : credentialList) {
      credentials[entry.at("secret").get<std::string>()] =
          Credential{entry.at("tokenId").get<std::string>(), entry.at("agentId").get<std::string>(),
                     entry.value("revoked", false)};
    }
    for (const auto& [nonce, entry] : registrationList.items()) {
      Registration& registration = claims[nonce];
      registration.state = entry.value("state", "pending");
      registration.computerName = entry.value("computerName", "");
      registration.previousAgentId = entry.value("previousAgentId", "");
      registration.secret = entry.value("secret", "");
      if (registration.state != "pending" && credentials.count(registration.secret) == 0) {
        registration.state = "released";
      }
    }
  } catch (const json::exception&) {
    // A damaged state file: whatever was read before the damage stays.
  }
}

void ApiAccount::save() const {
  json state{{"suspended", suspended},
             {"suspendedAgents", suspendedAgents},
             {"agents", agents},
             {"credentials", json::array()},
             {"registrations", json::object()}};
  for (const auto& [secret, credential] : credentials) {
    state["credentials"].push_back({{"secret", secret},
                                    {"tokenId", credential.tokenId},
                                    {"agentId", credential.agentId},
                                    {"revoked", credential.revoked}});
  }
  for (const auto& [nonce, registration] : claims) {
    state["registrations"][nonce] = {{"state", registration.state},
                                     {"computerName", registration.computerName},
                                     {"previousAgentId", registration.previousAgentId},
                                     {"secret", registration.secret}};
  }
  std::error_code ignored;
  fs::create_directories(directory, ignored);
  writeFileAtomically(directory / "state.json", state.dump(1, '\t'));
}

}  // namespace ostrivel::api
