// The rules of `proxyhelper check`, one table: observations of a conforming
// service with one thing changed in, each rule's verdict and detail out,
// dependencies and the unreachable service included.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tools/cli/ConformanceRules.h"

namespace {

using proxycli::Call;
using proxycli::Observations;
using proxycli::RawCall;
using proxycli::RuleVerdict;
using O = Observations&;

const Call kOk{0, "", {}};
Call Unreached(const std::string& cause) { return {RESULT_TRANSPORT_FAILURE, "", {cause}}; }

RawCall Reply(char letter, const std::string& text) {
  RawCall raw;
  raw.status = 200;
  raw.whole = true;
  raw.letter = letter;
  raw.decoded = raw.profile.Load(text);
  return raw;
}

Observations Conforming() {
  Observations s;
  s.givenServers = "127.0.0.1:8080, https://[::1]:8443";
  s.version = kOk;
  s.versionText = "9.8.7";
  s.wrongSignIn = {2, "wrong password", {"127.0.0.1:8080: refused by the service (result 2)"}};
  s.signIn = s.userInfo = s.viaPushed = s.catalogue = s.ratio = kOk;
  s.lease = s.handshakes = s.release = s.signOut = s.registered = s.recharge = kOk;
  s.magic = s.lent = s.registerAsked = s.rechargeAsked = true;
  s.keys[0] = s.keys[1] = s.keys[2] = true;
  s.heartbeatSlot = 7;
  s.ratioSlot = 11;
  s.rawUserInfo = Reply('Z', "result=0\n[config]\nlogin_server=127.0.0.1:8080;https://[::1]:8443\n");
  s.catalogueServers = 2;
  s.catalogueGroups = 1;
  s.rawCatalogue = Reply('A', "result=0\n[beta]\n7=Beta 7,b7.example,2,Here\n8=Beta 8,b8.example,1,There\n");
  s.ratios = {ServerOnlineRatio("7", "40")};
  s.serverId = 7;
  s.afterRelease = {8, "no lease", {}};
  s.afterSignOut = {5, "no session", {}};
  s.undecodable.status = 400;
  s.maxBody = 1 << 20;
  s.maxEntries = 100;
  s.registeredAgain = {3, "name taken", {}};
  return s;
}

TEST(ConformanceRules, AConformingServicePassesEveryRule) {
  const std::vector<proxycli::RuleResult> results = proxycli::EvaluateRules(Conforming());
  ASSERT_EQ(results.size(), proxycli::ConformanceRules().size());
  for (const proxycli::RuleResult& result : results)
    EXPECT_EQ(result.verdict, RuleVerdict::kPass) << result.id << ": " << result.detail;
}

TEST(ConformanceRules, EachRuleNamesWhatItSaw) {
  const RuleVerdict kFail = RuleVerdict::kFail, kSkip = RuleVerdict::kSkip, kPass = RuleVerdict::kPass;
  struct Case {
    std::function<void(O)> change;
    const char* rule;
    RuleVerdict verdict;
    const char* detail;  // a part of it
  };
  const auto unreached = [](O s) { s.version = Unreached("127.0.0.1:9: connection refused"); };
  const auto refusedSignIn = [](O s) { s.signIn = {2, "wrong password", {}}; };
  const auto keyMissing = [](O s) { s.keys[1] = false; };
  const auto unkeyed = [](O s) { s.rawCatalogue.letter = 'Z'; };
  const auto tooManyLines = [](O s) {
    s.rawCatalogue.decoded = false;
    s.rawCatalogue.lines = 101;
  };
  const auto noServerId = [](O s) { s.serverId = 0; };
  const auto catalogue = [](const char* text) { return [text](O s) { s.rawCatalogue = Reply('A', text); }; };
  const Case cases[] = {
      {unreached, "version.answered", kFail, "RESULT_TRANSPORT_FAILURE (127.0.0.1:9: connection refused)"},
      {unreached, "lease.granted", kSkip, "no account server answered"},
      {[](O s) { s.versionText.clear(); }, "version.answered", kFail, "without \"ver\""},
      {[](O s) { s.givenServers += " 127.0.0.1:99999;a/b"; }, "version.answered", kFail,
       "cannot use: \"127.0.0.1:99999\", \"a/b\""},
      {refusedSignIn, "signin.accepted", kFail, "service result: wrong password"},
      {refusedSignIn, "userinfo.keys", kSkip, "needs signin.accepted, which failed"},
      {[](O s) { s.magic = false; }, "signin.accepted", kFail, "\"magic\""},
      {[](O s) { s.wrongSignIn = kOk; }, "signin.refused", kFail, "was accepted"},
      {[](O s) { s.wrongSignIn.result = RESULT_NOT_SUCCEEDED; }, "signin.refused", kFail, "reads as 0"},
      {[](O s) { s.wrongSignIn.errdesc.clear(); }, "signin.refused", kFail, "no \"errdesc\""},
      {[](O s) { s.wrongSignIn = Unreached("x:1: stall"); }, "signin.refused", kFail, "(x:1: stall)"},
      {keyMissing, "userinfo.keys", kFail, "missing or empty: m2"},
      {keyMissing, "catalogue.decodes", kSkip, "needs userinfo.keys, which failed"},
      {[](O s) { s.ratioSlot = 0; }, "userinfo.timing", kFail, "online ratio 0 (want both"},
      {[](O s) { s.rawUserInfo = Reply('Z', "result=0\n[config]\nlogin_server=127.0.0.1:80;[::1\n"); },
       "userinfo.servers", kFail, "pushed entries the client cannot use: \"[::1\""},
      {[](O s) {
         s.rawUserInfo =
             Reply('Z', "result=0\n[config]\nlogin_server=" +
                            std::string(9000, ';').replace(0, 18, "a/1;a/2;a/3;a/4;a/5;a/6") + "\n");
       },
       "userinfo.servers", kFail, "\"a/1\", \"a/2\", \"a/3\", \"a/4\" and 2 more"},
      {[](O s) { s.viaPushed = Unreached("[::1]:8443 (tls): connect timeout"); }, "userinfo.servers", kFail,
       "do not answer: 0x70000066 RESULT_TRANSPORT_FAILURE ([::1]:8443 (tls): connect timeout)"},
      {[](O s) { s.rawUserInfo = Reply('Z', "result=0\n"); }, "userinfo.servers", kSkip, "no login_server"},
      {[](O s) { s.catalogue = Unreached("x:1: unparsable reply"); }, "catalogue.decodes", kFail,
       "RESULT_TRANSPORT_FAILURE (x:1: unparsable reply)"},
      {[](O s) { s.catalogueServers = 0; }, "catalogue.decodes", kFail, "no servers"},
      {unkeyed, "catalogue.keyed", kFail, "reply letter 'Z', want A, B or C"},
      {unkeyed, "catalogue.groups", kSkip, "needs catalogue.keyed, which failed"},
      {[](O s) { s.rawCatalogue.decoded = false; }, "catalogue.keyed", kFail, "does not decode"},
      {[](O s) { s.rawCatalogue = RawCall{500, false, 0, false, false, 0, {}, {"x:1: http status 500"}}; },
       "catalogue.keyed", kFail, "HTTP status 500 (x:1: http status 500)"},
      {tooManyLines, "catalogue.keyed", kFail, "101 lines, over the entry bound 100"},
      {tooManyLines, "replies.within-limits", kFail, "101 lines is over the entry bound 100"},
      {catalogue("result=0\n7=a,b,1,c\n[g]\n8=a,b,1,c\n"), "catalogue.groups", kFail, "\"7\" outside"},
      {catalogue("result=0\n"), "catalogue.groups", kFail, "no named section"},
      {catalogue("result=0\n[g]\n7=a,b,1\n"), "catalogue.fields", kFail, "7: 3 fields, want 4"},
      {catalogue("result=0\n[g]\nx7=a,b,1,c\n"), "catalogue.fields", kFail, "id \"x7\" is not a number"},
      {catalogue("result=0\n[g]\n7=a,b,high,c\n"), "catalogue.fields", kFail, "level \"high\""},
      {[](O s) { s.ratios = {ServerOnlineRatio("7", "101")}; }, "ratio.parses", kFail, "ratio \"101\""},
      {noServerId, "lease.granted", kSkip, "--server-id"},
      {noServerId, "lease.handshakes", kSkip, "needs lease.granted, which was skipped"},
      {[](O s) {
         s.lease = {9, "pool empty", {}};
       },
       "lease.granted", kFail, "pool empty"},
      {[](O s) { s.lent = false; }, "lease.granted", kFail, "password empty"},
      {[](O s) {
         s.handshakes = {8, "no lease", {}};
       },
       "lease.handshakes", kFail, "no lease"},
      {[](O s) { s.release = Unreached("x:1: stall"); }, "lease.gone", kSkip, "needs lease.released"},
      {[](O s) { s.afterRelease = kOk; }, "lease.gone", kFail, "accepted"},
      {[](O s) { s.afterRelease = Unreached("x:1: deadline"); }, "lease.gone", kFail, "(x:1: deadline)"},
      {[](O s) { s.afterSignOut = kOk; }, "signout.ends-session", kFail, "still answered"},
      {[](O s) { s.undecodable = Reply('B', "result=0\n"); }, "keyed.undecodable-refused", kFail,
       "\"result=0\""},
      {[](O s) { s.undecodable = Reply('B', "result=4\n"); }, "keyed.undecodable-refused", kPass, "result 4"},
      {[](O s) { s.undecodable = RawCall{0, false, 0, false, false, 0, {}, {"x:1: no response"}}; },
       "keyed.undecodable-refused", kFail, "no answer (x:1: no response)"},
      {[](O s) { s.oversized = {"x:1: body too big"}; }, "replies.within-limits", kFail,
       "over 1048576 bytes: x:1: body too big"},
      {[](O s) { s.registeredAgain = kOk; }, "register.accepted", kFail, "registered twice"},
      {[](O s) { s.registeredAgain.errdesc.clear(); }, "register.accepted", kFail, "\"errdesc\""},
      {[](O s) { s.registerAsked = false; }, "register.accepted", kSkip, "not asked"},
      {[](O s) {
         s.recharge = {6, "card used", {}};
       },
       "recharge.accepted", kFail, "card used"},
  };
  for (const Case& c : cases) {
    Observations seen = Conforming();
    c.change(seen);
    bool found = false;
    for (const proxycli::RuleResult& result : proxycli::EvaluateRules(seen)) {
      if (result.id != c.rule) continue;
      found = true;
      EXPECT_EQ(result.verdict, c.verdict) << c.rule << ": " << result.detail;
      EXPECT_NE(result.detail.find(c.detail), std::string::npos) << c.rule << ": " << result.detail;
    }
    EXPECT_TRUE(found) << c.rule;
  }
}

}  // namespace
