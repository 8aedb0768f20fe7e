#include "tools/cli/CommandRunner.h"

#include "tools/cli/HostSetup.h"
#include "tools/cli/PasswordPrompt.h"
#include "tools/cli/Report.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/StopSignal.h"
#include "tools/cli/Views.h"

namespace proxycli {

namespace {

// The host library set up for this run, or a usage error.
bool Prepare(const Settings& settings, Report& report, HostPaths* paths) {
  std::string error;
  if (PrepareHost(settings, paths, &error)) return true;
  report.UsageError(error);
  return false;
}

}  // namespace

bool CommandRunner::ResolveUser(Report& report, std::string* user) {
  if (!settings_.user.empty()) {
    *user = settings_.user;
    return true;
  }
  report.UsageError("no user name: use --user, PROXYHELPER_USER or \"user\" in the configuration file");
  return false;
}

bool CommandRunner::ResolvePassword(Report& report, const std::string& user, std::string* password) {
  if (!settings_.password.empty()) {
    *password = settings_.password;
    return true;
  }
  if (console_.inputIsTerminal && ReadPasswordNoEcho("Password for " + user + ": ", password)) return true;
  report.UsageError("no password: use --password or PROXYHELPER_PASSWORD, or run on a terminal to be asked");
  return false;
}

bool CommandRunner::ResolveIdentity(Report& report, UserIdentity* identity) {
  return ResolveUser(report, &identity->username) &&
         ResolvePassword(report, identity->username, &identity->password);
}

int CommandRunner::Version() {
  Report report(console_, "version", settings_.json);
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  report.data()["client_version"] = settings_.clientVersion;
  report.data()["agent"] = settings_.agent;
  std::string version;
  if (calls.GetVersion(version)) {
    report.data()["service_version"] = version;
    report.Print("client  " + settings_.agent + " " + settings_.clientVersion + "\nservice " + version +
                 "\n");
  }
  return report.Finish();
}

int CommandRunner::Register(const RegisterRequest& request) {
  Report report(console_, "register", settings_.json);
  RegInfo info;
  info.username = request.user;
  if ((info.username.empty() && !ResolveUser(report, &info.username)) ||
      !ResolvePassword(report, info.username, &info.password)) {
    return report.Finish();
  }
  // A mistyped new password would lock the account out: ask twice.
  std::string repeated;
  if (settings_.password.empty() &&
      (!ReadPasswordNoEcho("Repeat the password: ", &repeated) || repeated != info.password)) {
    report.UsageError("the two passwords differ");
    return report.Finish();
  }
  info.phone = request.phone;
  info.email = request.email;
  info.qq = request.qq;
  info.memo = request.memo;
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  report.data()["username"] = info.username;
  if (calls.Register(info)) report.Print("registered " + info.username + "\n");
  return report.Finish();
}

int CommandRunner::Recharge(const RechargeRequest& request) {
  Report report(console_, "recharge", settings_.json);
  RecInfo info;
  if (!ResolveUser(report, &info.username) || !ResolvePassword(report, info.username, &info.password)) {
    return report.Finish();
  }
  info.cardno = request.cardNo;
  info.cardpw = request.cardPassword;
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  report.data()["username"] = info.username;
  report.data()["cardno"] = info.cardno;
  if (calls.Recharge(info)) report.Print("recharged " + info.username + " with card " + info.cardno + "\n");
  return report.Finish();
}

int CommandRunner::Account() {
  Report report(console_, "account", settings_.json);
  UserIdentity identity;
  if (!ResolveIdentity(report, &identity)) return report.Finish();
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  if (!calls.SignIn(identity)) return report.Finish();
  UserInfo info;
  if (calls.GetUserInfo(info)) {
    const ServerConfig* serverConfig = CurrentServerConfig();
    report.data()["user"] = UserInfoJson(info);
    report.data()["config"] = PushedConfigJson(serverConfig);
    report.Print("account\n" + UserInfoText(info) + "pushed configuration\n" +
                 PushedConfigText(serverConfig));
  }
  calls.SignOut();
  return report.Finish();
}

int CommandRunner::Servers(bool local) {
  Report report(console_, "servers", settings_.json);
  report.data()["source"] = local ? "local" : "remote";
  UserIdentity identity;
  if (!local && !ResolveIdentity(report, &identity)) return report.Finish();
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  ServerCatalogue catalogue;
  bool fetched = false;
  if (local) {
    fetched = calls.GetLocalVpnServers(catalogue);
  } else if (calls.SignIn(identity)) {
    // The catalogue request is encrypted under the keys the user info brings.
    UserInfo info;
    fetched = calls.GetUserInfo(info) && calls.GetVpnServers(catalogue);
    calls.SignOut();
  }
  if (fetched) {
    report.data()["groups"] = CatalogueJson(catalogue);
    report.data()["count"] = CatalogueSize(catalogue);
    report.Print(CatalogueText(catalogue));
  }
  return report.Finish();
}

int CommandRunner::Ratio() {
  Report report(console_, "ratio", settings_.json);
  UserIdentity identity;
  if (!ResolveIdentity(report, &identity)) return report.Finish();
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  if (!calls.SignIn(identity)) return report.Finish();
  std::vector<ServerOnlineRatio> ratios;
  if (calls.GetOnlineRatio(ratios)) {
    report.data()["ratios"] = RatiosJson(ratios);
    report.Print(RatiosText(ratios));
  }
  calls.SignOut();
  return report.Finish();
}

int CommandRunner::Connect(const ConnectOptions& options, ConnectEvents* events) {
  Report report(console_, "connect", settings_.json);
  UserIdentity identity;
  if (!ResolveIdentity(report, &identity)) return report.Finish();
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  // A stop left over from an earlier command of this process does not count.
  ClearStopRequest();
  StopSignalScope signals;
  RunConnect(options, identity, calls, report, events);
  return report.Finish();
}

}  // namespace proxycli
