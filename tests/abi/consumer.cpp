// A client program that sees only the public headers and links only the two
// shared libraries; built with -Wall -Wextra -Werror.
#include <cstdio>

#include "facade/ConfigItems.h"
#include "facade/ProxyHelper.h"
#include "facade/ProxyHelperControl.h"
#include "hostlib/quillon.h"
#include "protocol/Records.h"  // the records' earlier home still compiles

int main() {
  GlobalCache::Instance().SetClientCfg("consumer", "1.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CLoginServers::Instance().Parse("", true);  // no servers: fails without any I/O
  // The public item names are the ones the library reads.
  GlobalCache::Instance().SetConfigItem(proxyhelper::config::kHttpTimeoutMs, 5000);
  const bool itemRead = GlobalCache::Instance().GetConfigInt("GC_HTTP_TIMEOUT_MS", 0) == 5000;
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
  return result == RESULT_TRANSPORT_FAILURE && helper.GetUserNameA().empty() && traced == 0 && itemRead ? 0
                                                                                                        : 1;
}
