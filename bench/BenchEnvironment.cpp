#include "bench/BenchEnvironment.h"

#include <stdlib.h>  // mkdtemp

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "bench/ServiceProcess.h"
#include "bench/WorstReplies.h"
#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"

namespace bench {
namespace {

struct Environment {
  ServiceProcess service;
  ServiceProcess largeCatalogue;
  ServiceProcess worstReplies;
  std::string directory;
};

Environment& Env() {
  static Environment* environment = new Environment;
  return *environment;
}

std::string MakePrivateDirectory() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/proxyhelper-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return mkdtemp(buffer.data()) != nullptr ? std::string(buffer.data()) : std::string();
}

}  // namespace

bool StartEnvironment(std::string* error) {
  Environment& env = Env();
  env.directory = MakePrivateDirectory();
  if (env.directory.empty()) {
    *error = "cannot create a temporary directory";
    return false;
  }
  ServiceSetup setup;
  setup.hosts = {kMainHost, kFailoverAnswerHost};
  setup.catalogueSize = kCatalogueServers;
  setup.keys = BenchKeys();
  if (!env.service.Start(setup, error)) return false;
  // Its own process: generating the catalogue and building each reply
  // (about 56 MB of text, bzip2-compressed per request) stays off this
  // process's heap and CPU time.
  ServiceSetup large;
  large.hosts = {kMainHost};
  large.catalogueSize = kLargeCatalogueServers;
  large.keys = setup.keys;
  if (!env.largeCatalogue.Start(large, error)) {
    *error = "large catalogue: " + *error;
    return false;
  }
  ServiceSetup worst;
  for (const WorstReply& reply : WorstReplies()) {
    worst.hosts.push_back(kMainHost);
    worst.fixedReplies.push_back(reply.body);
  }
  if (!env.worstReplies.Start(worst, error)) {
    *error = "worst replies: " + *error;
    return false;
  }

  // The cache file of GetVpnServers goes to the private directory.
  QUILLON::SetExeDirectory(env.directory);
  GlobalCache::Instance().SetClientCfg("proxyhelper-bench", "1.0.0");
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", setup.keys.m1);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", setup.keys.m2);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_C", setup.keys.m3);
  UseAccountServers(MainServer());
  return true;
}

void StopEnvironment() {
  Environment& env = Env();
  env.service.Stop();
  env.largeCatalogue.Stop();
  env.worstReplies.Stop();
  if (!env.directory.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(env.directory, ignored);
    env.directory.clear();
  }
}

std::string MainServer() { return Env().service.Address(0); }

std::string FailoverAnswerServer() { return Env().service.Address(1); }

std::string LargeCatalogueServer() { return Env().largeCatalogue.Address(0); }

std::string WorstReplyServer(std::size_t i) { return Env().worstReplies.Address(i); }

void UseAccountServers(const std::string& list) {
  CLoginServers::Instance().Clear();
  CLoginServers::Instance().Parse(list, true);
}

bool SignInWithKeys(std::string* error) { return SignInWithKeysAt(MainServer(), error); }

bool SignInWithKeysAt(const std::string& server, std::string* error) {
  UseAccountServers(server);
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo refusal;
  const int signedIn = helper.SignIn(UserIdentity{kUser, kPassword}, refusal);
  if (signedIn != 0) {
    *error = "SignIn returned " + std::to_string(signedIn) + " " + refusal.errdesc;
    return false;
  }
  UserInfo info;
  const int fetched = helper.GetUserInfo(info);
  if (fetched != 0) {
    *error = "GetUserInfo returned " + std::to_string(fetched);
    return false;
  }
  // The pushed list names every listener; the benchmarks want one server.
  UseAccountServers(server);
  return true;
}

}  // namespace bench
