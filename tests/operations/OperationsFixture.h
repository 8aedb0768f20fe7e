// Common set-up for the facade tests: a fake service on loopback as the only
// account server, a client configuration, a language and a private cache
// directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "operations/FakeService.h"

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/proxyhelper-ops-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    QUILLON::SetExeDirectory(dir_);
    GlobalCache::Instance().SetClientCfg("agentX", "1.2.3");
    CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
    CLoginServers::Instance().Parse(service_.Address(), true);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Points the client at a port where nobody listens.
  void UseDeadServer() { CLoginServers::Instance().Parse("127.0.0.1:" + std::to_string(ClosedPort()), true); }
  std::string CachePath() const { return dir_ + "/cache.dat"; }
  std::string ReadCache() const {
    std::ifstream in(CachePath(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  static std::string ConfigItem(const std::string& name) {
    std::string value;
    GlobalCache::Instance().GetConfigItem(name, value);
    return value;
  }
  // Signs in as bob with the session token "tok".
  void SignInAsBob() {
    service_.Reply(Unkeyed("result=0\nmagic=tok\n"));
    VPErrorInfo error;
    ASSERT_EQ(helper_.SignIn({"bob", "pw"}, error), 0);
  }

  FakeService service_;
  ProxyHelper& helper_ = ProxyHelper::Instance();
  std::string dir_;
};
