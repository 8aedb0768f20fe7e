// The user-info operation: the account record and the pushed configuration.
#include "service/OperationsFixture.h"
#include "transport/AttemptInterceptor.h"
#include "transport/AttemptTraceSink.h"

namespace {

ServerConfig* StoredServerConfig() {
  return static_cast<ServerConfig*>(GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG"));
}

std::string ServerList() {
  std::string list;
  for (const auto& server : CLoginServers::Instance().GetServers()) {
    list += server.host + ":" + std::to_string(server.port) + ";";
  }
  return list;
}

TEST_F(OperationsTest, UserInfoFillsTheRecordAndPushesEveryConfigurationItem) {
  SignInAsBob();
  Reply(
      UnkeyedReply("result=0\n"
                   "[userinfo]\nusername=mallory\nvpnpd=pd\ntimeleft=3 days\nuserlevel_desc=gold\n"
                   "userlevel=3\nusermode=2\nsimuses=4\nmoneyleft=-15\ntimetip=1\n"
                   "[serverlevel]\n1=a\n2=b\n01=c\nx=zero\n7z=seven\n"
                   "[warning]\ntip=2\nmessage=maintenance\nurl=http://example.invalid/\n"
                   "[warning]\ntip=9\nmessage=second\n"
                   "[config]\nheartbeat_slot=30\nonlineratio_slot=60\nm1=k1\nm2=k2\nm3=k3\n"
                   "default_login_server=127.0.0.3:81\nlogin_server=127.0.0.2:80;127.0.0.3:81\n"
                   "[userinfo]\nvpnpd=ignored\n"));
  UserInfo info;
  ASSERT_EQ(helper_.GetUserInfo(info), 0);

  EXPECT_EQ(LastRequest().path, "/vpn_intl/getuserinfo.php");
  EXPECT_EQ(LastRequest().letter, 'Z');
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&magic=tok&username=bob&"));

  EXPECT_EQ(info.username, "bob");  // the session's name, not the reply's
  EXPECT_EQ(info.vpnpd, "pd");
  EXPECT_EQ(info.timeleft, "3 days");
  EXPECT_EQ(info.userlevel_desc, "gold");
  EXPECT_EQ(info.userlevel, 3);
  EXPECT_EQ(info.usermode, 2);
  EXPECT_EQ(info.simuses, 4);
  EXPECT_EQ(info.moneyleft, -15);
  EXPECT_EQ(info.timetip, 1);

  ServerConfig* config = StoredServerConfig();
  ASSERT_NE(config, nullptr);
  const std::map<int, std::string> levels{{0, "zero"}, {1, "c"}, {2, "b"}, {7, "seven"}};
  EXPECT_EQ(config->serverlevel, levels);
  EXPECT_EQ(config->tip, 2);
  EXPECT_EQ(config->message, "maintenance");
  EXPECT_EQ(config->url, "http://example.invalid/");

  EXPECT_EQ(ConfigItem("GC_HEARTBEAT_SLOT"), "30");
  EXPECT_EQ(ConfigItem("GC_ONLINERATIO_SLOT"), "60");
  EXPECT_EQ(ConfigItem("GC_CIPER_A"), "k1");
  EXPECT_EQ(ConfigItem("GC_CIPER_B"), "k2");
  EXPECT_EQ(ConfigItem("GC_CIPER_C"), "k3");
  EXPECT_EQ(ServerList(), "127.0.0.2:80;127.0.0.3:81;");
  std::string host;
  int port = 0;
  CLoginServers::Instance().GetCurrServer(host, port);
  EXPECT_EQ(host, "127.0.0.3");  // the pushed default
  EXPECT_EQ(port, 81);
}

TEST_F(OperationsTest, UserInfoWithOnlyAVerdictStoresAnEmptyServerConfig) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "before");
  const std::string servers = ServerList();
  UserInfo info;
  info.vpnpd = "caller's";
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.GetUserInfo(info), 0);
  EXPECT_EQ(info.vpnpd, "caller's");
  EXPECT_EQ(info.username, "");
  ServerConfig* config = StoredServerConfig();
  ASSERT_NE(config, nullptr);
  EXPECT_TRUE(config->serverlevel.empty());
  EXPECT_EQ(config->tip, 0);
  EXPECT_EQ(config->message, "");
  EXPECT_EQ(ConfigItem("GC_CIPER_A"), "before");
  EXPECT_EQ(ServerList(), servers);

  // An unchanged configuration keeps the stored record; a changed one
  // stores a fresh record and leaves the old one alive for whoever holds it.
  ASSERT_EQ(helper_.GetUserInfo(info), 0);
  EXPECT_EQ(StoredServerConfig(), config);
  Reply(UnkeyedReply("result=0\n[warning]\ntip=1\n"));
  ASSERT_EQ(helper_.GetUserInfo(info), 0);
  ServerConfig* changed = StoredServerConfig();
  ASSERT_NE(changed, config);
  EXPECT_EQ(changed->tip, 1);
  EXPECT_TRUE(config->serverlevel.empty());  // still readable
  // A record the application put there itself is never read as ours.
  ServerConfig own;
  own.tip = 1;
  GlobalCache::Instance().SetValue("GCP_CUR_SERVERCONFIG", &own);
  ASSERT_EQ(helper_.GetUserInfo(info), 0);
  EXPECT_NE(StoredServerConfig(), &own);
  EXPECT_NE(StoredServerConfig(), changed);
}

