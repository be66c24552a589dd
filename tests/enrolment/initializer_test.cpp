// Enrolment over a scripted web API and a recording wait: requests, lines, waits and stored values.
#include "enrolment/initializer.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/in_memory_file_system.h"
#include "support/in_memory_registry.h"
#include "support/recording_logger.h"
#include "support/scripted_http_request.h"

namespace ostrivel {
namespace {

using testing::InMemoryFileSystem;
using testing::InMemoryRegistry;
using testing::RecordingLogger;
using testing::ScriptedHttpRequest;

const std::string kComputer = "DESK 1#\xC3\xA9";
const std::string kOs = "Windows 10.0.19045";
const std::string kClaim = R"({"secret":"osv_Abc-123_x","tokenId":"t-1","agentId":"agent-7"})";

struct Enrolment {
  RecordingLogger log;
  InMemoryRegistry registry;
  InMemoryFileSystem files;
  ScriptedHttpRequest http{"https://api.test/"};
  Identity apiIdentity;
  ApiClient api{http, apiIdentity, log};
  IdentityStore identities{files, registry, "C:\\ProgramData\\Ostrivel"};
  std::vector<std::int32_t> waits;
  std::stop_source stop;
  std::size_t stopAfterWaits = 1000;
  Initializer initializer{
      log, registry, identities, api, kComputer, "2026.1.0.10", kOs, 10, std::bind_front(&Enrolment::wait, this)};

  // Notes the wait; a stop requested after the chosen number of them ends enrolment.
  void wait(std::int32_t seconds, std::stop_token) {
    waits.push_back(seconds);
    if (waits.size() >= stopAfterWaits) {
      stop.request_stop();
    }
  }

  // Registration hands out nonce "n-1"; its claim poll gives these answers (the last repeats).
  void scriptClaim(std::vector<HttpResponse> answers) {
    http.script("register", {{200, R"({"nonce":"n-1"})"}});
    http.script("register/n-1", std::move(answers));
  }
  bool ensureReady(Identity& identity) { return initializer.ensureReady(identity, stop.get_token()); }
  std::optional<std::string> value(const std::string& name) { return registry.peek("parameters", name); }
};

TEST(Initializer, RegistersWaitsForApprovalAndStoresTheClaim) {
  Enrolment e;
  e.scriptClaim({{202, ""}, {202, ""}, {200, kClaim}});
  Identity identity;
  ASSERT_TRUE(e.ensureReady(identity));

  EXPECT_EQ(identity, (Identity{"agent-7", "DESK-1---", "osv_Abc-123_x"}));
  const auto sent = e.http.sent();
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].method, "POST");
  EXPECT_EQ(sent[0].url, "https://api.test/register");
  EXPECT_EQ(sent[0].body, R"({"agentVersion":"2026.1.0.10","computerName":"DESK-1---","os":"Windows 10.0.19045"})");
  EXPECT_EQ(sent[1].method, "GET");
  EXPECT_EQ(sent[4].method, "DELETE");
  EXPECT_EQ(sent[4].path, "register/n-1");
  for (const auto& request : sent) {
    EXPECT_EQ(request.token, "");  // enrolment never carries a credential
  }
  EXPECT_EQ(e.waits, (std::vector<std::int32_t>{10, 10}));

  EXPECT_EQ(e.value("AgentState"), "ok");
  EXPECT_EQ(e.value("AgentId"), "agent-7");
  EXPECT_EQ(e.value("PendingNonce"), std::nullopt);
  EXPECT_EQ(e.identities.loadIdentity(), identity);
  EXPECT_EQ(e.log.messages(),
            (std::vector<std::string>{
                "[initializer] registration started", "[initializer] polling the registration claim",
                "[initializer] polling the registration claim", "[initializer] polling the registration claim",
                "[initializer] registration claimed", "[initializer] agent ready"}));
}

TEST(Initializer, UsesAStoredCredentialOrResumesAPendingNonceWithoutRegistering) {
  Enrolment stored;
  stored.registry.seed("parameters", "ErrorCode", "revoked");
  ASSERT_TRUE(stored.identities.saveIdentity({"a", "PC", "osv_stored"}));
  Identity identity;
  ASSERT_TRUE(stored.ensureReady(identity));
  EXPECT_EQ(identity.token, "osv_stored");
  EXPECT_TRUE(stored.http.sent().empty());
  EXPECT_EQ(stored.value("AgentState"), "ok");
  EXPECT_EQ(stored.value("ErrorCode"), std::nullopt);

  Enrolment pending;
  pending.registry.seed("parameters", "PendingNonce", "n-9");
  pending.http.script("register/n-9", {{200, kClaim}});
  ASSERT_TRUE(pending.ensureReady(identity));
  EXPECT_TRUE(pending.http.sentTo("register").empty());
  EXPECT_EQ(pending.http.sent().front().path, "register/n-9");

  // One an older version stored unchecked is never sent: registration starts anew.
  Enrolment unusable;
  unusable.registry.seed("parameters", "PendingNonce", "n/9");
  unusable.scriptClaim({{200, kClaim}});
  ASSERT_TRUE(unusable.ensureReady(identity));
  EXPECT_EQ(unusable.http.sent().front().path, "register");
}

