// The proxyhelper-devserver executable: start-up output, request log,
// clean stop on SIGTERM and SIGINT, HTTPS with the files given, and refusal
// of bad arguments.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "facade/ProxyHelper.h"
#include "support/ChildProcess.h"
#include "support/Exchange.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

#ifdef PROXYHELPER_DEVSERVER_BINARY

using std::chrono::milliseconds;

// The service's executable with `args`, its output on pipes; a throwaway
// in-memory store unless `args` name one.
class Child : public testsupport::ChildProcess {
 public:
  explicit Child(std::vector<std::string> args) : ChildProcess(PROXYHELPER_DEVSERVER_BINARY) {
    bool store = false;
    for (const std::string& arg : args) store = store || arg == "--db";
    if (!store) args.insert(args.end(), {"--db", ":memory:"});
    started_ = SpawnWithPipes(args);
  }
  bool started() const { return started_; }

 private:
  bool started_ = false;
};

TEST(ExecutableTest, ServesLogsAndStopsCleanlyOnEachSignal) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Child child({"--listen", "127.0.0.1:0", "--listen", "127.0.0.2:0", "--fault", "127.0.0.2:0=500"});
    ASSERT_TRUE(child.started());
    const std::string first = child.ReadLine(milliseconds(10000));
    const std::string second = child.ReadLine(milliseconds(10000));
    ASSERT_EQ(first.rfind("listening on 127.0.0.1:", 0), 0u) << first;
    EXPECT_EQ(second.rfind("listening on 127.0.0.2:", 0), 0u) << second;
    EXPECT_NE(second.find("fault=500"), std::string::npos) << second;
    const int port = std::stoi(first.substr(std::string("listening on 127.0.0.1:").size()));

    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2);
    client.set_read_timeout(2);
    const std::string body = devserver_test::RequestBody(
        devserver_test::FormText({{"password", "alice-pass"}, {"username", "alice"}}), 'Z');
    auto res = client.Post("/vpn_intl/loginin.php", body, "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(devserver_test::ReadAsClient(res->body).Result(), 0) << "built-in seed has alice";

    child.Signal(signal);
    EXPECT_EQ(child.Wait(milliseconds(10000)), 0);
    const std::string log = child.errors();
    EXPECT_NE(log.find("loginin.php Z password=*** username=alice -> result=0"), std::string::npos) << log;
    EXPECT_EQ(log.find("alice-pass"), std::string::npos) << log;
    EXPECT_EQ(log.find("warning"), std::string::npos) << "loopback only: " << log;
  }
}

TEST(ExecutableTest, RefusesBadArgumentsAndSeeds) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string badSeed = dir.Write("bad.ini", "[service]\nversion=1\nnot an item\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "nowhere"},
      {"--listen", "127.0.0.1:0", "--fault", "127.0.0.1:0=teapot"},
      {"--listen", "127.0.0.1:0", "--fault", "127.0.0.2:0=500"},
      {"--listen", "127.0.0.1:0", "--keys", "a,b"},
      {"--listen", "127.0.0.1:0", "--seed", dir.path() + "/missing.ini"},
      {"--listen", "127.0.0.1:0", "--seed", badSeed},
      {"--listen", "127.0.0.1:0", "--catalogue", "-1"},
      {"--listen", "127.0.0.1:0", "--log-format", "xml"},
      {"--listen", "127.0.0.1:0", "--db", dir.path() + "/no/such/folder/x.db"},
      {"--no-such-option"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.back());
    Child child(args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(milliseconds(10000)), 2) << "every usage error exits 2, at once";
    EXPECT_TRUE(child.ReadLine(milliseconds(100)).empty()) << "nothing may be listening";
  }
  Child seedError({"--listen", "127.0.0.1:0", "--seed", badSeed});
  ASSERT_TRUE(seedError.started());
  EXPECT_EQ(seedError.Wait(milliseconds(10000)), 2);
  EXPECT_NE(seedError.errors().find("line 3"), std::string::npos);
}

// Posts `fields` to `script` on the child listening as `line` says; the result.
int PostTo(const std::string& line, const std::string& script, const devserver_test::Fields& fields) {
  const std::string prefix = "listening on 127.0.0.1:";
  if (line.rfind(prefix, 0) != 0) return -1;
  httplib::Client client("127.0.0.1", std::stoi(line.substr(prefix.size())));
  client.set_connection_timeout(2);
  client.set_read_timeout(2);
  auto res =
      client.Post("/vpn_intl/" + script, devserver_test::RequestBody(devserver_test::FormText(fields), 'Z'),
                  "application/x-www-form-urlencoded");
  return res && res->status == 200 ? devserver_test::ReadAsClient(res->body).Result() : -1;
}

