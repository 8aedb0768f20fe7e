// `proxyhelper check` against the reference service: every rule passes; with
// a fault injected or a reply tampered with, the rule that covers it fails
// and says what it saw, while the others still run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/CliFixture.h"
#include "support/ScriptedServer.h"
#include "tools/cli/ConformanceCheck.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/Seed.h"
#include "wire/Reply.h"

namespace clitest {
namespace {

// The rules' verdicts and details, by id, from `check --json`.
struct Verdicts {
  std::map<std::string, std::string> verdict;
  std::map<std::string, std::string> detail;
};

Verdicts Parse(const Outcome& outcome) {
  Verdicts verdicts;
  const nlohmann::json document = outcome.Json();
  if (!document.is_object() || !document.contains("rules")) {
    ADD_FAILURE() << "no JSON document: " << outcome.out << outcome.err;
    return verdicts;
  }
  for (const auto& rule : document["rules"]) {
    verdicts.verdict[rule["id"]] = rule["verdict"];
    verdicts.detail[rule["id"]] = rule["detail"];
  }
  return verdicts;
}

// The reference service behind a front end that alters its answers.
class TamperingService {
 public:
  using Tamper = std::function<void(const std::string& script, std::string* profile)>;

  TamperingService(const std::string& seedText, Tamper tamper, bool wrongKey = false) {
    std::string error;
    EXPECT_TRUE(devserver::ParseSeed(seedText, &seed_, &error)) << error;
    service_ = std::make_unique<devserver::AccountService>(seed_, devserver::ServiceOptions());
    server_.SetResponder([this, tamper, wrongKey](const testsupport::RecordedRequest& request) {
      const std::string prefix = "/vpn_intl/";
      const std::string script = request.target.compare(0, prefix.size(), prefix) == 0
                                     ? request.target.substr(prefix.size())
                                     : request.target;
      devserver::HttpAnswer answer = service_->Handle(script, request.body);
      if (answer.status == 200) {
        std::string profile = answer.profile;
        if (tamper) tamper(script, &profile);
        const char letter = answer.body.empty() ? 'Z' : answer.body[0];
        const std::string* key = service_->keys().ForLetter(letter);
        const std::string item = wrongKey ? "a key never pushed" : (key != nullptr ? *key : std::string());
        answer.body = wire::EncodeReply(profile, letter, item, wire::kDefaultCompressThreshold);
      }
      return testsupport::Script::Respond(answer.status, answer.body);
    });
    EXPECT_TRUE(server_.Start());
    service_->SetListenAddresses({Address()});
  }
  std::string Address() const { return server_.HostPort(); }