TEST_F(OperationsTest, UserInfoConfigStoresAbsentKeysAsEmptyAndGuardsTheServerItems) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "old-b");
  const std::string servers = ServerList();
  Reply(UnkeyedReply("result=0\n[userinfo]\nuserlevel=2\n[config]\nm1=x\nm3=z\nlogin_server=\n"));
  UserInfo info;
  info.vpnpd = "caller's";
  ASSERT_EQ(helper_.GetUserInfo(info), 0);
  EXPECT_EQ(info.vpnpd, "");  // absent text item in a present section
  EXPECT_EQ(info.userlevel, 2);
  EXPECT_EQ(ConfigItem("GC_CIPER_A"), "x");
  EXPECT_EQ(ConfigItem("GC_CIPER_B"), "");
  EXPECT_EQ(ConfigItem("GC_CIPER_C"), "z");
  EXPECT_EQ(ConfigItem("GC_HEARTBEAT_SLOT"), "0");
  EXPECT_EQ(ServerList(), servers);
}

TEST_F(OperationsTest, UserInfoRefusalOrFailureChangesNothing) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "before");
  UserInfo info;
  info.vpnpd = "caller's";
  const std::string reply = "[userinfo]\nvpnpd=new\n[config]\nm1=new\nlogin_server=127.0.0.9:1\n";
  for (const char* verdict : {"result=1\n", "result=00\n", "errdesc=none\n"}) {
    Reply(UnkeyedReply(std::string(verdict) + reply));
    EXPECT_EQ(helper_.GetUserInfo(info), RESULT_NOT_SUCCEEDED) << verdict;
  }
  UseDeadServer();
  EXPECT_EQ(helper_.GetUserInfo(info), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(info.vpnpd, "caller's");
  EXPECT_EQ(ConfigItem("GC_CIPER_A"), "before");
  EXPECT_EQ(StoredServerConfig(), nullptr);
}

