// The service over real loopback sockets: the HTTP front, the fault modes,
// TLS files it refuses, and the client library talking to it end to end.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "devserver/DevserverTestUtil.h"
#include "devserver/RawPeer.h"
#include "facade/ProxyHelper.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tools/devserver/DevServer.h"
#include "tools/devserver/HttpListener.h"
#include "tools/devserver/ResultCodes.h"

namespace {

using devserver::FaultMode;
using devserver::ListenSpec;
using devserver_test::FormText;
using devserver_test::MillisecondsSince;
using devserver_test::ReadAsClient;
using devserver_test::RequestBody;
using devserver_test::SignInBody;
using Clock = std::chrono::steady_clock;

using RawConnection = devserver_test::RawPeer;

class DevServerTest : public ::testing::Test {
 protected:
  DevServerTest() : keys_(devserver_test::TestKeys()) {
    devserver::ServiceOptions options;
    options.keys = keys_;
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(line);
    };
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

  bool Logged(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex_);
    return std::find(log_.begin(), log_.end(), line) != log_.end();
  }
  std::string Log() {
    std::lock_guard<std::mutex> lock(logMutex_);
    std::string text;
    for (const std::string& line : log_) text += line + "\n";
    return text;
  }

  devserver::CipherKeys keys_;
  std::unique_ptr<devserver::AccountService> service_;
  std::unique_ptr<devserver::DevServer> server_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
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
  // Each fault logged with what the client reports for it.
  for (const char* outcome : {"http status 500", "no response", "unparsable reply", "stall"}) {
    EXPECT_TRUE(Logged(std::string("loginin.php - -> ") + outcome)) << outcome << "\n" << Log();
  }
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
  EXPECT_EQ(error, "cannot listen on 127.0.0.1:" + std::to_string(taken) + ": " + std::strerror(EADDRINUSE));
  EXPECT_TRUE(second.listeners().empty());
}

TEST_F(DevServerTest, IdleAndSlowConnectionsNeitherStarveClientsNorHoldUpStop) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  const int port = server_->listeners()[0].port;
  std::vector<std::unique_ptr<RawConnection>> idle;
  for (int i = 0; i < 16; ++i) {
    idle.push_back(std::make_unique<RawConnection>(port));
    ASSERT_TRUE(idle.back()->connected());
    // Half send nothing, half the start of a request head.
    if (i % 2 == 1) {
      ASSERT_TRUE(idle.back()->Send("POST /vpn_intl/loginin.php HTTP/1.1\r\nHost: x\r\n"));
    }
  }
  const auto start = Clock::now();
  auto res = ClientFor(server_->listeners()[0])
                 ->Post("/vpn_intl/loginin.php", SignInBody(), "application/x-www-form-urlencoded");
  ASSERT_TRUE(res) << httplib::to_string(res.error());
  EXPECT_EQ(ReadAsClient(res->body).Result(), 0);
  EXPECT_LT(MillisecondsSince(start), 2000);

  const auto stopping = Clock::now();
  server_->Stop();
  EXPECT_LT(MillisecondsSince(stopping), 1000) << "Stop must not wait for idle connections";
}

TEST_F(DevServerTest, RequestsThatNeverCompleteAreCutOffAndLogged) {
  devserver::ConnectionLimits limits;
  limits.idle = std::chrono::milliseconds(300);
  limits.request = std::chrono::milliseconds(300);
  devserver::HttpListener listener(service_.get(), FaultMode::kNone, nullptr, limits);
  std::string error;
  ASSERT_TRUE(listener.Start("127.0.0.1", 0, &error)) << error;
  const std::string cutOff = "loginin.php - -> no response (request not complete within 300 ms)";
  struct Case {
    const char* name;
    std::string sent;      // at once
    std::string trickled;  // then a byte every 20 ms
    const char* logged;
  };
  const Case cases[] = {
      {"nothing sent", "", "", nullptr},
      {"head trickled", "POST /vpn_intl/loginin.php HTTP/1.1\r\n",
       "Host: x\r\nX-Slow: " + std::string(100, 'a'), cutOff.c_str()},
      {"body short", "POST /vpn_intl/loginin.php HTTP/1.1\r\nContent-Length: 100\r\n\r\nZ=", "",
       cutOff.c_str()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.clear();
    }
    RawConnection connection(listener.port());
    ASSERT_TRUE(connection.connected());
    const auto start = Clock::now();
    connection.Send(c.sent);
    bool closed = false;
    for (char byte : c.trickled) {
      if (!connection.Send(std::string(1, byte)) || (closed = connection.ClosedWithin(20))) break;
    }
    if (!closed) closed = connection.ClosedWithin(2000);
    EXPECT_TRUE(closed);
    // Idle wait and request deadline, with room for a slow machine.
    EXPECT_LT(MillisecondsSince(start), 1500);
    if (c.logged != nullptr) {
      EXPECT_TRUE(Logged(c.logged)) << Log();
    } else {
      EXPECT_EQ(Log(), "") << "a connection that sent nothing made no request";
    }
  }
}

