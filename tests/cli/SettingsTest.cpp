// Where the settings come from: flags, then environment, then the INI file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/CliFixture.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/ServiceSide.h"
#include "support/TestCertificates.h"
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
      {"bad boolean flag", "allow_plain_push = 2\n", 2,
       "config.ini: \"allow-plain-push\" must be true or false"},
      {"quote left open", "agent = \"open\n", 2, "config.ini: line 1: a quote is not closed"},
      {"time-out of zero", "timeout = 0\n", 2, "config.ini: timeout \"0\" is not a number of seconds"},
      {"time-out too long", "operation-timeout = 86401\n", 2, "from 0.001 to 86400"},
      {"password readable by others", "password = x\n", 0, "holds a password and is readable by others"},
  };
  for (const Case& c : cases) {
    WriteConfig(c.text);
    ::chmod((home_.path() + "/config/proxyhelper/config.ini").c_str(), 0644);
    const Outcome outcome = Run({"--servers", live, "version"});
    EXPECT_EQ(outcome.status, c.status) << c.what << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << c.what << "\n" << outcome.err;
  }
}

TEST(ConfigFileTest, QuotesKeepSeparatorsAndCommentCharacters) {
  testsupport::TempDir dir("proxyhelper-config-");
  ASSERT_TRUE(dir.ok());
  using Pieces = std::vector<std::string>;
  const struct {
    const char* text;
    const char* key;
    Pieces pieces;
  } cases[] = {
      {"servers = \"https://a.example;b.example:8080\"\n", "servers", {"https://a.example;b.example:8080"}},
      {"password = \"pa;ss#word\" ; a comment\n", "password", {"pa;ss#word"}},
      {"password = 'it\"s; #1'\n", "password", {"it\"s; #1"}},
      {"password = pa#ss # a comment\n", "password", {"pa#ss"}},
      {"user = alice;a comment\n", "user", {"alice"}},
      {"servers = a.example, b.example  c.example\n", "servers", {"a.example", "b.example", "c.example"}},
      {"servers = [a.example, b.example]\n", "servers", {"a.example", "b.example"}},
      {"agent = \"two words\"\r\n", "agent", {"two words"}},
      {"password = \"\"\n", "password", {""}},
      {"  # user = mallory\n; user = eve\nuser=bob\n", "user", {"bob"}},
      {"json\n", "json", {"true"}},
  };
  for (const auto& c : cases) {
    const std::string path = dir.Write("config.ini", c.text);
    proxycli::ConfigValues values;
    std::vector<std::string> ignored;
    std::string error;
    ASSERT_EQ(proxycli::LoadConfigFile(path, &values, &ignored, &error), ConfigStatus::kLoaded) << error;
    EXPECT_EQ(values, (proxycli::ConfigValues{{c.key, c.pieces}})) << c.text;
    EXPECT_TRUE(ignored.empty()) << c.text;
  }
}

