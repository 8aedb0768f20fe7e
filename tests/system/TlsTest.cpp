// TLS end to end: requests to "https" account servers are verified against
// the configured CA bundle alone, every TLS failure is a failed attempt that
// moves on to the next server, redirects that would leave TLS are refused,
// and a pushed server list cannot move a TLS server back to clear text.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "platform/HttpAttempt.h"
#include "support/CommandProbe.h"
#include "support/Exchange.h"
#include "support/ReferenceService.h"
#include "support/ScriptedServer.h"
#include "support/ServiceSide.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"

namespace {

using namespace testsupport;

const char kScript[] = "/vpn_intl/getversion.php";

// The reference service over TLS on `host`.
ReferenceService::Setup Tls(const std::string& host, const devserver::TlsFiles& files) {
  ReferenceService::Setup setup;
  setup.hosts = {host};
  setup.tls = &files;
  return setup;
}

// ---- the exchange against TLS servers --------------------------------------

class TlsExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(certificates_.ok()) << certificates_.error();
  }

  // GetVersion through the facade: the whole path an application takes.
  int AskVersion(std::string& version) { return ProxyHelper::Instance().GetVersion(version); }

  TempDir dir_{"proxyhelper-tls-"};
  TestCertificates certificates_{dir_.path()};
};

TEST_F(TlsExchange, SucceedsOverTlsWithTheTestCaConfigured) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  ReferenceService service(Tls("127.0.0.1", files));
  ASSERT_TRUE(service.ok());
  UseServers({service.Entry()});
  certificates_.Trust();
  AttemptLog log;

  std::string version;
  EXPECT_EQ(AskVersion(version), 0);
  EXPECT_EQ(version, service.version());
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{service.Url(kScript)}));
  EXPECT_EQ(service.Handled(), 1);
}

// Each bad certificate alone fails the call; listed before a good server it
// costs one attempt, and the good server answers.
TEST_F(TlsExchange, BadCertificatesFailTheAttemptAndFailOverToTheNextServer) {
  struct Case {
    const char* name;
    devserver::TlsFiles files;
  };
  const std::vector<Case> cases = {
      {"untrusted issuer", certificates_.IssueUntrusted("untrusted")},
      {"wrong host name", certificates_.Issue("wrong-name", {"127.0.0.9"}, {"accounts.example"})},
      {"expired", certificates_.IssueExpired("expired")},
  };
  const devserver::TlsFiles goodFiles = certificates_.IssueLoopback("good");
  certificates_.Trust();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReferenceService bad(Tls("127.0.0.1", c.files));
    ReferenceService good(Tls("127.0.0.2", goodFiles));
    ASSERT_TRUE(bad.ok());
    ASSERT_TRUE(good.ok());

    UseServers({bad.Entry()});
    std::string version = "untouched";
    EXPECT_EQ(AskVersion(version), RESULT_TRANSPORT_FAILURE);
    EXPECT_EQ(version, "untouched");

    CLoginServers::Instance().Clear();
    UseServers({bad.Entry(), good.Entry()});
    AttemptLog log;
    EXPECT_EQ(AskVersion(version), 0);
    EXPECT_EQ(version, good.version());
    EXPECT_EQ(log.Urls(), (std::vector<std::string>{bad.Url(kScript), good.Url(kScript)}));
    EXPECT_EQ(log.ConnectTimeouts(), (std::vector<int>{500, 1000}));
    // The handshake failed: the bad server's service never saw a request.
    EXPECT_EQ(bad.Handled(), 0);
    EXPECT_EQ(good.Handled(), 1);
    std::string host;
    int port = 0;
    bool secure = false;
    CLoginServers::Instance().GetCurrServer(host, port, secure);
    EXPECT_EQ(host + ":" + std::to_string(port), good.Address());
    EXPECT_TRUE(secure);
    CLoginServers::Instance().Clear();
  }
}

TEST_F(TlsExchange, WithoutABundleTheSystemStoreDecidesAndTheTestCaIsNotInIt) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  ReferenceService service(Tls("127.0.0.1", files));
  ASSERT_TRUE(service.ok());
  UseServers({service.Entry()});
  std::string version;
  EXPECT_EQ(AskVersion(version), RESULT_TRANSPORT_FAILURE);
  // An empty setting is the same as none.
  GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", "");
  EXPECT_EQ(AskVersion(version), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(service.Handled(), 0);
}

