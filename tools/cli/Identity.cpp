#include "tools/cli/Identity.h"

#include "tools/cli/PasswordPrompt.h"

namespace proxycli {

bool ResolveUser(const Settings& settings, Report& report, std::string* user) {
  if (!settings.user.empty()) {
    *user = settings.user;
    return true;
  }
  report.UsageError("no user name: use --user, PROXYHELPER_USER or \"user\" in the configuration file");
  return false;
}

bool ResolvePassword(const Settings& settings, Console& console, Report& report, const std::string& user,
                     std::string* password) {
  if (!settings.password.empty()) {
    *password = settings.password;
    return true;
  }
  if (console.inputIsTerminal && ReadPasswordNoEcho("Password for " + user + ": ", password)) return true;
  report.UsageError("no password: use --password or PROXYHELPER_PASSWORD, or run on a terminal to be asked");
  return false;
}

bool ResolveIdentity(const Settings& settings, Console& console, Report& report, UserIdentity* identity) {
  return ResolveUser(settings, report, &identity->username) &&
         ResolvePassword(settings, console, report, identity->username, &identity->password);
}

}  // namespace proxycli