TEST_F(SettingsTest, ConfigShowSaysWhereEachSettingCameFrom) {
  WriteConfig("user = carol\nagent = file-agent\npassword = \"s3cret;#\"\nlang = de-DE\n");
  ::chmod((home_.path() + "/config/proxyhelper/config.ini").c_str(), 0600);
  setenv("PROXYHELPER_AGENT", "env-agent", 1);
  setenv("PROXYHELPER_LANG", "", 1);  // empty: as if unset
  const std::string file = home_.path() + "/config/proxyhelper/config.ini";
  const Outcome outcome = Run({"--timeout", "2.5", "-u", "dave", "--json", "config", "show"});
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  const nlohmann::json settings = outcome.Json()["settings"];
  const struct {
    const char* key;
    nlohmann::json expected;
  } cases[] = {
      {"user", {{"value", "dave"}, {"source", "flag"}}},
      {"agent", {{"value", "env-agent"}, {"source", "environment"}, {"from", "PROXYHELPER_AGENT"}}},
      {"password", {{"value", "********"}, {"source", "file"}, {"from", file}}},
      {"lang", {{"value", "de-DE"}, {"source", "file"}, {"from", file}}},
      {"servers", {{"value", "127.0.0.1:8080"}, {"source", "default"}}},
      {"json", {{"value", "true"}, {"source", "flag"}}},
      {"timeout", {{"value", "2.5"}, {"source", "flag"}}},
      {"operation-timeout", {{"value", "10"}, {"source", "default (4 x timeout)"}}},
      {"config", {{"value", file}, {"source", "default"}}},
      {"allow-plain-push", {{"value", "false"}, {"source", "default"}}},
  };
  for (const auto& c : cases) EXPECT_EQ(settings[c.key], c.expected) << c.key;
  EXPECT_EQ(outcome.out.find("s3cret"), std::string::npos);

  const Outcome text = Run({"--password-stdin", "config", "show"}, "typed\n");
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("agent              env-agent"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("environment PROXYHELPER_AGENT\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("password           ********"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find(" standard input\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("file " + file + "\n"), std::string::npos) << text.out;
  EXPECT_EQ(text.out.find("typed"), std::string::npos);
}

TEST_F(SettingsTest, StateAndCacheDirectoriesMustBePrivate) {
  StartService();
  const struct {
    const char* what;
    mode_t mode;
    bool foreign;  // owned by someone else
    int status;
    const char* message;
  } cases[] = {
      {"private", 0700, false, 0, ""},
      {"readable by others", 0755, false, 0, ""},
      {"group-writable", 0770, false, 2,
       "is writable by its group or by others (mode 0770); make it private"},
      {"world-writable", 01777, false, 2, "(mode 1777)"},
      {"someone else's", 0700, true, 2, "not to you; use a directory of your own"},
  };
  for (const auto& c : cases) {
    for (const std::string which : {"cache", "state"}) {
      const std::string base = home_.path() + "/" + c.what + "-" + which;
      std::string directory = base + "/proxyhelper";
      ASSERT_EQ(::mkdir(base.c_str(), 0700), 0) << base;
      ASSERT_EQ(::mkdir(directory.c_str(), 0700), 0) << directory;
      ASSERT_EQ(::chmod(directory.c_str(), c.mode), 0);
      if (c.foreign && ::geteuid() == 0) {
        ASSERT_EQ(::chown(directory.c_str(), 65534, 65534), 0);
      } else if (c.foreign) {
        // Only root can give a directory away; anyone else finds root's.
        if (which == "state") continue;
        directory = "/";
      }
      std::vector<std::string> args = {"--servers", server_.LiveAddress(), "version"};
      if (which == "cache") {
        args.insert(args.begin(), {"--cache-dir", directory});
      } else {
        setenv("XDG_STATE_HOME", base.c_str(), 1);
      }
      const Outcome outcome = Run(args);
      setenv("XDG_STATE_HOME", (home_.path() + "/state").c_str(), 1);
      EXPECT_EQ(outcome.status, c.status) << c.what << " " << which << "\n" << outcome.err;
      if (c.status == 0) {
        EXPECT_EQ(outcome.err, "") << c.what << " " << which;
      } else {
        EXPECT_EQ(outcome.err.rfind("proxyhelper: " + which + " directory: " + directory, 0), 0u)
            << outcome.err;
        EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
      }
    }
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
  const std::string dead = server_.DeadAddress();
  const std::string live = server_.LiveAddress();
  for (const std::string& value : {dead + "," + live, dead + " " + live, "\"" + dead + ";" + live + "\"",
                                   "'" + dead + "; " + live + "' ; comment"}) {
    WriteConfig("servers = " + value + "\n");
    const Outcome outcome = Run({"-v", "version"});
    EXPECT_EQ(outcome.status, 0) << value << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find(dead + ": connection refused"), std::string::npos) << value;
  }
}

TEST_F(SettingsTest, EnvironmentValuesAreCheckedLikeFlags) {
  const struct {
    const char* name;
    const char* value;
    const char* message;
  } cases[] = {
      {"PROXYHELPER_TIMEOUT", "soon", "PROXYHELPER_TIMEOUT: timeout \"soon\" is not a number of seconds"},
      {"PROXYHELPER_OPERATION_TIMEOUT", "0", "PROXYHELPER_OPERATION_TIMEOUT: operation-timeout \"0\""},
      {"PROXYHELPER_JSON", "maybe", "PROXYHELPER_JSON: \"json\" must be true or false"},
      {"PROXYHELPER_ALLOW_PLAIN_PUSH", "sometimes",
       "PROXYHELPER_ALLOW_PLAIN_PUSH: \"allow-plain-push\" must be true or false"},
  };
  for (const auto& c : cases) {
    setenv(c.name, c.value, 1);
    const Outcome outcome = Run({"--servers", "127.0.0.1:1", "version"});
    unsetenv(c.name);
    EXPECT_EQ(outcome.status, 2) << c.name;
    EXPECT_NE(outcome.err.find(c.message), std::string::npos) << outcome.err;
  }
}

TEST_F(CliTest, CaBundleOptionLetsTheToolTrustAPrivateCa) {
  unsetenv("PROXYHELPER_CA_BUNDLE");
  testsupport::TempDir dir("proxyhelper-tls-");
  ASSERT_TRUE(dir.ok());
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  testsupport::ReferenceService::Setup setup;
  setup.tls = &files;
  testsupport::ReferenceService service(setup);
  ASSERT_TRUE(service.ok());

  const Outcome trusted =
      Run({"--servers", service.Entry(), "--ca-bundle", certificates.CaFile(), "version"});
  EXPECT_EQ(trusted.status, 0) << trusted.out << trusted.err;
  EXPECT_NE(trusted.out.find(service.version()), std::string::npos) << trusted.out;

  // Without the option the system store decides: no server reachable.
  const Outcome untrusted = Run({"--servers", service.Entry(), "version"});
  EXPECT_EQ(untrusted.status, 3) << untrusted.out << untrusted.err;

  // The environment names it as well.
  setenv("PROXYHELPER_CA_BUNDLE", certificates.CaFile().c_str(), 1);
  EXPECT_EQ(Run({"--servers", service.Entry(), "version"}).status, 0);
  unsetenv("PROXYHELPER_CA_BUNDLE");
  EXPECT_EQ(service.Handled(), 2);
}

// A client that gave only https servers stays on TLS when the service pushes
// a list with plain entries, unless told to follow it.
TEST_F(SettingsTest, AllHttpsClientIgnoresAPlainPushUnlessAllowed) {
  testsupport::TempDir dir("proxyhelper-tls-");
  testsupport::TestCertificates certificates(dir.path());
  ASSERT_TRUE(certificates.ok()) << certificates.error();
  const devserver::TlsFiles files = certificates.IssueLoopback("server");
  // Where a plain push leads; it answers everything, so following it shows.
  testsupport::ScriptedServer plain(
      "127.0.0.1", testsupport::Script::Respond(200, testsupport::UnkeyedReply("result=0\n")));
  ASSERT_TRUE(plain.Start());
  const std::string p = plain.HostPort();
  const std::string closed = "127.0.0.1:" + std::to_string(testsupport::ReserveClosedPort("127.0.0.1"));
  const std::string ignored =
      "proxyhelper: note: ignored the service's account-server list: it is not all https "
      "(use --allow-plain-push to follow it)\n";
  const std::string replaced =
      "proxyhelper: note: the service replaced the account-server list with: " + p + "\n";
  const struct {
    std::string pushed;              // empty: the service's own address
    std::vector<std::string> extra;  // leading arguments
    std::string more;                // after the https entry in --servers
    const char* env;                 // PROXYHELPER_ALLOW_PLAIN_PUSH; null: unset
    const char* file;                // the configuration file
    std::string err;
    const char* field;  // in the JSON document, holding `pushed`
    int tls;            // sign-in, user info, sign-out: how many went over TLS
  } cases[] = {
      {p, {}, "", nullptr, "", ignored, "server_list_refused", 3},
      {"https://" + p + ";" + p, {}, "", nullptr, "", ignored, "server_list_refused", 3},
      {p, {"-q"}, "", nullptr, "", "", "server_list_refused", 3},
      {p, {"--allow-plain-push"}, "", nullptr, "", replaced, "server_list_replaced", 2},
      {p, {}, "", "yes", "", replaced, "server_list_replaced", 2},
      {p, {}, "", nullptr, "allow-plain-push = true\n", replaced, "server_list_replaced", 2},
      {p, {}, ";" + closed, nullptr, "", replaced, "server_list_replaced", 2},  // a plain server given
      {"", {}, "", nullptr, "", "", nullptr, 3},                                // nothing replaced
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pushed + (c.extra.empty() ? "" : " " + c.extra[0]) + c.more + (c.env ? " env" : "") +
                 c.file);
    testsupport::ReferenceService::Setup setup;
    setup.tls = &files;
    setup.options.loginServers = c.pushed;
    testsupport::ReferenceService service(setup);
    ASSERT_TRUE(service.ok());
    const std::size_t before = plain.Requests().size();
    WriteConfig(c.file);
    if (c.env != nullptr) setenv("PROXYHELPER_ALLOW_PLAIN_PUSH", c.env, 1);
    std::vector<std::string> args = c.extra;
    args.insert(args.end(), {"--json", "--ca-bundle", certificates.CaFile(), "-u", "alice", "-p",
                             "alice-pass", "--servers", service.Entry() + c.more, "account"});
    const Outcome outcome = Run(args);
    unsetenv("PROXYHELPER_ALLOW_PLAIN_PUSH");
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.err, c.err);
    for (const char* field : {"server_list_refused", "server_list_replaced"}) {
      const bool expected = c.field != nullptr && std::string(field) == c.field;
      EXPECT_EQ(outcome.Json().value(field, std::string("absent")), expected ? c.pushed : "absent") << field;
    }
    EXPECT_EQ(service.Handled(), c.tls);
    const std::vector<testsupport::RecordedRequest> requests = plain.Requests();
    ASSERT_EQ(requests.size() - before, 3u - static_cast<std::size_t>(c.tls));
    if (c.tls == 2) {
      EXPECT_EQ(requests.back().target, "/vpn_intl/logout.php");
    }
  }
}

}  // namespace
}  // namespace clitest
