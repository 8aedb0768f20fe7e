// The service as the demo and the CLI's tests run it in-process: where it
// listens, that its facts hold against what it answers, and what a restart,
// a standby and a stopped instance leave behind, over real loopback.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

#include "devserver/DevserverTestUtil.h"
#include "support/TempDir.h"
#include "tools/devserver/InProcessService.h"

namespace {

using devserver::InProcessOptions;
using devserver::InProcessService;
using devserver_test::Fields;

// The CA an https:// address is verified against.
std::string trustedCa;

// One request as the client sends it (unkeyed) to "[https://]host:port";
// the reply's "result", or -1 when nothing answered with a reply at all.
// `value` receives the reply's `item`.
int Call(const std::string& address, const std::string& script, const Fields& fields,
         const std::string& item = std::string(), std::string* value = nullptr) {
  httplib::Client client(address.rfind("https://", 0) == 0 ? address : "http://" + address);
  if (!trustedCa.empty()) client.set_ca_cert_path(trustedCa);
  client.set_connection_timeout(2);
  client.set_read_timeout(5);
  const auto answer =
      client.Post("/vpn_intl/" + script, devserver_test::RequestBody(devserver_test::FormText(fields), 'Z'),
                  "application/x-www-form-urlencoded");
  if (!answer || answer->status != 200) return -1;
  const devserver_test::ClientView view = devserver_test::ReadAsClient(answer->body);
  if (value != nullptr) *value = view.Item("", item);
  return view.parsed ? view.Result() : -1;
}

TEST(InProcessService, AddressesFactsRestartsAndStandby) {
  testsupport::TempDir dir("proxyhelper-inprocess-");
  ASSERT_TRUE(dir.ok());
  for (const bool shared : {false, true}) {
    SCOPED_TRACE(shared ? "file store, no dead address" : "store in memory");
    InProcessService service;
    InProcessOptions options;
    options.deadServerFirst = !shared;
    if (shared) options.store = dir.path() + "/deployment.db";
    std::string error;
    ASSERT_TRUE(service.Start(options, &error)) << error;
    const std::string live = service.LiveAddress();
    ASSERT_FALSE(live.empty());
    EXPECT_EQ(service.ClientServerList(), shared ? live : service.DeadAddress() + ";" + live);
    if (!shared) {
      EXPECT_EQ(Call(service.DeadAddress(), "getversion.php", {}), -1);
    }

    // The facts are what the service answers.
    const devserver::SeedFacts facts = service.facts();
    std::string version;
    EXPECT_EQ(Call(live, "getversion.php", {}, "ver", &version), 0);
    EXPECT_EQ(version, facts.version);
    std::string magic;
    ASSERT_EQ(
        Call(live, "loginin.php", {{"username", facts.user}, {"password", facts.password}}, "magic", &magic),
        0);
    const Fields session = {{"username", facts.user}, {"magic", magic}};
    EXPECT_EQ(Call(live, "getuserinfo.php", session), 0);

    if (shared) {
      // A standby on the same store knows the session, and goes on alone.
      ASSERT_TRUE(service.StartStandby(&error)) << error;
      EXPECT_EQ(Call(service.StandbyAddress(), "getuserinfo.php", session), 0);
      service.StopLive();
      EXPECT_EQ(Call(live, "getversion.php", {}), -1);
      EXPECT_EQ(Call(service.StandbyAddress(), "getuserinfo.php", session), 0);
    }
    // Back on the same port; only a store in memory forgets the session.
    ASSERT_TRUE(service.RestartLive(&error)) << error;
    EXPECT_EQ(service.LiveAddress(), live);
    EXPECT_EQ(Call(live, "getuserinfo.php", session), shared ? 0 : devserver::kResultBadSession);

    service.Stop();
    EXPECT_TRUE(service.LiveAddress().empty());
    EXPECT_EQ(service.ClientServerList(), "");
    EXPECT_EQ(Call(live, "getversion.php", {}), -1);
  }
}

TEST(InProcessService, UnusableOptionsStartNothingAndTlsListsHttps) {
  testsupport::TempDir dir("proxyhelper-inprocess-");
  ASSERT_TRUE(dir.ok());
  InProcessOptions missingFiles;
  missingFiles.tls = true;
  missingFiles.certificateFile = dir.path() + "/none.pem";
  missingFiles.privateKeyFile = dir.path() + "/none.key";
  InProcessOptions badSeed;
  badSeed.seedText = "[service]\nversion\n[group:G]\nx=\n";
  for (const InProcessOptions& options : {missingFiles, badSeed}) {
    InProcessService service;
    std::string error;
    EXPECT_FALSE(service.Start(options, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(service.LiveAddress().empty());
    EXPECT_TRUE(service.DeadAddress().empty());
  }

  InProcessOptions tls;
  std::string caFile, error;
  ASSERT_TRUE(devserver::CreateLoopbackTls(dir.path(), &tls, &caFile, &error)) << error;
  EXPECT_TRUE(tls.tls);
  InProcessService service;
  ASSERT_TRUE(service.Start(tls, &error)) << error;
  EXPECT_TRUE(service.tls());
  EXPECT_EQ(service.ClientServerList(),
            "https://" + service.DeadAddress() + ";https://" + service.LiveAddress());
  // The live address answers over TLS under the CA made for it, and only so.
  trustedCa = caFile;
  EXPECT_EQ(Call("https://" + service.LiveAddress(), "getversion.php", {}), 0);
  trustedCa.clear();
  EXPECT_EQ(Call(service.LiveAddress(), "getversion.php", {}), -1);
}

}  // namespace
