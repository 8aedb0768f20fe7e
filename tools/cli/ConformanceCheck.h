// `proxyhelper check`: runs the whole client story against an account
// service and checks, rule by rule, what the client relies on. For people
// who implement the service: every rule names the section of the wire
// protocol it checks.
#pragma once

#include <string>
#include <vector>

#include "tools/cli/Console.h"
#include "tools/cli/Settings.h"

namespace proxycli {

struct CheckOptions {
  int serverId = 0;          // VPN server to lease; 0: the first of the catalogue
  std::string registerUser;  // with --register: an account to create (and see refused the second time)
  std::string cardNo;        // with --card: a prepaid card to credit
  std::string cardPassword;
};

enum class RuleVerdict { kPass, kFail, kSkip };

struct RuleResult {
  std::string id;
  std::string description;
  std::string section;  // "docs/wire-protocol.md#..."
  RuleVerdict verdict = RuleVerdict::kSkip;
  std::string detail;  // what was seen (fail) or why it did not run (skip)
};

struct RuleInfo {
  const char* id;
  const char* description;
  const char* anchor;  // in docs/wire-protocol.md
  const char* needs;   // the id of the rule that must pass for this one to run; "" for none
};

// Every rule, in the order they run.
const std::vector<RuleInfo>& ConformanceRules();

// Runs the check with the user and password of `settings` and returns one
// result per rule, in rule order.
std::vector<RuleResult> RunConformanceCheck(const Settings& settings, const std::string& password,
                                            const CheckOptions& options);

// The table (or with `json`, the JSON document) of the results on
// console.out; returns 0 only when every rule that ran passed, else 1.
int ReportConformance(const std::vector<RuleResult>& results, bool json, Console& console);

}  // namespace proxycli
