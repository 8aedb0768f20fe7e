#include "tools/cli/CommandRunner.h"

#include <optional>

#include "tools/cli/CatalogueOutput.h"
#include "tools/cli/HostSetup.h"
#include "tools/cli/PasswordFile.h"
#include "tools/cli/PasswordPrompt.h"
#include "tools/cli/Printable.h"
#include "tools/cli/Report.h"
#include "tools/cli/ServiceCalls.h"
#include "tools/cli/SessionClient.h"
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
    report.Print("client  " + Printable(settings_.agent) + " " + Printable(settings_.clientVersion) +
                 "\nservice " + Printable(version) + "\n");
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
  // A running connect for this account lends its session: a sign-in here would end it.
  if (ForwardToConnect(settings_, "account", report)) return report.Finish();
  UserIdentity identity;
  if (!ResolveIdentity(report, &identity)) return report.Finish();
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  ServiceCalls calls(report, paths);
  if (!calls.SignIn(identity)) return report.Finish();
  calls.ShowAccount();
  // The account was shown: a sign-out that cannot reach the service (a
  // pushed list the client cannot reach, say) does not undo that.
  calls.EndSession();
  return report.Finish();
}

int CommandRunner::Servers(const ServersOptions& options) {
  const bool local = options.local;
  // --jsonl prints its lines itself, whatever --json says. The --json
  // document is written here, not by the report: its groups go out as they
  // are formatted, a report would hold them whole.
  const bool jsonDocument = settings_.json && !options.jsonLines;
  Report report(console_, "servers", /*json=*/false);
  report.data()["source"] = local ? "local" : "remote";
  ServerCatalogue catalogue;
  const LentCatalogue lent =
      local ? LentCatalogue::kNoConnect : CatalogueFromConnect(settings_, report, &catalogue);
  UserIdentity identity;
  HostPaths paths;
  bool fetched = false;
  if ((local || lent != LentCatalogue::kNoConnect || ResolveIdentity(report, &identity)) &&
      Prepare(settings_, report, &paths)) {
    ServiceCalls calls(report, paths);
    if (local) {
      fetched = calls.GetLocalVpnServers(catalogue);
    } else if (lent != LentCatalogue::kNoConnect) {
      fetched = lent == LentCatalogue::kFetched;
    } else if (calls.SignIn(identity)) {
      // The catalogue request is encrypted under the keys the user info brings.
      UserInfo info;
      fetched = calls.GetUserInfo(info) && calls.GetVpnServers(catalogue);
      calls.EndSession();
    }
  }
  std::optional<CatalogueSelection> shown;
  if (fetched) {
    shown.emplace(catalogue, options.filter);
    report.data()["count"] = shown->size();
    report.data()["total"] = CatalogueSize(catalogue);
    if (options.jsonLines) {
      WriteCatalogueJsonLines(console_.out, *shown);
    } else if (!jsonDocument) {
      WriteCatalogueText(console_.out, *shown);
    }
  }
  if (jsonDocument) {
    WriteServersDocument(console_.out, report.data(), report.exitStatus(), shown ? &*shown : nullptr);
  }
  // A full disk or a closed pipe must not pass for a shown catalogue.
  if (!console_.out.flush()) {
    report.Failure("servers", -1, "output failed", "the catalogue could not be written to standard output");
  }
  return report.Finish();
}

int CommandRunner::Ratio() {
  Report report(console_, "ratio", settings_.json);
  if (ForwardToConnect(settings_, "ratio", report)) return report.Finish();
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
  calls.EndSession();
  return report.Finish();
}

int CommandRunner::Connect(const ConnectOptions& options, ConnectEvents* events) {
  ConnectCommand command(settings_, console_, options, events);
  UserIdentity identity;
  if (!options.passwordFile.empty()) {
    std::string error;
    if (!settings_.password.empty()) {
      command.report().UsageError("--password-file and a password from the settings exclude each other");
    } else if (ResolveUser(command.report(), &identity.username) &&
               !ReadPasswordFile(options.passwordFile, &identity.password, &error)) {
      command.report().UsageError(error);
    }
    if (command.report().failed()) return command.Finish();
    return command.Run(identity);
  }
  if (!ResolveIdentity(command.report(), &identity)) return command.Finish();
  return command.Run(identity);
}

int CommandRunner::Check(const CheckOptions& options) {
  Report report(console_, "check", settings_.json);
  UserIdentity identity;
  if (!ResolveIdentity(report, &identity)) return report.Finish();
  // The check signs in and out as this user: beside a connect for the same
  // account it would end connect's session.
  const std::string refusal = RefuseBesideConnect(settings_, identity.username, "check");
  if (!refusal.empty()) {
    report.UsageError(refusal);
    return report.Finish();
  }
  HostPaths paths;
  if (!Prepare(settings_, report, &paths)) return report.Finish();
  Settings withUser = settings_;
  withUser.user = identity.username;
  return ReportConformance(RunConformanceCheck(withUser, identity.password, options), settings_.json,
                           console_);
}

}  // namespace proxycli
