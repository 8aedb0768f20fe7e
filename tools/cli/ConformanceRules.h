// The rules of `proxyhelper check` as data: what one run observed, gathered
// once, and per rule a row (id, description, section, the rules it needs)
// whose verdict is a pure function of those observations.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "facade/Records.h"
#include "hostlib/quillon.h"
#include "tools/cli/ConformanceCheck.h"

namespace proxycli {

// One library operation of the story.
struct Call {
  int result = RESULT_TRANSPORT_FAILURE;
  std::string errdesc;
  std::vector<std::string> causes;  // its attempts that did not end parsed, as -v words them
};

// One raw exchange (ProxyHelperControl::RawExchange) and its reply, decoded
// as the client decodes it.
struct RawCall {
  int status = 0;      // 0 when none arrived
  bool whole = false;  // a whole 200 body arrived
  char letter = 0;
  bool compressed = false;
  bool decoded = false;   // profile text whose first section is the envelope with "result"
  std::size_t lines = 0;  // of the decoded text that did not parse
  CProfileFile profile;
  std::vector<std::string> causes;
};

// In story order; a call the story did not reach keeps its defaults.
struct Observations {
  std::string givenServers;  // the list the user gave
  Call version;
  std::string versionText;
  Call wrongSignIn, signIn;
  bool magic = false;
  Call userInfo;
  bool keys[3] = {false, false, false};  // m1, m2, m3 pushed and not empty
  int heartbeatSlot = 0, ratioSlot = 0;
  RawCall rawUserInfo;
  Call viaPushed;  // GetVersion once the pushed list is in force
  Call catalogue;
  std::size_t catalogueServers = 0, catalogueGroups = 0;
  RawCall rawCatalogue;
  Call ratio;
  std::vector<ServerOnlineRatio> ratios;
  int serverId = 0;
  Call lease;
  bool lent = false;  // the lease carries a user name and a password
  Call handshakes, release, afterRelease, signOut, afterSignOut;
  RawCall undecodable;
  std::size_t largestBody = 0;
  std::vector<std::string> oversized;  // attempts whose body was over the bound
  int maxBody = 0, maxEntries = 0;
  bool registerAsked = false, rechargeAsked = false;
  Call registered, registeredAgain, recharge;
};

struct Finding {
  RuleVerdict verdict = RuleVerdict::kSkip;
  std::string detail;
};

// Every rule in order: skipped when no account server answered, or when the
// rule it needs did not pass (the detail names it), else its own verdict.
std::vector<RuleResult> EvaluateRules(const Observations& seen);

}  // namespace proxycli