TEST_F(DevServerTest, AnswersAClientThatShutsDownItsSendingSide) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  RawConnection connection(server_->listeners()[0].port);
  ASSERT_TRUE(connection.connected());
  ASSERT_TRUE(connection.Send(devserver_test::HttpPost("/vpn_intl/loginin.php", SignInBody())));
  connection.ShutdownWrite();
  std::string answer;
  EXPECT_TRUE(connection.ClosedWithin(2000, &answer));
  ASSERT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << answer;
  EXPECT_EQ(ReadAsClient(devserver_test::HttpBody(answer)).Result(), 0);
}

TEST_F(DevServerTest, OversizedAndUnroutedRequestsAreAnsweredOrCutAndLogged) {
  Start({ListenSpec{"127.0.0.1", 0, FaultMode::kNone}});
  std::string chunked = "POST /vpn_intl/loginin.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 20; ++i) chunked += "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
  struct Case {
    const char* name;
    std::string request;
    const char* answer;  // how the answer starts; empty: none
    const char* logged;
  };
  const Case cases[] = {
      {"announced body over the limit",
       "POST /vpn_intl/loginin.php HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + std::string(1000, 'a'),
       "HTTP/1.1 413", "loginin.php - -> http status 413 (body over 1048576 bytes)"},
      {"chunked body over the limit", chunked, "",
       "loginin.php - -> no response (request body over 1048576 bytes)"},
      {"head over the limit", "POST /vpn_intl/loginin.php HTTP/1.1\r\nX-Big: " + std::string(100000, 'a'), "",
       "loginin.php - -> no response (request head over 65536 bytes)"},
      {"unrouted path", "POST /elsewhere/x HTTP/1.1\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 404", "/elsewhere/x - -> http status 404"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection connection(server_->listeners()[0].port);
    ASSERT_TRUE(connection.connected());
    connection.Send(c.request);  // the server may stop reading half-way
    connection.ShutdownWrite();
    std::string answer;
    EXPECT_TRUE(connection.ClosedWithin(3000, &answer));
    EXPECT_EQ(answer.substr(0, std::strlen(c.answer)), c.answer);
    EXPECT_TRUE(Logged(c.logged)) << Log();
  }
}

TEST(TlsService, UnusableTlsFilesStopTheServerFromStarting) {
  testsupport::TempDir dir("proxyhelper-tls-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles good = certificates.IssueLoopback("server");
  const devserver::TlsFiles other = certificates.IssueLoopback("other");
  struct Case {
    const char* name;
    devserver::TlsFiles files;
  };
  const std::vector<Case> cases = {
      {"missing certificate", {dir.path() + "/none.pem", good.privateKeyFile}},
      {"missing key", {good.certificateFile, dir.path() + "/none.key"}},
      {"key of another certificate", {good.certificateFile, other.privateKeyFile}},
      {"garbage", {dir.Write("junk.pem", "junk\n"), dir.Write("junk.key", "junk\n")}},
  };
  const devserver::SeedData seed = devserver_test::TestSeed();
  std::string error;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    devserver::AccountService service(seed, devserver::ServiceOptions());
    devserver::DevServer server(&service);
    server.SetTlsFiles(c.files);
    devserver::ListenSpec spec;
    spec.host = "127.0.0.1";
    spec.tls = true;
    error.clear();
    EXPECT_FALSE(server.Start({spec}, &error));
    EXPECT_NE(error.find("TLS"), std::string::npos) << error;
    EXPECT_TRUE(server.listeners().empty());
  }
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
