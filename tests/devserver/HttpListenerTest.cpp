// The service's HTTP front over raw loopback sockets: connections held open
// cost no client its answer, nothing after a refused request runs as a
// request, kept-alive connections within their bounds, and the health probe.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "devserver/RawPeer.h"
#include "tools/devserver/AccountService.h"
#include "tools/devserver/HttpListener.h"
#include "tools/devserver/ResultCodes.h"

namespace {

using devserver_test::FormText;
using devserver_test::HttpBody;
using devserver_test::HttpPost;
using devserver_test::MillisecondsSince;
using devserver_test::ReadAsClient;
using devserver_test::RequestBody;
using devserver_test::SignInBody;
using Clock = std::chrono::steady_clock;

using Peer = devserver_test::RawPeer;

std::string VersionBody() { return RequestBody(FormText({{"agent", "t"}}), 'Z'); }

std::string RegisterBody(const std::string& user) {
  return RequestBody(FormText({{"password", "hidden-pw"}, {"username", user}}), 'Z');
}

class HttpListenerTest : public ::testing::Test {
 protected:
  HttpListenerTest() {
    devserver::ServiceOptions options;
    options.keys = devserver_test::TestKeys();
    service_ = std::make_unique<devserver::AccountService>(devserver_test::TestSeed(), options);
  }

  std::unique_ptr<devserver::HttpListener> Listen(const devserver::ConnectionLimits& limits = {}) {
    auto listener = std::make_unique<devserver::HttpListener>(service_.get(), devserver::FaultMode::kNone,
                                                              nullptr, limits);
    std::string error;
    EXPECT_TRUE(listener->Start("127.0.0.1", 0, &error)) << error;
    return listener;
  }

  // Whether `user` can sign in with the password RegisterBody gives.
  bool Registered(const std::string& user) {
    return ReadAsClient(service_->Handle("loginin.php", SignInBody(user, "hidden-pw")).body).Result() ==
           devserver::kResultOk;
  }

