// The service over real loopback sockets: the HTTP front, the fault modes,
// and the client library talking to it end to end.
#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>

#include "devserver/DevserverTestUtil.h"
#include "facade/ProxyHelper.h"
#include "support/TempDir.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/HttpListener.h"
#include "tools/devserver/ResultCodes.h"

namespace {

using devserver::FaultMode;
using devserver::ListenSpec;
using devserver_test::FormText;
using devserver_test::ReadAsClient;
using devserver_test::RequestBody;

class DevServerTest : public ::testing::Test {
 protected:
  DevServerTest() : keys_(devserver_test::TestKeys()) {
    devserver::ServiceOptions options;
    options.keys = keys_;
    service_ = std::make_unique<devserver::AccountService>(devserver_test::TestSeed(), options);
    server_ = std::make_unique<devserver::DevServer>(service_.get());
  }
  ~DevServerTest() override { server_->Stop(); }

  void Start(const std::vector<ListenSpec>& specs) {
    std::string error;
    ASSERT_TRUE(server_->Start(specs, &error)) << error;
    ASSERT_EQ(server_->listeners().size(), specs.size());
  }

  static std::unique_ptr<httplib::Client> ClientFor(const devserver::BoundListener& bound) {
    auto client = std::make_unique<httplib::Client>(bound.host, bound.port);
    client->set_connection_timeout(2);
    client->set_read_timeout(2);
    client->set_keep_alive(false);
    return client;
  }

  static std::string SignInBody() {
    return RequestBody(
        FormText({{"agent", "t"}, {"lang", "en"}, {"password", "a-pw"}, {"username", "alice"}}), 'Z');
  }

  devserver::CipherKeys keys_;
  std::unique_ptr<devserver::AccountService> service_;
  std::unique_ptr<devserver::DevServer> server_;
};

TEST_F(DevServerTest, ServesTheProtocolOverLoopback) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  const devserver::BoundListener& bound = server_->listeners()[0];
  EXPECT_GT(bound.port, 0);
  auto client = ClientFor(bound);

  auto res = client->Post("/vpn_intl/loginin.php", SignInBody(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(res->status, 200);
  const devserver_test::ClientView view = ReadAsClient(res->body);
  ASSERT_TRUE(view.parsed);
  EXPECT_EQ(view.Result(), 0);
  EXPECT_EQ(view.Item("", "magic").size(), 32u);

  res = client->Post("/vpn_intl/nosuch.php", SignInBody(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  res = client->Post("/elsewhere/loginin.php", SignInBody(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 404);
  res = client->Post("/vpn_intl/loginin.php", "Z=%%", "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 400);
}

TEST_F(DevServerTest, PushesItsOwnAddressesAsLoginServers) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}, ListenSpec{"127.0.0.2", 0, FaultMode::kRefuse}});
  const auto& listeners = server_->listeners();
  auto client = ClientFor(listeners[0]);
  auto res = client->Post("/vpn_intl/loginin.php", SignInBody(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  const std::string magic = ReadAsClient(res->body).Item("", "magic");
  res = client->Post("/vpn_intl/getuserinfo.php",
                     RequestBody(FormText({{"magic", magic}, {"username", "alice"}}), 'Z'),
                     "application/x-www-form-urlencoded");
  ASSERT_TRUE(res);
  const devserver_test::ClientView view = ReadAsClient(res->body);
  EXPECT_EQ(view.Item("config", "login_server"), listeners[0].Address() + ";" + listeners[1].Address());
  EXPECT_EQ(view.Item("config", "default_login_server"), listeners[0].Address());
}

TEST_F(DevServerTest, FaultModesMisbehaveAsAsked) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kStatus500}, ListenSpec{"127.0.0.2", 0, FaultMode::kClose},
         ListenSpec{"127.0.0.3", 0, FaultMode::kGarbage}, ListenSpec{"127.0.0.4", 0, FaultMode::kRefuse},
         ListenSpec{"127.0.0.5", 0, FaultMode::kStall}});
  const auto& listeners = server_->listeners();
  for (const auto& bound : listeners) EXPECT_GT(bound.port, 0);

  auto res = ClientFor(listeners[0])->Post("/vpn_intl/loginin.php", SignInBody(), "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 500);

  res = ClientFor(listeners[1])->Post("/vpn_intl/loginin.php", SignInBody(), "text/plain");
  EXPECT_FALSE(res) << "close: no answer expected";

  res = ClientFor(listeners[2])->Post("/vpn_intl/loginin.php", SignInBody(), "text/plain");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_FALSE(ReadAsClient(res->body).parsed) << "garbage must not parse as a reply";

  res = ClientFor(listeners[3])->Post("/vpn_intl/loginin.php", SignInBody(), "text/plain");
  ASSERT_FALSE(res);
  EXPECT_EQ(res.error(), httplib::Error::Connection);

  auto stalled = ClientFor(listeners[4]);
  stalled->set_read_timeout(0, 300000);
  res = stalled->Post("/vpn_intl/loginin.php", SignInBody(), "text/plain");
  EXPECT_FALSE(res) << "stall: the body never completes";
  // Stopping must not wait for the stalled or the closed connections.
  server_->Stop();
  EXPECT_TRUE(server_->listeners().empty());
}

TEST_F(DevServerTest, GarbageNeverLooksLikeAReply) {
  devserver_test::InstallClientKeys(keys_);
  for (int i = 0; i < 50; ++i) {
    const std::string body = devserver::GarbageBody();
    EXPECT_FALSE(ReadAsClient(body).parsed) << body;
  }
}

TEST_F(DevServerTest, FailedStartLeavesNothingListening) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  const int taken = server_->listeners()[0].port;