TEST(Initializer, RetriesRegisterAnswersWithoutANonceOrWithAnError) {
  Enrolment e;
  // Only a URL-safe token of at most 128 characters counts as a nonce.
  const std::string longest = "-" + std::string(127, 'n');
  const auto nonce = [](const std::string& text) { return HttpResponse{200, R"({"nonce":")" + text + "\"}"}; };
  e.http.script(
      "register",
      {{200, "{}"}, {200, R"({"nonce":5})"}, {503, "busy"}, nonce("../x\\n"), nonce("n" + longest), nonce(longest)});
  e.http.script("register/" + longest, {{200, kClaim}});
  Identity identity;
  ASSERT_TRUE(e.ensureReady(identity));
  EXPECT_EQ(e.log.count("[initializer] register answered without a nonce"), 4u);
  EXPECT_TRUE(e.log.contains("[initializer] register -> 503"));
  EXPECT_EQ(e.waits, std::vector<std::int32_t>(5, 10));
  for (const auto& line : e.log.lines()) {
    if (line.message.find("register") != std::string::npos && line.message.find("nonce") != std::string::npos) {
      EXPECT_EQ(line.level, kLevelWarn);
    }
  }
}

TEST(Initializer, StepsTheWaitingPeriodsWhileApprovalTakesLong) {
  Enrolment e;
  std::vector<HttpResponse> answers(60, HttpResponse{202, ""});
  answers.push_back({200, kClaim});
  e.scriptClaim(answers);
  Identity identity;
  ASSERT_TRUE(e.ensureReady(identity));
  ASSERT_EQ(e.waits.size(), 60u);
  EXPECT_EQ(std::count(e.waits.begin(), e.waits.begin() + 30, 10), 30);
  EXPECT_EQ(std::count(e.waits.begin() + 30, e.waits.begin() + 55, 60), 25);
  EXPECT_EQ(std::count(e.waits.begin() + 55, e.waits.end(), 600), 5);
  EXPECT_EQ(e.log.count("[initializer] polling the registration claim"), 61u);
  EXPECT_EQ(e.log.lines().size(), 61u + 3u);  // started, the polls, claimed, ready: nothing else
}

TEST(Initializer, StartsOverWhenTheClaimIsUnreadableOrGone) {
  Enrolment e;
  e.scriptClaim({{200, R"({"secret":"osv_","tokenId":"t","agentId":"a"})"},
                 {200, R"({"secret":"osv_a.b","tokenId":"t","agentId":"a"})"},
                 {200, R"({"secret":"osv_ok","tokenId":"","agentId":"a"})"},
                 {410, ""},
                 {500, ""},
                 {200, R"({"secret":"osv_ok","tokenId":"t"})"}});
  Identity identity;
  ASSERT_TRUE(e.ensureReady(identity));
  EXPECT_EQ(e.log.count("[initializer] claim unreadable, starting over"), 3u);
  EXPECT_EQ(e.log.count("[initializer] claim gone, starting over"), 1u);
  EXPECT_TRUE(e.log.contains("[initializer] claim poll -> 500"));
  EXPECT_EQ(e.http.sentTo("register").size(), 5u);  // the 500 keeps the nonce
  // A claim without "agentId" stores an empty id.
  EXPECT_EQ(identity.id, "");
  EXPECT_EQ(e.value("AgentId"), "");
}

TEST(Initializer, GivesUpKeepingTheNonceWhenStoppedDuringAWaitOrWhenTheCredentialCannotBeSaved) {
  Enrolment e;
  e.stopAfterWaits = 3;
  e.scriptClaim({{202, ""}});
  Identity identity;
  EXPECT_FALSE(e.ensureReady(identity));
  EXPECT_EQ(e.waits.size(), 3u);
  EXPECT_EQ(e.http.sent().size(), 4u);  // register and three polls, nothing after the stop
  EXPECT_EQ(e.value("PendingNonce"), "n-1");
  EXPECT_EQ(e.value("AgentState"), "registering");

  Enrolment full;
  full.files.setFault([](testing::FsOp op, const std::string&) { return op == testing::FsOp::writeAtomic; });
  full.scriptClaim({{200, kClaim}});
  EXPECT_FALSE(full.ensureReady(identity));
  EXPECT_EQ(full.value("PendingNonce"), "n-1");
  EXPECT_EQ(full.http.sentTo("register/n-1").size(), 1u);  // no DELETE of the claim
}

TEST(Initializer, DroppedCredentialEnrolsAgainNamingThePreviousAgent) {
  Enrolment e;
  ASSERT_TRUE(e.identities.saveIdentity({"abc", "PC", "osv_old"}));
  e.registry.seed("parameters", "AgentId", "abc");
  e.initializer.dropCredential();
  EXPECT_EQ(e.value("PreviousAgentId"), "abc");
  EXPECT_EQ(e.value("AgentId"), std::nullopt);
  EXPECT_EQ(e.identities.loadIdentity(), std::nullopt);
  EXPECT_TRUE(e.log.contains("[initializer] credential dropped, enrolment starts over"));

  e.scriptClaim({{200, kClaim}});
  Identity identity;
  ASSERT_TRUE(e.ensureReady(identity));
  EXPECT_NE(e.http.sentTo("register").front().body.find(R"("previousAgentId":"abc")"), std::string::npos);
  EXPECT_EQ(e.value("PreviousAgentId"), std::nullopt);
}

}  // namespace
}  // namespace ostrivel
