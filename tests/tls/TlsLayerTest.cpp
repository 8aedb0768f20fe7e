// Attempts over TLS: redirects that would leave TLS are refused, and the CA
// bundle alone decides which certificates are trusted.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "exchange/ExchangeTestUtil.h"
#include "facade/ProxyHelper.h"
#include "platform/HttpAttempt.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tls/TlsTestUtil.h"
#include "transport/HttpCmd.h"

namespace {

using exchangetest::AttemptLog;
using exchangetest::OkReply;
using exchangetest::UseServers;
using testsupport::Script;
using testsupport::ScriptedServer;
using testsupport::TestCertificates;

// An HTTPS server on 127.0.0.1 whose answers the test writes.
class TlsHttpServer {
 public:
  explicit TlsHttpServer(const devserver::TlsFiles& files)
      : server_(files.certificateFile.c_str(), files.privateKeyFile.c_str()) {}
  // A server whose every handshake waits `handshakeDelayMs` once the
  // client's hello has arrived, well after the TCP connect.
  TlsHttpServer(const devserver::TlsFiles& files, int handshakeDelayMs)
      : server_([files, handshakeDelayMs](SSL_CTX& context) {
          static int delayMs;
          delayMs = handshakeDelayMs;
          SSL_CTX_set_client_hello_cb(
              &context,
              [](SSL*, int*, void*) {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
                return SSL_CLIENT_HELLO_SUCCESS;
              },
              nullptr);
          return SSL_CTX_use_certificate_chain_file(&context, files.certificateFile.c_str()) == 1 &&
                 SSL_CTX_use_PrivateKey_file(&context, files.privateKeyFile.c_str(), SSL_FILETYPE_PEM) == 1;
        }) {}
  ~TlsHttpServer() { Stop(); }

  httplib::SSLServer& routes() { return server_; }

  bool Start() {
    if (!server_.is_valid()) return false;
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] {
      server_.listen_after_bind();
      finished_ = true;
    });
    return true;
  }

  void Stop() {
    if (!thread_.joinable()) return;
    // stop() acts only once the loop runs; bounded wait for the thread to
    // get there (it is about to).
    for (int i = 0; i < 10000 && !finished_; ++i) {
      if (server_.is_running()) server_.stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread_.join();
  }

  int port() const { return port_; }
  std::string Origin() const { return "https://127.0.0.1:" + std::to_string(port_); }
  int Requests() const { return requests_.load(); }
  void Count() { ++requests_; }

 private:
  httplib::SSLServer server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<int> requests_{0};
  int port_ = 0;
};

class TlsLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(certificates_.ok()) << certificates_.error();
    files_ = certificates_.IssueLoopback("server");
    ASSERT_FALSE(files_.certificateFile.empty());
  }

  testsupport::TempDir dir_{"proxyhelper-tls-"};
  TestCertificates certificates_{dir_.path()};
  devserver::TlsFiles files_;
};

TEST_F(TlsLayer, RedirectFromHttpsToPlainHttpIsRefused) {
  ScriptedServer plain("127.0.0.2", Script::Respond(200, OkReply("ver=clear-text\n")));
  ASSERT_TRUE(plain.Start());
  TlsHttpServer server(files_);
  const std::string plainTarget = "http://" + plain.HostPort() + "/vpn_intl/getversion.php";
  server.routes().Post("/vpn_intl/to-http.php", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_redirect(plainTarget, 302);
  });
  server.routes().Post("/vpn_intl/to-https.php", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_redirect(server.Origin() + "/landing", 302);
  });
  server.routes().Get("/landing", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_content(OkReply("ver=still-tls\n"), "text/plain");
  });
  ASSERT_TRUE(server.Start());
  UseServers({server.Origin()});
  tlstest::TrustTestCa(certificates_);

  // Control: a redirect that stays on TLS is followed as WinINet does.
  CHttpCmd staying("", 80);
  staying.SetScript("/vpn_intl/to-https.php");
  ASSERT_EQ(staying.Execute(0), 0);
  const auto envelope = FindSection(staying.GetSections(), "");
  ASSERT_NE(envelope, staying.GetSections().end());
  EXPECT_EQ(envelope->GetItem("ver"), "still-tls");
  EXPECT_EQ(server.Requests(), 2);

  // The same redirect to clear text: the attempt fails, nothing reaches the
  // plain server, and the credentials-bearing request is never replayed.
  CHttpCmd leaving("", 80);
  leaving.SetScript("/vpn_intl/to-http.php");
  leaving.AddParam("password", "secret");
  EXPECT_EQ(leaving.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(server.Requests(), 3);
  EXPECT_EQ(plain.Connections(), 0u);
  EXPECT_TRUE(plain.Requests().empty());
  EXPECT_TRUE(leaving.GetReply().empty());
}