  devserver::DevServer second(service_.get());
  std::string error;
  EXPECT_FALSE(second.Start(
      {ListenSpec{"127.0.0.2", 0, FaultMode::kNone}, ListenSpec{"127.0.0.1", taken, FaultMode::kNone}},
      &error));
  EXPECT_NE(error.find("127.0.0.1:" + std::to_string(taken)), std::string::npos) << error;
  EXPECT_TRUE(second.listeners().empty());
}

// The client library against the reference service, end to end.
class ClientAgainstDevServerTest : public DevServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    QUILLON::SetExeDirectory(dir_.path());
    GlobalCache::Instance().SetClientCfg("devserver-test", "1.0");
    // Start as a fresh client does: without cipher keys.
    for (const char* item : {"GC_CIPER_A", "GC_CIPER_B", "GC_CIPER_C"}) {
      GlobalCache::Instance().RemoveConfigItem(item);
    }
  }
  void UseServers(const std::string& list) { CLoginServers::Instance().Parse(list, true); }

  testsupport::TempDir dir_;
};

TEST_F(ClientAgainstDevServerTest, FullSession) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  UseServers(server_->listeners()[0].Address());
  ProxyHelper& helper = ProxyHelper::Instance();
  VPErrorInfo error;

  std::string version;
  EXPECT_EQ(helper.GetVersion(version), 0);
  EXPECT_EQ(version, "9.8.7");

  EXPECT_EQ(helper.SignIn({"alice", "nope"}, error), devserver::kResultBadCredentials);
  EXPECT_EQ(error.errcode, devserver::kResultBadCredentials);
  ASSERT_EQ(helper.SignIn({"alice", "a-pw"}, error), 0);
  EXPECT_EQ(helper.GetMagic().size(), 32u);

  // No keys yet: the keyed request goes out under the empty-text key.
  DialupInfo lease;
  EXPECT_EQ(helper.GetDailupInfo(101, lease, error), devserver::kResultNoCipherKeys);
  EXPECT_EQ(error.errdesc, "no cipher keys: call GetUserInfo first");

  UserInfo info;
  ASSERT_EQ(helper.GetUserInfo(info), 0);
  EXPECT_EQ(info.username, "alice");
  EXPECT_EQ(info.userlevel_desc, "Silver");
  EXPECT_EQ(info.moneyleft, 10);
  std::string keyA;
  GlobalCache::Instance().GetConfigItem("GC_CIPER_A", keyA);
  EXPECT_EQ(keyA, keys_.m1);

  std::map<std::string, std::vector<ServerInfo>> catalogue;
  ASSERT_EQ(helper.GetVpnServers(catalogue), 0);
  ASSERT_EQ(catalogue.size(), 2u);
  ASSERT_EQ(catalogue["Europe"].size(), 2u);
  EXPECT_EQ(catalogue["Europe"][1].GetKey(), "102");
  EXPECT_EQ(catalogue["Europe"][1].GetField(1), "par.example.net");
  std::map<std::string, std::vector<ServerInfo>> local;
  EXPECT_EQ(helper.GetLocalVpnServers(local), 0);
  EXPECT_EQ(local.size(), 2u);

  std::vector<ServerOnlineRatio> ratios;
  ASSERT_EQ(helper.GetOnlineRatio(ratios), 0);
  EXPECT_EQ(ratios.size(), 3u);

  ASSERT_EQ(helper.GetDailupInfo(101, lease, error), 0) << error.errdesc;
  EXPECT_EQ(lease.lendusername, "d101");
  EXPECT_EQ(lease.lendpassword, "p101");
  EXPECT_EQ(helper.ShakeHands({"d101", 101}, error), 0) << error.errdesc;
  EXPECT_EQ(helper.ShakeHands({"d101", 102}, error), devserver::kResultBadLease);
  EXPECT_EQ(helper.ReleaseDialupInfo(9999999), 0);
  EXPECT_EQ(helper.ShakeHands({"d101", 101}, error), 0);
  EXPECT_EQ(helper.ReleaseDialupInfo(0), 0);
  EXPECT_EQ(helper.ShakeHands({"d101", 101}, error), devserver::kResultBadLease);

  RegInfo reg;
  reg.username = "carol";
  reg.password = "c-pw";
  EXPECT_EQ(helper.Register(reg, error), 0);
  EXPECT_EQ(helper.Register(reg, error), devserver::kResultDuplicateAccount);
  EXPECT_EQ(helper.Recharge({"alice", "a-pw", "C1", "p1"}, error), 0);
  EXPECT_EQ(helper.Recharge({"alice", "a-pw", "C1", "p1"}, error), devserver::kResultBadCard);

  EXPECT_EQ(helper.SignOut(), 0);
  EXPECT_EQ(helper.GetUserInfo(info), RESULT_NOT_SUCCEEDED);
}

TEST_F(ClientAgainstDevServerTest, ClientFailsOverPastFaultyServers) {
  Start({ListenSpec{"127.0.0.2", 0, FaultMode::kRefuse}, ListenSpec{"127.0.0.3", 0, FaultMode::kStatus500},
         ListenSpec{"127.0.0.4", 0, FaultMode::kClose}, ListenSpec{"127.0.0.5", 0, FaultMode::kGarbage},
         ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  std::string list;
  for (const auto& bound : server_->listeners()) list += bound.Address() + ";";
  UseServers(list);
  VPErrorInfo error;
  EXPECT_EQ(ProxyHelper::Instance().SignIn({"alice", "a-pw"}, error), 0) << error.errdesc;

  // Faulty servers only: every attempt fails, and the client says so.
  list.clear();
  for (std::size_t i = 0; i + 1 < server_->listeners().size(); ++i) {
    list += server_->listeners()[i].Address() + ";";
  }
  UseServers(list);
  std::string version = "unchanged";
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(version, "unchanged");
}

}  // namespace
