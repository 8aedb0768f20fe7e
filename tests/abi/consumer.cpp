// A client program that sees only the two public headers and links only the
// two shared libraries; built with -Wall -Wextra -Werror.
#include <cstdio>

#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"

int main() {
  GlobalCache::Instance().SetClientCfg("consumer", "1.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CLoginServers::Instance().Parse("", true);  // no servers: fails without any I/O
  ProxyHelper& helper = ProxyHelper::Instance();
  int traced = 0;
  ProxyHelperControl::SetAttemptTrace([&traced](const AttemptTrace&) { ++traced; });
  ProxyHelperControl::CancelAll();  // nothing in flight: later operations run normally
  std::string version;
  const int result = helper.GetVersion(version);
  std::printf("GetVersion -> 0x%X\n", static_cast<unsigned>(result));
  ProxyHelperControl::SetAttemptTrace(nullptr);
  std::printf("outcome words: %s\n", ProxyHelperControl::OutcomeName(AttemptOutcome::kConnectTimeout));
  // An empty list makes no attempt, so nothing is traced.
  return result == RESULT_TRANSPORT_FAILURE && helper.GetUserNameA().empty() && traced == 0 ? 0 : 1;
}