// One attempt at the seam with the CA bundle as given: the bundle replaces
// the system store, and a failed verification is told as a TLS failure.
TEST_F(TlsLayer, TheBundleAloneDecidesTrust) {
  TlsHttpServer server(files_);
  server.routes().Post("/vpn_intl/x.php", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_content("hello", "text/plain");
  });
  ASSERT_TRUE(server.Start());
  struct Case {
    const char* name;
    std::string bundle;
    HttpFailure failure;
  };
  const std::vector<Case> cases = {
      {"the test CA", certificates_.CaFile(), HttpFailure::kNone},
      {"another CA", certificates_.OtherCaFile(), HttpFailure::kTls},
      {"no bundle: the system store", "", HttpFailure::kTls},
      {"a bundle that is not there", dir_.path() + "/absent.pem", HttpFailure::kTls},
  };
  int served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpAttemptRequest request;
    request.host = "127.0.0.1";
    request.port = server.port();
    request.secure = true;
    request.path = "/vpn_intl/x.php";
    request.body = "Z=";
    request.maxBody = 1024;
    request.caBundle = c.bundle;
    const HttpAttemptResult result = PerformHttpAttempt(request);
    EXPECT_EQ(result.failure, c.failure) << HttpFailureName(result.failure);
    if (c.failure == HttpFailure::kNone) {
      ++served;
      EXPECT_EQ(result.body, "hello");
    }
    EXPECT_EQ(server.Requests(), served);
  }
}

// The connect time-out bounds the TCP connect alone: a handshake slower than
// it, within the attempt's deadline, still gets through.
TEST_F(TlsLayer, SlowHandshakeWithinTheDeadlineIsReached) {
  TlsHttpServer server(files_, 1200);
  server.routes().Post("/vpn_intl/x.php", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_content("slow but sure", "text/plain");
  });
  ASSERT_TRUE(server.Start());
  HttpAttemptRequest request;
  request.host = "127.0.0.1";
  request.port = server.port();
  request.secure = true;
  request.path = "/vpn_intl/x.php";
  request.body = "Z=";
  request.maxBody = 1024;
  request.caBundle = certificates_.CaFile();
  request.connectTimeoutMs = 500;
  request.deadlineMs = 8000;
  request.stallMs = 5000;
  const HttpAttemptResult result = PerformHttpAttempt(request);
  EXPECT_EQ(result.failure, HttpFailure::kNone) << HttpFailureName(result.failure);
  EXPECT_EQ(result.body, "slow but sure");
  // The same handshake with a deadline shorter than it: the deadline holds.
  request.deadlineMs = 700;
  EXPECT_EQ(PerformHttpAttempt(request).failure, HttpFailure::kDeadline);
}

TEST_F(TlsLayer, ExchangeAsksForTlsOnlyForHttpsEntries) {
  // The URL each attempt asked the layer for shows the secure flag: "https"
  // and the entry's port (443 when none was written). The interceptor throws,
  // so every attempt ends before any I/O and nothing is contacted.
  ASSERT_EQ(CLoginServers::Instance().Parse("https://127.0.0.1;127.0.0.1;http://127.0.0.1:443", true), 3);
  AttemptLog log([](std::size_t) { throw std::runtime_error("no I/O in this test"); });
  CHttpCmd cmd("", 80);
  cmd.SetScript("/vpn_intl/getversion.php");
  EXPECT_TRUE(cmd.IsSecure());
  EXPECT_EQ(cmd.GetPort(), 443);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  const std::vector<std::string> urls = log.Urls();
  // The third entry was upgraded (127.0.0.1:443 was seen as https), so it is
  // the starting server again and ends the cycle.
  EXPECT_EQ(urls, (std::vector<std::string>{"https://127.0.0.1:443/vpn_intl/getversion.php",
                                            "http://127.0.0.1:80/vpn_intl/getversion.php"}));
  EXPECT_TRUE(CLoginServers::Instance().GetServers()[2].secure);
}

}  // namespace