TEST_F(TlsExchange, TheBundleIsTheWholeTrustStore) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  ReferenceService service(Tls("127.0.0.1", files));
  ASSERT_TRUE(service.ok());
  UseServers({service.Entry()});
  struct Case {
    const char* name;
    std::string bundle;
    int expected;
  };
  const std::vector<Case> cases = {
      {"only another CA", certificates_.OtherCaFile(), RESULT_TRANSPORT_FAILURE},
      {"another CA and the issuer",
       certificates_.Bundle("both.pem", {certificates_.OtherCaFile(), certificates_.CaFile()}), 0},
      {"the issuer alone", certificates_.CaFile(), 0},
      {"a missing file", dir_.path() + "/no-such-bundle.pem", RESULT_TRANSPORT_FAILURE},
      {"a file that holds no certificate", dir_.Write("empty.pem", "not a certificate\n"),
       RESULT_TRANSPORT_FAILURE},
  };
  int handled = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bundle.empty());
    GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", c.bundle);
    std::string version;
    EXPECT_EQ(AskVersion(version), c.expected);
    if (c.expected == 0) ++handled;
    EXPECT_EQ(service.Handled(), handled);
  }
}

TEST_F(TlsExchange, PlainAndTlsServersMixInOneList) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  ReferenceService secure(Tls("127.0.0.2", files));
  ReferenceService plain({"127.0.0.3"});
  ASSERT_TRUE(secure.ok());
  ASSERT_TRUE(plain.ok());
  const std::string closed = ClosedServer("127.0.0.1");
  certificates_.Trust();

  // Plain dead server, then TLS: the TLS one answers.
  UseServers({closed, secure.Entry(), plain.Entry()});
  AttemptLog log;
  std::string version;
  EXPECT_EQ(AskVersion(version), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{"http://" + closed + kScript, secure.Url(kScript)}));

  // Next call starts at the TLS server, which now refuses the handshake's
  // trust: it fails over to the plain one.
  GlobalCache::Instance().SetConfigItem("GC_CA_BUNDLE", certificates_.OtherCaFile());
  EXPECT_EQ(AskVersion(version), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{"http://" + closed + kScript, secure.Url(kScript),
                                                  secure.Url(kScript), plain.Url(kScript)}));
  EXPECT_EQ(secure.Handled(), 1);
  EXPECT_EQ(plain.Handled(), 1);
}

TEST_F(TlsExchange, PlainEntryForATlsPortFailsUntilAnHttpsDefaultUpgradesIt) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  ReferenceService service(Tls("127.0.0.1", files));
  ASSERT_TRUE(service.ok());
  certificates_.Trust();
  ASSERT_EQ(CLoginServers::Instance().Parse(service.Address(), true), 1);

  // Plain HTTP to a port that wants a handshake: a failed attempt.
  AttemptLog log;
  ProbedCmd plain("", 80);
  plain.SetScript(kScript);
  EXPECT_FALSE(plain.Secure());
  EXPECT_EQ(plain.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{"http://" + service.Address() + kScript}));
  EXPECT_EQ(service.Handled(), 0);

  // The default names the address as "https": the entry is upgraded in place
  // (not added a second time) and the next command goes over TLS.
  CLoginServers::Instance().SetDefaultServer(service.Entry(), true);
  EXPECT_EQ(CLoginServers::Instance().GetServerCount(), 1);
  ProbedCmd secure("", 80);
  secure.SetScript(kScript);
  EXPECT_TRUE(secure.Secure());
  EXPECT_EQ(secure.Execute(0), 0);
  EXPECT_EQ(log.Urls().back(), service.Url(kScript));
  EXPECT_EQ(service.Handled(), 1);
}

TEST_F(TlsExchange, FailedTlsCycleWalksEveryServerAndEndsAtTheStart) {
  const std::vector<std::string> closed = {ClosedServer("127.0.0.1"), ClosedServer("127.0.0.2"),
                                           ClosedServer("127.0.0.3")};
  UseServers({"https://" + closed[0], closed[1], "https://" + closed[2]});
  AttemptLog log;
  ProbedCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.Urls(),
            (std::vector<std::string>{"https://" + closed[0] + kScript, "http://" + closed[1] + kScript,
                                      "https://" + closed[2] + kScript}));
  std::string host;
  int port = 0;
  bool secure = false;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  EXPECT_EQ(host + ":" + std::to_string(port), closed[0]);
  EXPECT_TRUE(secure);
}

using TlsService = TlsExchange;