  std::unique_ptr<devserver::AccountService> service_;
};

TEST_F(HttpListenerTest, HeldConnectionsNeverDelayANormalClient) {
  // Each held connection is two descriptors in this process.
  rlimit files{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
  files.rlim_cur = std::max<rlim_t>(files.rlim_cur, std::min<rlim_t>(files.rlim_max, 4096));
  ::setrlimit(RLIMIT_NOFILE, &files);

  auto listener = Listen();
  struct Case {
    const char* name;
    int silent;    // connect and send nothing
    int slowHead;  // send the start of a head and nothing more
  };
  const Case cases[] = {{"silent", 256, 0}, {"slow head", 0, 256}, {"both", 256, 256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::unique_ptr<Peer>> held;
    for (int i = 0; i < c.silent + c.slowHead; ++i) {
      held.push_back(std::make_unique<Peer>(listener->port()));
      ASSERT_TRUE(held.back()->connected());
      if (i >= c.silent) {
        ASSERT_TRUE(held.back()->Send("POST /vpn_intl/loginin.php HTTP/1.1\r\nHost: x\r\n"));
      }
    }
    for (int round = 0; round < 3; ++round) {
      const auto start = Clock::now();
      Peer client(listener->port());
      ASSERT_TRUE(client.connected());
      ASSERT_TRUE(client.Send(HttpPost("/vpn_intl/loginin.php", SignInBody("alice", "a-pw"))));
      const std::string answer = client.ReadAnswer(2000);
      EXPECT_LT(MillisecondsSince(start), 1000) << "round " << round;
      ASSERT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
      EXPECT_EQ(ReadAsClient(HttpBody(answer)).Result(), devserver::kResultOk);
    }
  }
}

TEST_F(HttpListenerTest, NothingAfterARefusedRequestIsRunAsARequest) {
  auto listener = Listen();
  const auto hidden = [](const std::string& user) {
    return HttpPost("/vpn_intl/register.php", RegisterBody(user));
  };
  const std::string bigHead = "X-Big: " + std::string(70000, 'a') + "\r\n";
  std::string chunked = "POST /vpn_intl/getversion.php HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 17; ++i) chunked += "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
  struct Case {
    const char* user;
    std::string sent;    // the hidden register.php of `user` included
    const char* answer;  // how the answer starts; empty: none
    bool runs;
  };
  const Case cases[] = {
      {"over-head", "POST /vpn_intl/getversion.php HTTP/1.1\r\n" + bigHead + "\r\n" + hidden("over-head"), "",
       false},
      // A long header line is no refusal while the head fits: the body
      // that follows is still only a body.
      {"long-line",
       HttpPost("/vpn_intl/getversion.php", hidden("long-line"),
                "X-Line: " + std::string(9216, 'b') + "\r\n"),
       "HTTP/1.1 ", false},
      {"over-body",
       "POST /vpn_intl/getversion.php HTTP/1.1\r\nContent-Length: 2000000\r\n\r\n" + hidden("over-body"),
       "HTTP/1.1 413", false},
      {"over-chunks", chunked + hidden("over-chunks"), "", false},
      {"malformed", "POST /vpn_intl/getversion.php HTTP/1.1\r\nNo colon here\r\n\r\n" + hidden("malformed"),
       "HTTP/1.1 400", false},
      // The control: after an accepted request the next one does run.
      {"pipelined", HttpPost("/vpn_intl/getversion.php", VersionBody()) + hidden("pipelined"), "HTTP/1.1 200",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user);
    Peer peer(listener->port());
    ASSERT_TRUE(peer.connected());
    peer.Send(c.sent);  // the server may stop reading half-way
    peer.ShutdownWrite();
    std::string answer;
    EXPECT_TRUE(peer.ClosedWithin(3000, &answer));
    EXPECT_EQ(answer.substr(0, std::strlen(c.answer)), c.answer) << answer.substr(0, 200);
    EXPECT_EQ(Registered(c.user), c.runs);
  }
}

TEST_F(HttpListenerTest, KeepsConnectionsAliveWithinTheirBounds) {
  devserver::ConnectionLimits limits;
  limits.keepAliveIdle = std::chrono::milliseconds(600);
  limits.requestsPerConnection = 3;
  auto listener = Listen(limits);
  struct Case {
    const char* name;
    int requests;
    bool askClose;      // the last request says "Connection: close"
    bool closesAtOnce;  // else only after the idle bound
  };
  const Case cases[] = {
      {"two requests, then idle", 2, false, false},
      {"the client asks to close", 1, true, true},
      {"requests per connection used up", 3, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(listener->port());
    ASSERT_TRUE(peer.connected());
    std::string last;
    for (int i = 0; i < c.requests; ++i) {
      const bool close = c.askClose && i + 1 == c.requests;
      ASSERT_TRUE(peer.Send(
          HttpPost("/vpn_intl/getversion.php", VersionBody(), close ? "Connection: close\r\n" : "")));
      last = peer.ReadAnswer(2000);
      ASSERT_EQ(last.rfind("HTTP/1.1 200", 0), 0u) << "request " << i << ": " << last;
    }
    EXPECT_EQ(last.find("Connection: close\r\n") != std::string::npos, c.closesAtOnce) << last;
    const auto start = Clock::now();
    EXPECT_TRUE(peer.ClosedWithin(3000));
    if (c.closesAtOnce) {
      EXPECT_LT(MillisecondsSince(start), 400);
    } else {
      EXPECT_GE(MillisecondsSince(start), 500) << "closed before the idle bound";
    }
  }
}

TEST_F(HttpListenerTest, HealthzSaysWhetherTheStoreAnswers) {
  devserver::ServiceOptions broken;
  broken.store = "";  // no store: the service starts, but cannot serve
  devserver::AccountService unhealthy(devserver_test::TestSeed(), broken);
  struct Case {
    const char* name;
    devserver::AccountService* service;
    std::string request;
    const char* status;
    const char* body;
  };
  const Case cases[] = {
      {"healthy", service_.get(), "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", "200", "ok"},
      {"with a query", service_.get(), "GET /healthz?full HTTP/1.1\r\nHost: x\r\n\r\n", "200", "ok"},
      {"store unreachable", &unhealthy, "GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n", "503", "unavailable"},
      {"not a GET", service_.get(), HttpPost("/healthz", ""), "405", "method not allowed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    devserver::HttpListener listener(c.service, devserver::FaultMode::kNone);
    std::string error;
    ASSERT_TRUE(listener.Start("127.0.0.1", 0, &error)) << error;
    Peer peer(listener.port());
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.Send(c.request));
    const std::string answer = peer.ReadAnswer(2000);
    EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + c.status) << answer;
    EXPECT_EQ(HttpBody(answer), c.body);
  }
}

}  // namespace
