// Who a command acts for: the user name from the settings, the password
// from the settings or, on a terminal, a prompt without echo.
#pragma once

#include <string>

#include "facade/ProxyHelper.h"
#include "tools/cli/Console.h"
#include "tools/cli/Report.h"
#include "tools/cli/Settings.h"

namespace proxycli {

// Each reports a usage error and returns false when it has nothing.
bool ResolveUser(const Settings& settings, Report& report, std::string* user);
bool ResolvePassword(const Settings& settings, Console& console, Report& report, const std::string& user,
                     std::string* password);
// The user name, then the password for it.
bool ResolveIdentity(const Settings& settings, Console& console, Report& report, UserIdentity* identity);

}  // namespace proxycli