TEST_F(TlsService, PushedBareListDoesNotDowngradeTheConfiguredTlsServer) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  const int port = ReserveClosedPort("127.0.0.1");
  ASSERT_NE(port, 0);
  const std::string address = "127.0.0.1:" + std::to_string(port);
  ReferenceService::Setup setup = Tls("127.0.0.1", files);
  setup.firstPort = port;
  // What a service that knows nothing of TLS pushes: bare entries.
  setup.options.defaultLoginServer = address;
  setup.options.loginServers = address + ";http://" + address + ";127.0.0.2:8080";
  ReferenceService service(setup);
  ASSERT_TRUE(service.ok());
  UseServers({"https://" + address});
  certificates_.Trust();

  VPErrorInfo error;
  ASSERT_EQ(ProxyHelper::Instance().SignIn(UserIdentity{"alice", "alice-pass"}, error), 0) << error.errdesc;
  UserInfo info;
  ASSERT_EQ(ProxyHelper::Instance().GetUserInfo(info), 0);
  EXPECT_EQ(info.username, "alice");

  const std::vector<CLoginServers::Server> pushed = CLoginServers::Instance().GetServers();
  ASSERT_EQ(pushed.size(), 3u);
  EXPECT_EQ(pushed[0].host + ":" + std::to_string(pushed[0].port), address);
  EXPECT_TRUE(pushed[0].secure);
  EXPECT_TRUE(pushed[1].secure);  // even when pushed as "http://"
  EXPECT_EQ(pushed[2].host, "127.0.0.2");
  EXPECT_FALSE(pushed[2].secure);

  // The next request still goes over TLS.
  AttemptLog log;
  std::string version;
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), 0);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{service.Url(kScript)}));
}

// ---- one attempt over TLS --------------------------------------------------

class TlsLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(certificates_.ok()) << certificates_.error();
    files_ = certificates_.IssueLoopback("server");
    ASSERT_FALSE(files_.certificateFile.empty());
  }

  // A scripted HTTPS server on 127.0.0.1 with the loopback certificate.
  bool StartTls(ScriptedServer& server, int handshakeDelayMs = 0) {
    return server.UseTls(files_.certificateFile, files_.privateKeyFile, handshakeDelayMs) && server.Start();
  }

  static Script Redirect(const std::string& location) {
    Script script = Script::Respond(302, "");
    script.reason = "Found";
    script.headers.emplace_back("Location", location);
    return script;
  }

  // One attempt at the seam, to the server's "/vpn_intl/x.php".
  static HttpAttemptRequest AttemptTo(const ScriptedServer& server, const std::string& caBundle) {
    HttpAttemptRequest request;
    request.host = server.address();
    request.port = server.port();
    request.secure = true;
    request.path = "/vpn_intl/x.php";
    request.body = "Z=";
    request.maxBody = 1024;
    request.caBundle = caBundle;
    return request;
  }

  TempDir dir_{"proxyhelper-tls-"};
  TestCertificates certificates_{dir_.path()};
  devserver::TlsFiles files_;
};

TEST_F(TlsLayer, RedirectFromHttpsToPlainHttpIsRefused) {
  ScriptedServer plain("127.0.0.2", Script::Respond(200, UnkeyedReply("result=0\nver=clear-text\n")));
  ASSERT_TRUE(plain.Start());
  ScriptedServer server("127.0.0.1");
  ASSERT_TRUE(StartTls(server));
  server.Enqueue(Redirect(server.Origin() + "/landing"));
  server.Enqueue(Script::Respond(200, UnkeyedReply("result=0\nver=still-tls\n")));
  server.Enqueue(Redirect(plain.Origin() + "/vpn_intl/getversion.php"));
  UseServers({server.Origin()});
  certificates_.Trust();

  // Control: a redirect that stays on TLS is followed as WinINet does.
  CHttpCmd staying(OperationContext::Begin(), "", 80);
  staying.SetScript("/vpn_intl/to-https.php");
  ASSERT_EQ(staying.Execute(0), 0);
  const auto envelope = FindSection(staying.GetSections(), "");
  ASSERT_NE(envelope, staying.GetSections().end());
  EXPECT_EQ(envelope->GetItem("ver"), "still-tls");
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].requestLine, "GET /landing HTTP/1.1");

  // The same redirect to clear text: the attempt fails, nothing reaches the
  // plain server, and the credentials-bearing request is never replayed.
  ProbedCmd leaving("", 80);
  leaving.SetScript("/vpn_intl/to-http.php");
  leaving.AddParam("password", "secret");
  EXPECT_EQ(leaving.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(plain.Connections(), 0u);
  EXPECT_TRUE(plain.Requests().empty());
  EXPECT_TRUE(leaving.Reply().empty());
}

