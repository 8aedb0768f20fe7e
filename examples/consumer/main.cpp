// The smallest client of an installed proxyhelper: configure the host
// library, ask the account service for the client version, print the result.
//
//   consumer                 an empty login-server list: no server to ask, so
//                            the call ends with RESULT_TRANSPORT_FAILURE
//   consumer HOST:PORT[;..]  ask those account servers
//
// Exits 0 when the outcome is the one the arguments call for: the transport
// failure without servers, success with them.
#include <cstdio>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"

int main(int argc, char** argv) {
  const std::string servers = argc > 1 ? argv[1] : "";

  GlobalCache::Instance().SetClientCfg("consumer-example", "1.0.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en");
  CLoginServers& logins = CLoginServers::Instance();
  if (servers.empty()) {
    logins.Clear();
  } else if (logins.Parse(servers, true) == 0) {
    std::fprintf(stderr, "consumer: no usable server in \"%s\"\n", servers.c_str());
    return 2;
  }

  ProxyHelper& helper = ProxyHelper::Instance();
  std::string version;
  const int result = helper.GetVersion(version);
  std::printf("GetVersion result 0x%X version \"%s\"\n", static_cast<unsigned>(result), version.c_str());

  const int expected = servers.empty() ? RESULT_TRANSPORT_FAILURE : 0;
  return result == expected ? 0 : 1;
}
