// The web account the local API plays: agents, credentials, registration claims, sessions and
// the records received, kept in a folder so that a restarted server still knows its credentials.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace ostrivel::api {

struct Answer {
  int status = 200;
  nlohmann::json body = nlohmann::json::object();
};

struct AccountOptions {
  bool autoApprove = false;  // approve a registration after its first poll
  std::int64_t sessionLifetimeSeconds = 3600;
  std::optional<int> cadenceMinutes;  // "cadenceMinutes" of every ingest answer, when set
  bool deleteRecords = false;         // "delete" of every ingest answer
};

nlohmann::json toJson(const AccountOptions& options);
// Applies the members present; false (and nothing changed) when one has the wrong type.
bool applyJson(const nlohmann::json& changes, AccountOptions& options);

// Agent ids name folders under the state folder: letters, digits, "_" and "-" only.
bool isAgentId(const std::string& text);

// Thread-safe: every operation takes the account's lock. Times are Unix milliseconds.
class ApiAccount {
 public:
  ApiAccount(std::filesystem::path stateDirectory, AccountOptions options);

  Answer registerAgent(const nlohmann::json& request);
  Answer pollRegistration(const std::string& nonce);
  Answer releaseRegistration(const std::string& nonce);
  Answer exchange(const nlohmann::json& request, std::int64_t nowMs);
  Answer ingest(const std::string& authorization, const std::string& body, std::int64_t nowMs);

  // Approves one pending registration, or every one when nonce is empty; the nonces approved.
  nlohmann::json approve(const std::string& nonce);
  // A credential for a new (or the named) agent, as a claim would carry it; 400 for a bad id.
  Answer newCredential(const std::string& agentId, const std::string& name);
  // Revokes (403 at the exchange) or forgets (401) the credentials matching one selector
  // member: "secret", "tokenId" or "agentId". Returns how many matched.
  int revoke(const nlohmann::json& selector, bool forget);
  void suspend(bool suspended);
  // One agent's suspension, answered as the account's is; false for an unknown agent.
  bool suspendAgent(const std::string& agentId, bool suspended);
  int expireSessions();

  nlohmann::json registrations() const;
  // The PCs as the dashboard lists them: {"suspended" (the account), "agents": [{"agentId",
  // "name", "state" (active, suspended or revoked), "lastUploadMs" (when its last record was
  // stored, in any life of the server)?}], "pending": [{"nonce", "computerName", "previousAgentId"}]}.
  nlohmann::json overview() const;
  // The record files stored for one agent, in every life of the server, oldest first.
  std::vector<std::string> storedRecords(const std::string& agentId) const;
  std::size_t sessionCount() const;
  // Stored records in the order received, of one agent or of all.
  nlohmann::json records(const std::string& agentId) const;
  std::size_t recordCount() const;
  AccountOptions options() const;
  bool setOptions(const nlohmann::json& changes);

 private:
  struct Credential {
    std::string tokenId;
    std::string agentId;
    bool revoked = false;
  };
  struct Registration {
    std::string state = "pending";  // pending, approved, released
    std::string computerName;
    std::string previousAgentId;
    std::string secret;  // once approved
    int polls = 0;
  };
  struct Session {
    std::string secret;
    std::int64_t expiresAtMs = 0;
  };
  struct Record {
    std::string agentId;
    std::filesystem::path file;
  };

  std::string randomHex(std::size_t bytes);
  nlohmann::json issue(const std::string& agentId, const std::string& name);  // lock held
  void approveLocked(Registration& registration);
  void load();
  void save() const;

  std::filesystem::path directory;
  AccountOptions settings;
  mutable std::mutex mutex;
  std::mt19937_64 random;
  std::map<std::string, std::string> agents;      // id -> name
  std::map<std::string, Credential> credentials;  // secret -> credential
  std::map<std::string, Registration> claims;     // nonce -> registration
  std::map<std::string, Session> sessions;        // session token -> session
  std::vector<Record> received;
  std::map<std::string, int> nextRecord;  // agent id -> number of its next record file
  std::set<std::string> suspendedAgents;
  bool suspended = false;
};

}  // namespace ostrivel::api