// One attempt at the seam with the CA bundle as given: the bundle replaces
// the system store, and a failed verification is told as a TLS failure.
TEST_F(TlsLayer, TheBundleAloneDecidesTrust) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "hello"));
  ASSERT_TRUE(StartTls(server));
  struct Case {
    const char* name;
    std::string bundle;
    std::optional<AttemptOutcome> failure;
  };
  const std::vector<Case> cases = {
      {"the test CA", certificates_.CaFile(), std::nullopt},
      {"another CA", certificates_.OtherCaFile(), AttemptOutcome::kTls},
      {"no bundle: the system store", "", AttemptOutcome::kTls},
      {"a bundle that is not there", dir_.path() + "/absent.pem", AttemptOutcome::kTls},
  };
  std::size_t served = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HttpAttemptResult result = PerformHttpAttempt(AttemptTo(server, c.bundle));
    EXPECT_EQ(result.failure, c.failure) << HttpFailureName(result.failure);
    if (c.failure == std::nullopt) {
      ++served;
      EXPECT_EQ(result.body, "hello");
    }
    EXPECT_EQ(server.Requests().size(), served);
  }
}

// HTTP/1.1 on every https entry, as on plain ones and on Windows: a server
// that offers HTTP/2 still gets the one request format the service side
// knows.
TEST_F(TlsLayer, HttpsSpeaksHttp11EvenWhenTheServerOffersHttp2) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "one point one"));
  ASSERT_TRUE(server.UseTls(files_.certificateFile, files_.privateKeyFile));
  server.OfferHttp2();
  ASSERT_TRUE(server.Start());
  HttpAttemptRequest request = AttemptTo(server, certificates_.CaFile());
  request.deadline = AttemptClock::now() + std::chrono::milliseconds(8000);
  const HttpAttemptResult result = PerformHttpAttempt(request);
  EXPECT_EQ(result.failure, std::nullopt) << HttpFailureName(result.failure);
  EXPECT_EQ(result.body, "one point one");
  ASSERT_EQ(server.Requests().size(), 1u);
  EXPECT_EQ(server.Requests()[0].requestLine, "POST /vpn_intl/x.php HTTP/1.1");
}

// The connect time-out bounds the TCP connect alone: a handshake slower than
// it, within the attempt's deadline, still gets through.
TEST_F(TlsLayer, SlowHandshakeWithinTheDeadlineIsReached) {
  ScriptedServer server("127.0.0.1", Script::Respond(200, "slow but sure"));
  ASSERT_TRUE(StartTls(server, 1200));
  HttpAttemptRequest request = AttemptTo(server, certificates_.CaFile());
  request.connectWindow = std::chrono::milliseconds(500);
  request.deadline = AttemptClock::now() + std::chrono::milliseconds(8000);
  request.stall = std::chrono::milliseconds(5000);
  const HttpAttemptResult result = PerformHttpAttempt(request);
  EXPECT_EQ(result.failure, std::nullopt) << HttpFailureName(result.failure);
  EXPECT_EQ(result.body, "slow but sure");
  // The same handshake with a deadline shorter than it: the deadline holds.
  request.deadline = AttemptClock::now() + std::chrono::milliseconds(700);
  EXPECT_EQ(PerformHttpAttempt(request).failure, AttemptOutcome::kDeadline);
}

TEST_F(TlsLayer, ExchangeAsksForTlsOnlyForHttpsEntries) {
  // The URL each attempt asked the layer for shows the secure flag: "https"
  // and the entry's port (443 when none was written). The interceptor throws,
  // so every attempt ends before any I/O and nothing is contacted.
  ASSERT_EQ(CLoginServers::Instance().Parse("https://127.0.0.1;127.0.0.1;http://127.0.0.1:443", true), 3);
  AttemptLog log([](std::size_t) { throw std::runtime_error("no I/O in this test"); });
  ProbedCmd cmd("", 80);
  cmd.SetScript("/vpn_intl/getversion.php");
  EXPECT_TRUE(cmd.Secure());
  EXPECT_EQ(cmd.Port(), 443);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  const std::vector<std::string> urls = log.Urls();
  // The third entry was upgraded (127.0.0.1:443 was seen as https), so it is
  // the starting server again and ends the cycle.
  EXPECT_EQ(urls, (std::vector<std::string>{"https://127.0.0.1:443/vpn_intl/getversion.php",
                                            "http://127.0.0.1:80/vpn_intl/getversion.php"}));
  EXPECT_TRUE(CLoginServers::Instance().GetServers()[2].secure);
}

}  // namespace
