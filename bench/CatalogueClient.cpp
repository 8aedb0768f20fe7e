// The library alone doing what `proxyhelper servers` does: sign in, fetch
// the keys and the catalogue, walk it, sign out. A program of its own, so
// that its time and peak resident size are measured the way the CLI's are
// (bench/CliBench.cpp): a whole process, from the outside.
//
//   proxyhelper_bench_catalogue_client HOST:PORT USER PASSWORD DIRECTORY
//
// Prints the number of servers; exit status 0 when every call succeeded.
#include <cstdio>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s HOST:PORT USER PASSWORD DIRECTORY\n", argv[0]);
    return 2;
  }
  // The cache file goes where the CLI would put it.
  QUILLON::SetExeDirectory(argv[4]);
  GlobalCache::Instance().SetClientCfg("proxyhelper-bench", "1.0.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
  CLoginServers::Instance().Clear();
  CLoginServers::Instance().Parse(argv[1], true);
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo refusal;
  if (helper.SignIn(UserIdentity{argv[2], argv[3]}, refusal) != 0) return 1;
  UserInfo info;
  if (helper.GetUserInfo(info) != 0) return 1;
  ServerCatalogue servers;
  const int result = helper.GetVpnServers(servers);
  // What any application does next: read every server's fields.
  std::size_t count = 0;
  std::size_t bytes = 0;
  for (const auto& group : servers) {
    for (const ServerInfo& server : group.second) {
      ++count;
      bytes += server.GetKey().size() + server.GetField(0).size() + server.GetField(3).size();
    }
  }
  helper.SignOut();
  std::printf("%zu servers, %zu bytes\n", count, bytes);
  return result == 0 ? 0 : 1;
}
