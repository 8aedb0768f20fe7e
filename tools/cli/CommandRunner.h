// The subcommands. Each runs, in this one process, the chain of operations
// it needs (the session and the pushed keys live in memory only), reports
// through a Report and returns the exit status.
#pragma once

#include <string>

#include "facade/ProxyHelper.h"
#include "tools/cli/ConformanceCheck.h"
#include "tools/cli/ConnectLoop.h"
#include "tools/cli/Console.h"
#include "tools/cli/Settings.h"
#include "tools/cli/Views.h"

namespace proxycli {

struct RegisterRequest {
  std::string user;  // empty: the global user
  std::string phone;
  std::string email;
  std::string qq;
  std::string memo;
};

struct RechargeRequest {
  std::string cardNo;
  std::string cardPassword;
};

struct ServersOptions {
  bool local = false;  // from the cache, offline
  CatalogueFilter filter;
  bool jsonLines = false;  // one JSON object per server and line, over --json
};

class CommandRunner {
 public:
  CommandRunner(const Settings& settings, Console& console) : settings_(settings), console_(console) {}

  int Version();
  int Register(const RegisterRequest& request);
  int Recharge(const RechargeRequest& request);
  // Signs in, reads the account state and pushed configuration, signs out.
  int Account();
  // Remote: signs in, fetches the keys and the catalogue, signs out. Local:
  // rebuilds the catalogue from the cache with the kept keys, offline.
  // Either way only what the filter keeps is shown.
  int Servers(const ServersOptions& options);
  int Ratio();
  // Installs the Ctrl-C/SIGTERM handlers; `events` may be null.
  int Connect(const ConnectOptions& options, ConnectEvents* events = nullptr);
  // The service's conformance, rule by rule (ConformanceCheck.h).
  int Check(const CheckOptions& options);

 private:
  // Fills `password` from the settings or, on a terminal, a no-echo prompt;
  // reports a usage error otherwise.
  bool ResolveUser(class Report& report, std::string* user);
  bool ResolvePassword(class Report& report, const std::string& user, std::string* password);
  // The user name, then the password for it.
  bool ResolveIdentity(class Report& report, UserIdentity* identity);

  const Settings& settings_;
  Console& console_;
};

}  // namespace proxycli
