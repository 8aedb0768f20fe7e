// The WinINet-shaped layer over TLS: redirects that would leave TLS are
// refused, and the CA bundle option is taken from the nearest handle.
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
#include "platform/WinInet.h"
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

// One GET through the layer with CA bundles on the handles as given; the
// result of HttpSendRequestA.
struct BundleChoice {
  const char* session;  // null: not set on that handle
  const char* connection;
  const char* request;
};

bool SendWithBundles(int port, const BundleChoice& choice, const std::string& object) {
  InternetHandle session(InternetOpenA("tls-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) return false;
  InternetHandle connection(InternetConnectA(session.get(), "127.0.0.1", static_cast<INTERNET_PORT>(port),
                                             nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return false;
  InternetHandle request(HttpOpenRequestA(connection.get(), "GET", object.c_str(), nullptr, nullptr, nullptr,
                                          INTERNET_FLAG_RELOAD | INTERNET_FLAG_SECURE, 0));
  if (!request) return false;
  auto set = [](HINTERNET handle, const char* path) {
    if (path == nullptr) return true;
    std::string text = path;
    return InternetSetOptionA(handle, INTERNET_OPTION_CA_BUNDLE, &text[0], static_cast<DWORD>(text.size())) ==
           TRUE;
  };
  if (!set(session.get(), choice.session) || !set(connection.get(), choice.connection) ||
      !set(request.get(), choice.request)) {
    ADD_FAILURE() << "option refused";
    return false;
  }
  return HttpSendRequestA(request.get(), nullptr, 0, nullptr, 0) == TRUE;
}

TEST_F(TlsLayer, TheNearestHandlesBundleDecides) {
  TlsHttpServer server(files_);
  server.routes().Get("/", [&](const httplib::Request&, httplib::Response& res) {
    server.Count();
    res.set_content("hello", "text/plain");
  });
  ASSERT_TRUE(server.Start());
  const std::string good = certificates_.CaFile();
  const std::string other = certificates_.OtherCaFile();
  struct Case {
    const char* name;
    BundleChoice choice;
    bool sent;
  };
  const std::vector<Case> cases = {
      {"session only, trusted", {good.c_str(), nullptr, nullptr}, true},
      {"session only, other CA", {other.c_str(), nullptr, nullptr}, false},
      {"connection overrides session", {other.c_str(), good.c_str(), nullptr}, true},
      {"request overrides connection", {good.c_str(), good.c_str(), other.c_str()}, false},
      {"request overrides session", {other.c_str(), nullptr, good.c_str()}, true},
      {"empty text on the request: system store", {good.c_str(), nullptr, ""}, false},
      {"nothing set: system store", {nullptr, nullptr, nullptr}, false},
  };
  int served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SendWithBundles(server.port(), c.choice, "/"), c.sent);
    if (c.sent) ++served;
    EXPECT_EQ(server.Requests(), served);
  }
}

TEST_F(TlsLayer, BundleOptionTextIsTakenWhole) {
  InternetHandle session(InternetOpenA("tls-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  ASSERT_TRUE(session);
  char withTerminator[] = "/tmp/ca.pem";
  EXPECT_EQ(
      InternetSetOptionA(session.get(), INTERNET_OPTION_CA_BUNDLE, withTerminator, sizeof withTerminator),
      TRUE);
  char inner[] = "/tmp/ca.pem\0/etc/other.pem";
  EXPECT_EQ(InternetSetOptionA(session.get(), INTERNET_OPTION_CA_BUNDLE, inner, sizeof inner - 1), FALSE);
  EXPECT_EQ(InternetSetOptionA(session.get(), INTERNET_OPTION_CA_BUNDLE, nullptr, 4), FALSE);
  EXPECT_EQ(InternetSetOptionA(nullptr, INTERNET_OPTION_CA_BUNDLE, withTerminator, 4), FALSE);
}

TEST_F(TlsLayer, ExchangeAsksForTlsOnlyForHttpsEntries) {
  // The URL each attempt asked the layer for shows the secure flag: "https"
  // and the entry's port (443 when none was written). The observer throws,
  // so every attempt ends before any I/O and nothing is contacted.
  ASSERT_EQ(CLoginServers::Instance().Parse("https://127.0.0.1;127.0.0.1;http://127.0.0.1:443", true), 3);
  std::vector<std::string> urls;
  SetWinInetRequestObserver([&urls](const WinInetRequestSettings& settings) {
    urls.push_back(settings.url);
    throw std::runtime_error("no I/O in this test");
  });
  CHttpCmd cmd("", 80);
  cmd.SetScript("/vpn_intl/getversion.php");
  EXPECT_TRUE(cmd.IsSecure());
  EXPECT_EQ(cmd.GetPort(), 443);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  SetWinInetRequestObserver(nullptr);
  // The third entry was upgraded (127.0.0.1:443 was seen as https), so it is
  // the starting server again and ends the cycle.
  EXPECT_EQ(urls, (std::vector<std::string>{"https://127.0.0.1:443/vpn_intl/getversion.php",
                                            "http://127.0.0.1:80/vpn_intl/getversion.php"}));
  EXPECT_TRUE(CLoginServers::Instance().GetServers()[2].secure);
}

}  // namespace