TEST(ExecutableTest, StoreFileOutlivesTheProcessAndKeepsItsKeys) {
  testsupport::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string db = dir.path() + "/devserver.db";
  const devserver_test::Fields erin = {{"password", "e-pw"}, {"username", "erin"}};
  {
    Child child({"--listen", "127.0.0.1:0", "--db", db, "--keys", "k1,k2,k3", "--log-format", "json"});
    ASSERT_TRUE(child.started());
    EXPECT_EQ(PostTo(child.ReadLine(milliseconds(10000)), "register.php", erin), 0);
    child.Signal(SIGTERM);
    EXPECT_EQ(child.Wait(milliseconds(10000)), 0);
    const std::string log = child.errors();
    EXPECT_NE(
        log.find(
            "\"peer\":\"127.0.0.1\",\"script\":\"register.php\",\"letter\":\"Z\","
            "\"fields\":{\"password\":\"***\",\"username\":\"erin\"},\"outcome\":\"result=0: parsed\"}\n"),
        std::string::npos)
        << log;
  }
  Child otherKeys({"--listen", "127.0.0.1:0", "--db", db, "--keys", "o1,o2,o3"});
  ASSERT_TRUE(otherKeys.started());
  EXPECT_EQ(otherKeys.Wait(milliseconds(10000)), 2);
  EXPECT_NE(otherKeys.errors().find("cipher keys given differ"), std::string::npos) << otherKeys.errors();

  Child again({"--listen", "127.0.0.1:0", "--db", db, "--quiet"});
  ASSERT_TRUE(again.started());
  EXPECT_EQ(PostTo(again.ReadLine(milliseconds(10000)), "loginin.php", erin), 0)
      << "the account outlived its process";
  again.Signal(SIGTERM);
  EXPECT_EQ(again.Wait(milliseconds(10000)), 0);
}

TEST(TlsService, ExecutableServesHttpsWithTheGivenFiles) {
  testsupport::TempDir dir("proxyhelper-tls-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  Child child({"--listen", "127.0.0.1:0", "--tls-cert", files.certificateFile, "--tls-key",
               files.privateKeyFile, "--quiet"});
  ASSERT_TRUE(child.started());
  const std::string line = child.ReadLine(milliseconds(10000));
  const std::string prefix = "listening on https://127.0.0.1:";
  ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
  const std::string entry = line.substr(std::string("listening on ").size());

  testsupport::UseServers({entry});
  certificates.Trust();
  std::string version;
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), 0);
  EXPECT_FALSE(version.empty());
  // The same port in clear text gets no answer.
  CLoginServers::Instance().Clear();
  testsupport::UseServers({line.substr(std::string("listening on https://").size())});
  EXPECT_EQ(ProxyHelper::Instance().GetVersion(version), RESULT_TRANSPORT_FAILURE);

  child.Signal(SIGTERM);
  EXPECT_EQ(child.Wait(milliseconds(10000)), 0);
}

TEST(TlsService, ExecutableRefusesHalfATlsSetting) {
  testsupport::TempDir dir("proxyhelper-tls-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "127.0.0.1:0", "--tls-cert", files.certificateFile},
      {"--listen", "127.0.0.1:0", "--tls-key", files.privateKeyFile},
      {"--listen", "127.0.0.1:0", "--tls-cert", dir.path() + "/none.pem", "--tls-key", files.privateKeyFile},
      {"--listen", "127.0.0.1:0", "--tls-cert", files.privateKeyFile, "--tls-key",
       files.privateKeyFile},  // a key is no certificate
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args[2] + " " + args[3]);
    Child child(args);
    ASSERT_TRUE(child.started());
    EXPECT_EQ(child.Wait(milliseconds(10000)), 2);
    EXPECT_EQ(child.ReadLine(milliseconds(100)), "");  // never claimed to listen
  }
}

#else

TEST(ExecutableTest, NotBuilt) { GTEST_SKIP() << "proxyhelper-devserver is not part of this build"; }

#endif

}  // namespace
