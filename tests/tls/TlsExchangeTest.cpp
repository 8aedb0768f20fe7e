// Requests to "https" account servers: verified against the configured CA,
// and every TLS failure is a failed attempt that moves on to the next server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exchange/ExchangeTestUtil.h"
#include "facade/ProxyHelper.h"
#include "support/ScriptedServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"
#include "tls/TlsTestUtil.h"
#include "transport/HttpCmd.h"

namespace {

using exchangetest::AttemptLog;
using exchangetest::ClosedServer;
using exchangetest::UseServers;
using testsupport::TestCertificates;
using tlstest::LoopbackService;

const char kScript[] = "/vpn_intl/getversion.php";

class TlsExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    ASSERT_TRUE(certificates_.ok()) << certificates_.error();
  }

  // GetVersion through the facade: the whole path an application takes.
  int AskVersion(std::string& version) { return ProxyHelper::Instance().GetVersion(version); }

  testsupport::TempDir dir_{"proxyhelper-tls-"};
  TestCertificates certificates_{dir_.path()};
};

TEST_F(TlsExchange, SucceedsOverTlsWithTheTestCaConfigured) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  LoopbackService service("127.0.0.1", &files);
  ASSERT_TRUE(service.Start());
  UseServers({service.Entry()});
  tlstest::TrustTestCa(certificates_);
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
  tlstest::TrustTestCa(certificates_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackService bad("127.0.0.1", &c.files);
    LoopbackService good("127.0.0.2", &goodFiles);
    ASSERT_TRUE(bad.Start());
    ASSERT_TRUE(good.Start());

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
    EXPECT_EQ(host + ":" + std::to_string(port), good.HostPort());
    EXPECT_TRUE(secure);
    CLoginServers::Instance().Clear();
  }
}

TEST_F(TlsExchange, WithoutABundleTheSystemStoreDecidesAndTheTestCaIsNotInIt) {
  const devserver::TlsFiles files = certificates_.IssueLoopback("server");
  LoopbackService service("127.0.0.1", &files);
  ASSERT_TRUE(service.Start());
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
  LoopbackService service("127.0.0.1", &files);
  ASSERT_TRUE(service.Start());
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
  LoopbackService secure("127.0.0.2", &files);
  LoopbackService plain("127.0.0.3", nullptr);
  ASSERT_TRUE(secure.Start());
  ASSERT_TRUE(plain.Start());
  const std::string closed = ClosedServer("127.0.0.1");
  tlstest::TrustTestCa(certificates_);

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
  LoopbackService service("127.0.0.1", &files);
  ASSERT_TRUE(service.Start());
  tlstest::TrustTestCa(certificates_);
  ASSERT_EQ(CLoginServers::Instance().Parse(service.HostPort(), true), 1);

  // Plain HTTP to a port that wants a handshake: a failed attempt.
  AttemptLog log;
  CHttpCmd plain("", 80);
  plain.SetScript(kScript);
  EXPECT_FALSE(plain.IsSecure());
  EXPECT_EQ(plain.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.Urls(), (std::vector<std::string>{"http://" + service.HostPort() + kScript}));
  EXPECT_EQ(service.Handled(), 0);

  // The default names the address as "https": the entry is upgraded in place
  // (not added a second time) and the next command goes over TLS.
  CLoginServers::Instance().SetDefaultServer(service.Entry(), true);
  EXPECT_EQ(CLoginServers::Instance().GetServerCount(), 1);
  CHttpCmd secure("", 80);
  secure.SetScript(kScript);
  EXPECT_TRUE(secure.IsSecure());
  EXPECT_EQ(secure.Execute(0), 0);
  EXPECT_EQ(log.Urls().back(), service.Url(kScript));
  EXPECT_EQ(service.Handled(), 1);
}

TEST_F(TlsExchange, FailedTlsCycleWalksEveryServerAndEndsAtTheStart) {
  const std::vector<std::string> closed = {ClosedServer("127.0.0.1"), ClosedServer("127.0.0.2"),
                                           ClosedServer("127.0.0.3")};
  UseServers({"https://" + closed[0], closed[1], "https://" + closed[2]});
  AttemptLog log;
  CHttpCmd cmd("", 80);
  cmd.SetScript(kScript);
  EXPECT_EQ(cmd.Execute(0), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(log.Urls(),
            (std::vector<std::string>{"https://" + closed[0] + kScript, "http://" + closed[1] + kScript,
                                      "https://" + closed[2] + kScript}));
  EXPECT_EQ(cmd.GetHost() + ":" + std::to_string(cmd.GetPort()), closed[0]);
  EXPECT_TRUE(cmd.IsSecure());
  std::string host;
  int port = 0;
  bool secure = false;
  CLoginServers::Instance().GetCurrServer(host, port, secure);
  EXPECT_EQ(host + ":" + std::to_string(port), closed[0]);
  EXPECT_TRUE(secure);
}

}  // namespace