// "GC_HTTPS_ONLY" against the list the application sets and the one the
// service pushes. TLS is stood in for: "https" attempts reach the same
// loopback server in clear text, and the trace tells what was asked for
// ("!": an entry refused without a connection).
TEST_F(OperationsTest, HttpsOnlyKeepsEveryRequestOnTls) {
  testsupport::ScriptedServer other("127.0.0.1",
                                    testsupport::Script::Respond(200, UnkeyedReply("result=0\n")));
  ASSERT_TRUE(other.Start());
  const auto expand = [&](std::string text) {  // "$1": the server that pushes, "$2": the other
    for (std::size_t at; (at = text.find('$')) != std::string::npos;)
      text.replace(at, 2, (text[at + 1] == '1' ? service_ : other).HostPort());
    return text;
  };
  const struct {
    const char* setting;  // "-": absent; "1+": set after the application's list
    const char* set;
    const char* pushed;    // "login_server|default_login_server"
    const char* used;      // the list (" @default") afterwards; schemes show in `attempts`
    const char* refused;   // "GC_REFUSED_LOGIN_SERVER"
    const char* attempts;  // of GetUserInfo, then GetVersion
  } cases[] = {
      {"-", "https://$1", "$2|$2", "$2; @$2", "", "https://$1 http://$2"},
      {"1", "https://$1", "$2|$2", "$1;", "$2", "https://$1 https://$1"},
      {"1", "https://$1", "https://$2;$2|", "$1;", "https://$2;$2", "https://$1 https://$1"},
      {"1", "https://$1", "https://$2|", "$2;", "", "https://$1 https://$2"},
      {"1", "https://$1", "https://$2;$1|$1", "$2;$1; @$1", "", "https://$1 https://$1"},
      {"1", "https://$1", "https://$1;https://$2|$2", "$1;$2;", "", "https://$1 https://$1"},
      {"1", "https://$1;$2", "|", "$1;", "", "https://$1 https://$1"},
      {"1+", "$2;https://$1", "|", "$2;$1;", "", "!http://$2 https://$1 https://$1"},
      {"1", "https://$1", "ftp://$2|", "$1;", "", "https://$1 https://$1"},  // nothing usable
      {"true", "https://$1", "$2|", "$2;", "", "https://$1 http://$2"},
  };
  SignInAsBob();
  SetAttemptInterceptor([](const HttpAttemptRequest& request) {
    HttpAttemptRequest plain = request;
    plain.secure = false;
    return PerformHttpAttempt(plain);
  });
  std::string attempts;
  const auto token = AttemptTraceSink::Process().Subscribe([&](const AttemptTrace& a) {
    attempts += std::string(attempts.empty() ? "" : " ") + (a.connectTimeoutMs == 0 ? "!" : "") +
                (a.tls ? "https://" : "http://") + a.host + ":" + std::to_string(a.port);
  });
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.setting) + " " + c.set + " " + c.pushed);
    const std::string setting = c.setting, pushed = expand(c.pushed);
    const bool after = setting == "1+";
    CLoginServers::Instance().Clear();
    GlobalCache::Instance().RemoveConfigItem("GC_HTTPS_ONLY");
    if (setting != "-" && !after) GlobalCache::Instance().SetConfigItem("GC_HTTPS_ONLY", setting);
    GlobalCache::Instance().SetConfigItem("GC_REFUSED_LOGIN_SERVER", "stale");
    CLoginServers::Instance().Parse(expand(c.set), true);
    if (after) GlobalCache::Instance().SetConfigItem("GC_HTTPS_ONLY", 1);
    Reply(UnkeyedReply("result=0\n[config]\nm1=k1\nlogin_server=" + pushed.substr(0, pushed.find('|')) +
                       "\ndefault_login_server=" + pushed.substr(pushed.find('|') + 1) + "\n"));
    attempts.clear();
    UserInfo info;
    std::string version;
    ASSERT_EQ(helper_.GetUserInfo(info), 0);
    ASSERT_EQ(helper_.GetVersion(version), 0);
    const std::string defaultServer = CLoginServers::Instance().GetDefaultServer();
    EXPECT_EQ(ServerList() + (defaultServer.empty() ? "" : " @" + defaultServer), expand(c.used));
    EXPECT_EQ(ConfigItem("GC_REFUSED_LOGIN_SERVER"), expand(c.refused));
    EXPECT_EQ(ConfigItem("GC_CIPER_A"), "k1");  // the rest of the push applies
    EXPECT_EQ(attempts, expand(c.attempts));
  }
  AttemptTraceSink::Process().Unsubscribe(token);
  SetAttemptInterceptor(nullptr);
}

}  // namespace