 private:
  devserver::SeedData seed_;
  std::unique_ptr<devserver::AccountService> service_;
  testsupport::ScriptedServer server_;
};

// "result=N" of a refusal made to read "result=0".
void RefusalsReadAsSuccess(const std::string&, std::string* profile) {
  if (profile->compare(0, 7, "result=") == 0 && profile->compare(0, 9, "result=0\n") != 0) {
    profile->replace(0, profile->find('\n'), "result=0");
  }
}

void WithoutErrdesc(const std::string&, std::string* profile) {
  const std::size_t at = profile->find("errdesc=");
  if (at != std::string::npos) profile->erase(at, profile->find('\n', at) - at + 1);
}

// The pushed server list gains an entry the client cannot use.
void BrokenPushedEntry(const std::string&, std::string* profile) {
  const std::size_t at = profile->find("\nlogin_server=");
  if (at != std::string::npos) profile->insert(at + 14, "[::1;");
}

TEST_F(CliTest, CheckPassesEveryRuleAgainstTheReferenceService) {
  StartService(/*deadFirst=*/false);
  const Outcome outcome = Run(Carol({"--json", "check", "--server-id", "7", "--register", "newcomer",
                                     "--card", "C-1", "--card-password", "c1"}));
  EXPECT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  const Verdicts verdicts = Parse(outcome);
  ASSERT_EQ(verdicts.verdict.size(), 20u);
  for (const auto& [id, verdict] : verdicts.verdict) {
    EXPECT_EQ(verdict, "pass") << id << ": " << verdicts.detail.at(id);
  }
  // The text table: one line per rule and the tally.
  const Outcome text = Run(Carol({"check", "--server-id", "7"}));
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("pass  keyed.undecodable-refused"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("skip  register.accepted"), std::string::npos);
  EXPECT_NE(text.out.find("18 passed, 0 failed, 2 skipped"), std::string::npos) << text.out;
}

TEST_F(CliTest, CheckNamesTheRuleATamperedServiceBreaks) {
  struct Case {
    const char* name;
    TamperingService::Tamper tamper;
    bool wrongKey;
    std::vector<std::pair<std::string, std::string>> failing;  // rule id, a word of its detail
  };
  const std::vector<Case> cases = {
      {"refusals read as success",
       RefusalsReadAsSuccess,
       false,
       {{"signin.refused", "accepted"},
        {"lease.gone", "accepted"},
        {"signout.ends-session", "still answered"}}},
      {"refusals without errdesc", WithoutErrdesc, false, {{"signin.refused", "errdesc"}}},
      {"a broken pushed entry", BrokenPushedEntry, false, {{"userinfo.servers", "\"[::1\""}}},
      {"keyed replies under a key never pushed",
       nullptr,
       true,
       // Bytes decrypted under the wrong key may even parse, as a reply
       // with a verdict of garbage: either way the catalogue is not had, and
       // the attempt behind it is named with the server it went to.
       {{"catalogue.decodes", "0x7000006"},
        {"catalogue.decodes", "(127.0.0.1:"},
        {"catalogue.keyed", "does not decode"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TamperingService service(kSeed, c.tamper, c.wrongKey);
    const Outcome outcome = Run({"--servers", service.Address(), "-u", "carol", "-p", "carol-pw", "--json",
                                 "check", "--server-id", "7"});
    EXPECT_EQ(outcome.status, 1);
    const Verdicts verdicts = Parse(outcome);
    for (const auto& [id, word] : c.failing) {
      EXPECT_EQ(verdicts.verdict.at(id), "fail") << id;
      EXPECT_NE(verdicts.detail.at(id).find(word), std::string::npos) << id << ": " << verdicts.detail.at(id);
    }
    // The story went on past the broken rule.
    EXPECT_EQ(verdicts.verdict.at("version.answered"), "pass");
    EXPECT_EQ(verdicts.verdict.at("signin.accepted"), "pass");
    EXPECT_NE(verdicts.verdict.at("replies.within-limits"), "skip");
  }
}

TEST_F(CliTest, CheckReportsAnUnreachableServiceOnceAndSkipsTheRest) {
  std::string error;
  devserver::SeedData seed;
  ASSERT_TRUE(devserver::ParseSeed(kSeed, &seed, &error));
  devserver::AccountService service(seed, devserver::ServiceOptions());
  const std::pair<devserver::FaultMode, const char*> faults[] = {
      {devserver::FaultMode::kStatus500, ": http status 500"},
      {devserver::FaultMode::kClose, ": no response"},
      {devserver::FaultMode::kGarbage, ": unparsable reply"}};
  for (const auto& [fault, cause] : faults) {
    devserver::DevServer server(&service);
    devserver::ListenSpec spec;
    spec.host = "127.0.0.1";
    spec.fault = fault;
    ASSERT_TRUE(server.Start({spec}, &error)) << error;
    const Outcome outcome = Run(
        {"--servers", server.listeners()[0].Address(), "-u", "carol", "-p", "carol-pw", "--json", "check"});
    EXPECT_EQ(outcome.status, 1);
    const Verdicts verdicts = Parse(outcome);
    EXPECT_EQ(verdicts.verdict.at("version.answered"), "fail");
    EXPECT_NE(verdicts.detail.at("version.answered").find("RESULT_TRANSPORT_FAILURE"), std::string::npos);
    // The cause, as the attempt trace words it.
    EXPECT_NE(verdicts.detail.at("version.answered").find(cause), std::string::npos)
        << verdicts.detail.at("version.answered");
    EXPECT_EQ(verdicts.verdict.at("lease.granted"), "skip");
    EXPECT_EQ(verdicts.detail.at("lease.granted"), "no account server answered");
  }
}

// The wire protocol page lists every rule, with the section it checks.
TEST(CheckRules, TheWireProtocolPageListsEveryRule) {
  const char* root = std::getenv("PROXYHELPER_SOURCE_DIR");
  ASSERT_NE(root, nullptr);
  std::ifstream file(std::string(root) + "/docs/wire-protocol.md");
  const std::string page((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::string table = page.substr(page.find("## 13. Checking a service"));
  ASSERT_EQ(proxycli::ConformanceRules().size(), 20u);
  for (const proxycli::RuleInfo& rule : proxycli::ConformanceRules()) {
    const std::string row = std::string("| `") + rule.id + "` | " + rule.description + " | [" + rule.anchor +
                            "](#" + rule.anchor + ") |";
    EXPECT_NE(table.find(row), std::string::npos) << row;
  }
}

}  // namespace
}  // namespace clitest
