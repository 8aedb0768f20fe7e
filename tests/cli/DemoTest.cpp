// The demo's own checks pass against the reference service, in clear text
// and over TLS.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "cli/CliFixture.h"
#include "hostlib/quillon.h"
#include "tools/cli/Demo.h"

namespace clitest {
namespace {

TEST_F(CliTest, DemoPassesEveryStep) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
  EXPECT_EQ(proxycli::RunDemo(proxycli::DemoOptions(), console), 0) << out.str() << err.str();
  const std::string transcript = out.str();
  EXPECT_EQ(transcript.find("FAILED"), std::string::npos) << transcript;
  for (const char* step :
       {"version", "failover past dead server", "register", "recharge", "sign in", "account state",
        "pushed configuration", "catalogue from the service", "catalogue from the cache", "online ratio",
        "lease", "handshake 1", "handshake 2", "failover between instances", "release", "sign out"}) {
    EXPECT_NE(transcript.find(std::string("  ") + step + " "), std::string::npos) << step;
  }
  EXPECT_NE(transcript.find("demo: 22 of 22 steps ok\n"), std::string::npos) << transcript;
  // Quiet server by default.
  EXPECT_EQ(err.str(), "");
}

TEST_F(CliTest, DemoJsonAndServerLog) {
  const Outcome outcome = Run({"--json", "demo", "--verbose"});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  const nlohmann::json doc = outcome.Json();
  ASSERT_TRUE(doc.is_object()) << outcome.out;
  EXPECT_EQ(doc["ok"], true);
  EXPECT_EQ(doc["failed"], 0);
  ASSERT_EQ(doc["steps"].size(), 22u);
  for (const nlohmann::json& step : doc["steps"]) EXPECT_EQ(step["ok"], true) << step.dump();
  // --verbose shows one service line per request, passwords masked.
  EXPECT_NE(outcome.err.find("server: loginin.php"), std::string::npos) << outcome.err;
  EXPECT_EQ(outcome.err.find("pw-"), std::string::npos);
}

TEST_F(CliTest, DemoLeavesTheUsersDirectoriesAlone) {
  ASSERT_EQ(Run({"demo"}).status, 0);
  for (const char* dir : {"/config", "/cache", "/state"}) {
    EXPECT_FALSE(std::ifstream(home_.path() + dir + "/proxyhelper/keys.ini").good()) << dir;
  }
  EXPECT_TRUE(home_.Read("cache/proxyhelper/cache.dat").empty());
}

TEST_F(CliTest, DemoRunsTheWholeStoryOverTls) {
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  proxycli::Console console{in, out, err, false, false};
  proxycli::DemoOptions options;
  options.tls = true;
  EXPECT_EQ(proxycli::RunDemo(options, console), 0) << out.str() << err.str();
  const std::string transcript = out.str();
  EXPECT_EQ(transcript.find("FAILED"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("over TLS"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("live on https://127.0.0.1:"), std::string::npos) << transcript;
  EXPECT_NE(transcript.find("demo: 22 of 22 steps ok\n"), std::string::npos) << transcript;
  // The throwaway CA is no longer trusted once the demo is over.
  std::string bundle;
  EXPECT_EQ(GlobalCache::Instance().GetConfigItem("GC_CA_BUNDLE", bundle), 0);
}

TEST_F(CliTest, DemoOverTlsAsJsonFromTheCommandLine) {
  const Outcome outcome = Run({"--json", "demo", "--tls"});
  ASSERT_EQ(outcome.status, 0) << outcome.out << outcome.err;
  const nlohmann::json doc = outcome.Json();
  ASSERT_TRUE(doc.is_object()) << outcome.out;
  EXPECT_EQ(doc["tls"], true);
  EXPECT_EQ(doc["failed"], 0);
  ASSERT_EQ(doc["steps"].size(), 22u);
}

}  // namespace
}  // namespace clitest
