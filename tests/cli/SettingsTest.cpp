// Where the settings come from: flags, then environment, then the INI file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "cli/CliFixture.h"
#include "hostlib/quillon.h"
#include "tools/cli/ConfigFile.h"

namespace clitest {
namespace {

using proxycli::ConfigStatus;
using proxycli::kMaxConfigFileBytes;

// A configuration of exactly `size` bytes setting json; a comment fills it.
std::string ConfigOfSize(std::size_t size) {
  const std::string head = "json = true\n;";
  return head + std::string(size - head.size() - 1, 'c') + "\n";
}

class SettingsTest : public CliTest {
 protected:
  void WriteConfig(const std::string& text) {
    ASSERT_FALSE(home_.Write("config/proxyhelper/config.ini", text).empty());
  }
};

TEST_F(SettingsTest, FlagsBeatEnvironmentBeatsConfigFile) {
  StartService(/*deadFirst=*/true);
  const std::string live = server_.LiveAddress();
  const std::string dead = server_.DeadAddress();
  struct Case {
    const char* what;
    std::string flag;    // empty: no --servers flag
    std::string env;     // empty: unset
    std::string config;  // empty: no servers key
    int status;
  };
  const Case cases[] = {
      {"config only, live", "", "", live, 0},          {"config only, dead", "", "", dead, 3},
      {"environment beats config", "", live, dead, 0}, {"environment beats config (dead)", "", dead, live, 3},
      {"flag beats environment", live, dead, dead, 0}, {"flag beats environment (dead)", dead, live, live, 3},
  };
  for (const Case& c : cases) {
    WriteConfig(c.config.empty() ? "" : "servers = " + c.config + "\n");
    if (c.env.empty()) {
      unsetenv("PROXYHELPER_SERVERS");
    } else {
      setenv("PROXYHELPER_SERVERS", c.env.c_str(), 1);
    }
    std::vector<std::string> args;
    if (!c.flag.empty()) args = {"--servers", c.flag};
    args.push_back("version");
    EXPECT_EQ(Run(args).status, c.status) << c.what;
  }
}

TEST_F(SettingsTest, ConfigFileSuppliesUserPasswordAndJson) {
  StartService();
  WriteConfig("; account of the tests\nservers = " + server_.LiveAddress() +
              "\nuser = carol\npassword = carol-pw\njson = true\nclient_version = \"7.7 beta\"\n");
  const Outcome outcome = Run({"account"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.Json()["user"]["username"], "carol");
  // Underscores and dashes name the same key.
  CClientCfg* cfg = GlobalCache::Instance().GetClientCfg();
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg->GetVersion(), "7.7 beta");
}

TEST_F(SettingsTest, EnvironmentSuppliesCredentials) {
  StartService();
  setenv("PROXYHELPER_SERVERS", server_.LiveAddress().c_str(), 1);
  setenv("PROXYHELPER_USER", "carol", 1);
  setenv("PROXYHELPER_PASSWORD", "carol-pw", 1);
  setenv("PROXYHELPER_LANG", "de-DE", 1);
  EXPECT_EQ(Run({"ratio"}).status, 0);
  EXPECT_EQ(CMultiLanguage::Instance().GetCurrConfigLanguageTag(), "de-DE");
}

TEST_F(SettingsTest, ConfigFileProblems) {
  StartService();
  const std::string live = server_.LiveAddress();
  struct Case {
    const char* what;
    std::string text;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"unknown key warns", "colour = blue\n", 0, "unknown key \"colour\" ignored"},
      {"section items are ignored", "[other]\nservers = 127.0.0.1:1\n", 0, "ignoring other.servers"},
      {"unquoted spaces", "agent = two words\n", 2, "takes one value"},
      {"bad boolean", "json = maybe\n", 2, "must be true or false"},
  };
  for (const Case& c : cases) {
    WriteConfig(c.text);
    const Outcome outcome = Run({"--servers", live, "version"});
    EXPECT_EQ(outcome.status, c.status) << c.what << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.what << "\n" << outcome.err;
  }
}

TEST(ConfigFileTest, OnlySmallRegularFilesAreRead) {
  testsupport::TempDir dir("proxyhelper-config-");
  ASSERT_TRUE(dir.ok());
  const std::string atLimit = dir.Write("at-limit.ini", ConfigOfSize(kMaxConfigFileBytes));
  ASSERT_FALSE(atLimit.empty());
  ASSERT_EQ(::symlink(atLimit.c_str(), (dir.path() + "/link.ini").c_str()), 0);
  ASSERT_FALSE(dir.Write("over-limit.ini", ConfigOfSize(kMaxConfigFileBytes + 1)).empty());
  ASSERT_TRUE(Plant(Planted::kFifo, dir.path() + "/fifo.ini"));
  ASSERT_TRUE(Plant(Planted::kLinkToDevZero, dir.path() + "/zero.ini"));
  ASSERT_TRUE(Plant(Planted::kDirectory, dir.path() + "/directory.ini"));
  const struct {
    const char* name;
    ConfigStatus status;
    const char* reason;  // after "<path>: " in the message
  } cases[] = {
      {"at-limit.ini", ConfigStatus::kLoaded, ""},
      {"link.ini", ConfigStatus::kLoaded, ""},
      {"absent.ini", ConfigStatus::kMissing, ""},
      {"over-limit.ini", ConfigStatus::kInvalid, "larger than 65536 bytes"},
      {"fifo.ini", ConfigStatus::kInvalid, "not a regular file"},
      {"zero.ini", ConfigStatus::kInvalid, "not a regular file"},
      {"directory.ini", ConfigStatus::kInvalid, "not a regular file"},
  };
  for (const auto& c : cases) {
    const std::string path = dir.path() + "/" + c.name;
    proxycli::ConfigValues values;
    std::vector<std::string> ignored;
    std::string error;
    EXPECT_EQ(proxycli::LoadConfigFile(path, &values, &ignored, &error), c.status) << c.name;
    if (c.status == ConfigStatus::kLoaded) {
      EXPECT_EQ(values["json"], std::vector<std::string>{"true"}) << c.name;
    } else if (c.status == ConfigStatus::kInvalid) {
      EXPECT_NE(error.find(path + ": " + c.reason), std::string::npos) << error;
    }
  }
}

TEST_F(SettingsTest, FifoInPlaceOfTheDefaultConfigIsAUsageError) {
  const std::string path = home_.path() + "/config/proxyhelper/config.ini";
  ASSERT_TRUE(Plant(Planted::kFifo, path));
  const Outcome outcome = Run({"--servers", "127.0.0.1:1", "version"});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_NE(outcome.err.find(path + ": not a regular file"), std::string::npos) << outcome.err;
}

TEST_F(SettingsTest, ServerListInConfigMayHoldSeveralEntries) {
  StartService(/*deadFirst=*/true);
  WriteConfig("servers = " + server_.DeadAddress() + "," + server_.LiveAddress() + "\n");
  EXPECT_EQ(Run({"version"}).status, 0);
}

}  // namespace
}  // namespace clitest
