// The service's rules, through AccountService::Handle without sockets.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "devserver/DevserverTestUtil.h"
#include "tools/devserver/Catalogue.h"
#include "tools/devserver/ResultCodes.h"

namespace {

using devserver::AccountService;
using devserver::HttpAnswer;
using devserver_test::ClientView;
using devserver_test::Fields;
using devserver_test::FormText;
using devserver_test::ReadAsClient;
using devserver_test::RequestBody;

class AccountServiceTest : public ::testing::Test {
 protected:
  AccountServiceTest() : keys_(devserver_test::TestKeys()) {
    devserver_test::InstallClientKeys(keys_);
    Restart(devserver_test::TestSeed(), Options());
  }

  devserver::ServiceOptions Options() {
    devserver::ServiceOptions options;
    options.keys = keys_;
    options.log = [this](const std::string& line) {
      std::lock_guard<std::mutex> lock(logMutex_);
      log_.push_back(line);
    };
    return options;
  }

  void Restart(const devserver::SeedData& seed, const devserver::ServiceOptions& options) {
    service_ = std::make_unique<AccountService>(seed, options);
  }

  // Posts `fields` as the client would and reads the reply as it would.
  ClientView Call(const std::string& script, const Fields& fields, char letter = 'Z') {
    const std::string* item = keys_.ForLetter(letter);
    last_ = service_->Handle(script, RequestBody(FormText(fields), letter, item ? *item : ""));
    EXPECT_EQ(last_.status, 200) << script << ": " << last_.body;
    ClientView view = ReadAsClient(last_.body);
    EXPECT_TRUE(view.parsed) << script << ": " << last_.profile;
    EXPECT_EQ(view.Result(), last_.result);
    return view;
  }

  int Result(const std::string& script, const Fields& fields, char letter = 'Z') {
    return Call(script, fields, letter).Result();
  }

  static Fields Common() { return {{"agent", "test-agent"}, {"lang", "en"}}; }

  std::string SignIn(const std::string& user, const std::string& password) {
    Fields fields = Common();
    fields["username"] = user;
    fields["password"] = password;
    fields["mid"] = "machine";
    fields["ver"] = "1.0";
    const ClientView view = Call("loginin.php", fields);
    EXPECT_EQ(view.Result(), 0) << view.Item("", "errdesc");
    return view.Item("", "magic");
  }

  static Fields Session(const std::string& user, const std::string& magic) {
    Fields fields = Common();
    fields["username"] = user;
    fields["magic"] = magic;
    return fields;
  }

  struct Lent {
    int result = -1;
    std::string user;
    std::string password;
    std::string token;
  };
  Lent Lease(const Fields& session, int serverId, char letter = 'A') {
    Fields fields = session;
    fields["vpnserverid"] = std::to_string(serverId);
    fields["mac"] = "00-11-22-33-44-55";
    const ClientView view = Call("getdailupinfo.php", fields, letter);
    return Lent{view.Result(), view.Item("", "lendusername"), view.Item("", "lendpassword"),
                view.Item("", "dailsession")};
  }

  int Release(const Fields& session, const std::string& token, int outcome) {
    Fields fields = session;
    fields["dailsession"] = token;
    fields["result"] = std::to_string(outcome);
    return Result("releasedialupinfo.php", fields);
  }

  int Verify(const Fields& session, const std::string& token, const std::string& lendUser, int serverId) {
    Fields fields = session;
    fields["dailsession"] = token;
    fields["lendusername"] = lendUser;
    fields["vpnserverid"] = std::to_string(serverId);
    fields["mid"] = "machine";
    return Result("verification.php", fields);
  }

  devserver::CipherKeys keys_;
  std::unique_ptr<AccountService> service_;
  HttpAnswer last_;
  std::mutex logMutex_;
  std::vector<std::string> log_;
};

TEST_F(AccountServiceTest, SignInChecksThePasswordAndIssuesFreshTokens) {
  EXPECT_EQ(Result("loginin.php", {{"username", "alice"}, {"password", "wrong"}}),
            devserver::kResultBadCredentials);
  EXPECT_EQ(Result("loginin.php", {{"username", "nobody"}, {"password", "a-pw"}}),
            devserver::kResultBadCredentials);
  EXPECT_FALSE(
      Call("loginin.php", {{"username", "alice"}, {"password", "A-PW"}}).Item("", "errdesc").empty());

  const std::string first = SignIn("alice", "a-pw");
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  const std::string second = SignIn("alice", "a-pw");
  EXPECT_NE(first, second);
  // Signing in again ends the earlier session.
  EXPECT_EQ(Result("getuserinfo.php", Session("alice", first)), devserver::kResultBadSession);
  EXPECT_EQ(Result("getuserinfo.php", Session("alice", second)), 0);
}

TEST_F(AccountServiceTest, EverySessionScriptChecksUserAndToken) {
  const std::string magic = SignIn("alice", "a-pw");
  SignIn("bob", "b-pw");
  const char* scripts[] = {"logout.php",        "getuserinfo.php",   "onlineratio.php",
                           "getserverinfo.php", "getdailupinfo.php", "releasedialupinfo.php",
                           "verification.php"};
  const Fields badSessions[] = {
      Session("alice", ""),           // as sent before any sign-in
      Session("alice", magic + "0"),  // wrong token
      Session("bob", magic),          // someone else's token
      Session("nobody", magic),       // unknown user
  };
  for (const char* script : scripts) {
    for (const Fields& session : badSessions) {
      SCOPED_TRACE(std::string(script) + " as " + session.at("username") + "/" + session.at("magic"));
      Fields fields = session;
      fields["vpnserverid"] = "101";
      fields["dailsession"] = "x";
      fields["lendusername"] = "d101";
      fields["result"] = "0";
      const char letter = std::string(script) == "getdailupinfo.php" ? 'B' : 'Z';
      const ClientView view = Call(script, fields, letter);
      EXPECT_EQ(view.Result(), devserver::kResultBadSession);
      EXPECT_FALSE(view.Item("", "errdesc").empty());
    }
  }
  // The good session still works after all those refusals.
  EXPECT_EQ(Result("getuserinfo.php", Session("alice", magic)), 0);
}

TEST_F(AccountServiceTest, SignOutEndsTheSessionAndFreesItsLeases) {
  const std::string magic = SignIn("alice", "a-pw");
  const Lent lease = Lease(Session("alice", magic), 101);
  ASSERT_EQ(lease.result, 0);
  ASSERT_EQ(lease.user, "d101");

  EXPECT_EQ(Result("logout.php", Session("alice", magic)), 0);
  EXPECT_EQ(Result("logout.php", Session("alice", magic)), devserver::kResultBadSession);
  EXPECT_EQ(Result("getuserinfo.php", Session("alice", magic)), devserver::kResultBadSession);

  // The lease went with the session: its token is dead and its
  // credentials are back in the server's pool.
  const std::string again = SignIn("alice", "a-pw");
  EXPECT_EQ(Release(Session("alice", again), lease.token, 0), devserver::kResultBadLease);
  EXPECT_EQ(Lease(Session("alice", again), 101).user, "d101");
}

TEST_F(AccountServiceTest, RegisterRefusesDuplicatesAndEmptyNames) {
  const Fields carol = {{"username", "carol"}, {"password", "c-pw"}, {"phone", ""}, {"qq", ""},
                        {"email", "c@x"},      {"memo", ""}};
  EXPECT_EQ(Result("register.php", carol), 0);
  EXPECT_EQ(Result("register.php", carol), devserver::kResultDuplicateAccount);
  Fields seeded = carol;
  seeded["username"] = "alice";
  EXPECT_EQ(Result("register.php", seeded), devserver::kResultDuplicateAccount);

  Fields empty = carol;
  empty["username"] = "";
  const ClientView view = Call("register.php", empty);
  EXPECT_EQ(view.Result(), devserver::kResultBadRequest);
  EXPECT_NE(view.Item("", "errdesc").find("username"), std::string::npos);

  // The new account signs in and starts from the [new_account] defaults.
  const std::string magic = SignIn("carol", "c-pw");
  const ClientView info = Call("getuserinfo.php", Session("carol", magic));
  EXPECT_EQ(info.Item("userinfo", "moneyleft"), "5");
  EXPECT_EQ(info.Item("userinfo", "timeleft"), "1 day");
  EXPECT_EQ(info.Item("userinfo", "userlevel_desc"), "Basic");
}

TEST_F(AccountServiceTest, RechargeUsesACardOnce) {
  auto recharge = [this](const std::string& user, const std::string& pw, const std::string& card,
                         const std::string& cardpw) {
    return Call("recharge.php", {{"username", user}, {"password", pw}, {"cardno", card}, {"cardpw", cardpw}});
  };
  EXPECT_EQ(recharge("alice", "bad", "C1", "p1").Result(), devserver::kResultBadCredentials);
  EXPECT_EQ(recharge("alice", "a-pw", "C1", "bad").Result(), devserver::kResultBadCard);
  EXPECT_EQ(recharge("alice", "a-pw", "NOPE", "p1").Result(), devserver::kResultBadCard);

  const ClientView ok = recharge("alice", "a-pw", "C1", "p1");
  EXPECT_EQ(ok.Result(), 0);
  EXPECT_EQ(ok.Item("", "moneyleft"), "60");
  const ClientView used = recharge("alice", "a-pw", "C1", "p1");
  EXPECT_EQ(used.Result(), devserver::kResultBadCard);
  EXPECT_NE(used.Item("", "errdesc").find("used"), std::string::npos);
  EXPECT_EQ(recharge("bob", "b-pw", "C1", "p1").Result(), devserver::kResultBadCard);

  const std::string magic = SignIn("alice", "a-pw");
  EXPECT_EQ(Call("getuserinfo.php", Session("alice", magic)).Item("userinfo", "moneyleft"), "60");
}

TEST_F(AccountServiceTest, RechargeNeverOverflowsTheBalance) {
  // alice has 10; the big card would take her past INT_MAX. The card must
  // stay unused, so that an account with room can still take it.
  EXPECT_EQ(
      Call("recharge.php", {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "p1"}})
          .Result(),
      0);
  const ClientView refused = Call(
      "recharge.php", {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "BIG"}, {"cardpw", "pbig"}});
  EXPECT_EQ(refused.Result(), devserver::kResultBadCard);
  const ClientView taken = Call(
      "recharge.php", {{"username", "bob"}, {"password", "b-pw"}, {"cardno", "BIG"}, {"cardpw", "pbig"}});
  EXPECT_EQ(taken.Result(), 0);
  EXPECT_EQ(taken.Item("", "moneyleft"), "2147483605");  // 5 from [new_account] defaults
}

TEST_F(AccountServiceTest, LeasesComeFromTheServersPoolThenTheSharedOne) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  const Lent first = Lease(alice, 101);
  ASSERT_EQ(first.result, 0);
  EXPECT_EQ(first.user, "d101");
  EXPECT_EQ(first.password, "p101");
  EXPECT_EQ(first.token.size(), 32u);

  const Lent second = Lease(alice, 101);
  ASSERT_EQ(second.result, 0);
  EXPECT_EQ(second.user, "dsh");
  EXPECT_EQ(second.password, "psh");
  EXPECT_NE(second.token, first.token);

  EXPECT_EQ(Lease(alice, 101).result, devserver::kResultNoCredentials);
  EXPECT_EQ(Lease(alice, 102).result, devserver::kResultNoCredentials);  // shared only, and empty

  // "Report only" keeps the lease: the pool stays empty.
  EXPECT_EQ(Release(alice, first.token, 9999999), 0);
  EXPECT_EQ(Lease(alice, 101).result, devserver::kResultNoCredentials);
  EXPECT_EQ(Verify(alice, first.token, "d101", 101), 0);

  // A real outcome frees the credentials, and the token dies with the lease.
  EXPECT_EQ(Release(alice, first.token, 3), 0);
  EXPECT_EQ(Release(alice, first.token, 3), devserver::kResultBadLease);
  EXPECT_EQ(Verify(alice, first.token, "d101", 101), devserver::kResultBadLease);
  const Lent third = Lease(alice, 101);
  EXPECT_EQ(third.result, 0);
  EXPECT_EQ(third.user, "d101");

  // Shared credentials go back to the shared pool, usable by another server.
  EXPECT_EQ(Release(alice, second.token, -1), 0);
  EXPECT_EQ(Lease(alice, 201).user, "dsh");
}

TEST_F(AccountServiceTest, LeaseRefusals) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  EXPECT_EQ(Lease(alice, 999).result, devserver::kResultUnknownServer);
  Fields bad = alice;
  bad["vpnserverid"] = "10x";
  EXPECT_EQ(Result("getdailupinfo.php", bad, 'C'), devserver::kResultBadRequest);

  // Release and verification of someone else's lease fail.
  const Fields bob = Session("bob", SignIn("bob", "b-pw"));
  const Lent lease = Lease(alice, 101);
  ASSERT_EQ(lease.result, 0);
  EXPECT_EQ(Release(bob, lease.token, 0), devserver::kResultBadLease);
  EXPECT_EQ(Verify(bob, lease.token, "d101", 101), devserver::kResultBadLease);
  EXPECT_EQ(Release(alice, "", 0), devserver::kResultBadLease);
  Fields outcome = alice;
  outcome["dailsession"] = lease.token;
  outcome["result"] = "zero";
  EXPECT_EQ(Result("releasedialupinfo.php", outcome), devserver::kResultBadRequest);
  EXPECT_EQ(Verify(alice, lease.token, "d101", 101), 0);  // still held after the refusals
}

TEST_F(AccountServiceTest, VerificationChecksTokenUserAndServer) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  const Lent lease = Lease(alice, 101);
  ASSERT_EQ(lease.result, 0);
  struct Case {
    const char* name;
    std::string token;
    std::string user;
    int server;
    int result;
  };
  const Case cases[] = {
      {"all match", lease.token, "d101", 101, 0},
      {"empty token", "", "d101", 101, devserver::kResultBadLease},
      {"unknown token", lease.token + "0", "d101", 101, devserver::kResultBadLease},
      {"other dial-up user", lease.token, "dsh", 101, devserver::kResultBadLease},
      {"other server", lease.token, "d101", 102, devserver::kResultBadLease},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Verify(alice, c.token, c.user, c.server), c.result);
  }
}

TEST_F(AccountServiceTest, MissingFieldsAreNamed) {
  const std::string magic = SignIn("alice", "a-pw");
  struct Case {
    const char* script;
    Fields fields;
    const char* missing;
  };
  const Case cases[] = {
      {"loginin.php", {{"username", "alice"}}, "password"},
      {"loginin.php", {{"password", "a-pw"}}, "username"},
      {"register.php", {{"username", "zed"}}, "password"},
      {"recharge.php", {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}}, "cardpw"},
      {"logout.php", {{"username", "alice"}}, "magic"},
      {"getuserinfo.php", {{"magic", magic}}, "username"},
      {"getdailupinfo.php", {{"username", "alice"}, {"magic", magic}}, "vpnserverid"},
      {"releasedialupinfo.php", {{"username", "alice"}, {"magic", magic}, {"result", "0"}}, "dailsession"},
      {"releasedialupinfo.php", {{"username", "alice"}, {"magic", magic}, {"dailsession", "x"}}, "result"},
      {"verification.php",
       {{"username", "alice"}, {"magic", magic}, {"dailsession", "x"}, {"vpnserverid", "101"}},
       "lendusername"},
      {"onlineratio.php", {{"username", "alice"}}, "magic"},
      {"getserverinfo.php", {{"username", "alice"}}, "magic"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.script) + " without " + c.missing);
    const ClientView view = Call(c.script, c.fields);
    EXPECT_EQ(view.Result(), devserver::kResultBadRequest);
    EXPECT_EQ(view.Item("", "errdesc"), std::string("missing field: ") + c.missing);
  }
}

TEST_F(AccountServiceTest, UnknownScriptAndUndecodableBodyAreHttpErrors) {
  HttpAnswer answer = service_->Handle("nosuch.php", RequestBody("a=1&", 'Z'));
  EXPECT_EQ(answer.status, 404);
  answer = service_->Handle("", RequestBody("a=1&", 'Z'));
  EXPECT_EQ(answer.status, 404);
  for (const std::string& body :
       {std::string(), std::string("Z=%%%"), std::string("X=YWJj"),
        std::string("Z=") + Base64Encode("no form here"), RequestBody("username=alice&", 'A', "wrong key")}) {
    SCOPED_TRACE(body);
    answer = service_->Handle("loginin.php", body);
    EXPECT_EQ(answer.status, 400);
    EXPECT_NE(answer.body.find("bad request"), std::string::npos);
  }
}

TEST_F(AccountServiceTest, KeyedRepliesUseTheRequestLetter) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  for (char letter : {'A', 'B', 'C'}) {
    SCOPED_TRACE(letter);
    const Lent lease = Lease(alice, 101, letter);
    EXPECT_EQ(lease.result, 0);
    EXPECT_EQ(last_.body[0], letter);
    EXPECT_EQ(Release(alice, lease.token, 0), 0);
    EXPECT_EQ(Result("getserverinfo.php", alice, letter), 0);
    EXPECT_EQ(last_.body[0], letter);
    Call("releasedialupinfo.php", Session("alice", alice.at("magic")));  // missing fields: Z reply
    EXPECT_EQ(last_.body[0], 'Z');
  }
  // Credentials asked for without a key still travel encrypted.
  EXPECT_EQ(Lease(alice, 102, 'Z').result, 0);
  ASSERT_EQ(last_.body[0], 'A');
  std::string plain = TwofishDecrypt(DeriveKey(keys_.m1), Base64Decode(last_.body.substr(2)));
  while (!plain.empty() && plain.back() == '\0') plain.pop_back();
  EXPECT_EQ(plain, last_.profile);
}

TEST_F(AccountServiceTest, RequestUnderTheEmptyKeyGetsAnUnkeyedRefusal) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  Fields fields = alice;
  fields["vpnserverid"] = "101";
  for (const char* script : {"getdailupinfo.php", "getserverinfo.php"}) {
    SCOPED_TRACE(script);
    const HttpAnswer answer = service_->Handle(script, RequestBody(FormText(fields), 'B', ""));
    ASSERT_EQ(answer.status, 200);
    EXPECT_EQ(answer.body.compare(0, 2, "Z="), 0);
    // Even a client with no keys at all can read it.
    GlobalCache::Instance().RemoveConfigItem("GC_CIPER_B");
    const ClientView view = ReadAsClient(answer.body);
    EXPECT_EQ(view.Result(), devserver::kResultNoCipherKeys);
    EXPECT_EQ(view.Item("", "errdesc"), "no cipher keys: call GetUserInfo first");
  }
  // Nothing was lent.
  devserver_test::InstallClientKeys(keys_);
  EXPECT_EQ(Lease(alice, 101).user, "d101");
}

TEST_F(AccountServiceTest, UserInfoPushesAccountLevelsWarningAndConfig) {
  service_->SetListenAddresses({"127.0.0.1:4000", "127.0.0.2:4001"});
  const ClientView view = Call("getuserinfo.php", Session("alice", SignIn("alice", "a-pw")));
  ASSERT_EQ(view.Result(), 0);
  const std::pair<const char*, const char*> userinfo[] = {
      {"vpnpd", "pd-a"}, {"timeleft", "3 days"}, {"userlevel_desc", "Silver"}, {"userlevel", "2"},
      {"usermode", "1"}, {"simuses", "2"},       {"moneyleft", "10"},          {"timetip", "4"}};
  for (const auto& item : userinfo) EXPECT_EQ(view.Item("userinfo", item.first), item.second) << item.first;
  EXPECT_EQ(view.Item("serverlevel", "1"), "Basic");
  EXPECT_EQ(view.Item("serverlevel", "2"), "Silver");
  EXPECT_EQ(view.Item("warning", "tip"), "1");
  EXPECT_EQ(view.Item("warning", "message"), "maintenance tonight");
  EXPECT_EQ(view.Item("warning", "url"), "http://example.com/n");
  EXPECT_EQ(view.Item("config", "heartbeat_slot"), "45");
  EXPECT_EQ(view.Item("config", "onlineratio_slot"), "120");
  EXPECT_EQ(view.Item("config", "m1"), keys_.m1);
  EXPECT_EQ(view.Item("config", "m2"), keys_.m2);
  EXPECT_EQ(view.Item("config", "m3"), keys_.m3);
  EXPECT_EQ(view.Item("config", "login_server"), "127.0.0.1:4000;127.0.0.2:4001");
  EXPECT_EQ(view.Item("config", "default_login_server"), "127.0.0.1:4000");
}

TEST_F(AccountServiceTest, LoginServerOptionsOverrideTheListenAddresses) {
  devserver::ServiceOptions options = Options();
  options.loginServers = "127.0.0.9:1;127.0.0.1:4000";
  Restart(devserver_test::TestSeed(), options);
  service_->SetListenAddresses({"127.0.0.1:4000"});
  ClientView view = Call("getuserinfo.php", Session("alice", SignIn("alice", "a-pw")));
  EXPECT_EQ(view.Item("config", "login_server"), "127.0.0.9:1;127.0.0.1:4000");
  EXPECT_EQ(view.Item("config", "default_login_server"), "127.0.0.9:1");

  options.defaultLoginServer = "127.0.0.1:4000";
  Restart(devserver_test::TestSeed(), options);
  view = Call("getuserinfo.php", Session("alice", SignIn("alice", "a-pw")));
  EXPECT_EQ(view.Item("config", "default_login_server"), "127.0.0.1:4000");
}

TEST_F(AccountServiceTest, CatalogueAndRatioFollowTheSeedOrder) {
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));
  const ClientView catalogue = Call("getserverinfo.php", alice, 'C');
  ASSERT_EQ(catalogue.Result(), 0);
  const auto& sections = catalogue.profile.GetSections();
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(sections[1].GetSetionName(), "Europe");
  EXPECT_EQ(sections[2].GetSetionName(), "Asia");
  ASSERT_EQ(sections[1].GetItems().size(), 2u);
  EXPECT_EQ(sections[1].GetItems()[0].key, "101");
  EXPECT_EQ(sections[1].GetItems()[0].value, "Frankfurt,fra.example.net,1,Germany");
  EXPECT_EQ(sections[1].GetItems()[1].key, "102");
  EXPECT_EQ(sections[2].GetItem("201"), "Tokyo,tyo.example.net,1,Japan");

  const ClientView ratio = Call("onlineratio.php", alice);
  ASSERT_EQ(ratio.Result(), 0);
  const ProfileSection* section = ratio.Section("ratio");
  ASSERT_NE(section, nullptr);
  ASSERT_EQ(section->GetItems().size(), 3u);
  for (int id : {101, 102, 201}) {
    EXPECT_EQ(section->GetItem(std::to_string(id)), std::to_string(devserver::OnlineRatioPercent(id)));
  }
}

TEST_F(AccountServiceTest, LargeGeneratedCatalogueTravelsCompressed) {
  devserver::SeedData seed = devserver_test::TestSeed();
  seed.groups = devserver::GenerateCatalogue(2000);
  Restart(seed, Options());
  const ClientView view = Call("getserverinfo.php", Session("alice", SignIn("alice", "a-pw")), 'B');
  ASSERT_EQ(view.Result(), 0);
  const std::string payload = TwofishDecrypt(DeriveKey(keys_.m2), Base64Decode(last_.body.substr(2)));
  EXPECT_EQ(payload.compare(0, 4, "YYY="), 0);
  EXPECT_LT(last_.body.size(), last_.profile.size());
  std::size_t servers = 0;
  for (const ProfileSection& section : view.profile.GetSections()) {
    if (!section.GetSetionName().empty()) servers += section.GetItems().size();
  }
  EXPECT_EQ(servers, 2000u);
}

TEST_F(AccountServiceTest, VersionNeedsNoSession) {
  const ClientView view = Call("getversion.php", Common());
  EXPECT_EQ(view.Result(), 0);
  EXPECT_EQ(view.Item("", "ver"), "9.8.7");
}

TEST_F(AccountServiceTest, LogMasksSecrets) {
  const std::string magic = SignIn("alice", "a-pw");
  Call("recharge.php", {{"username", "alice"}, {"password", "a-pw"}, {"cardno", "C1"}, {"cardpw", "p1"}});
  // The script comes from the URL: no control characters may reach the log.
  service_->Handle("nosuch\x1b[2J\n.php", "");
  Call("verification.php", {{"username", "alice"},
                            {"magic", magic},
                            {"dailsession", "lease-token"},
                            {"lendusername", "d101"},
                            {"vpnserverid", "101"},
                            {"mid", "m"}});
  std::lock_guard<std::mutex> lock(logMutex_);
  ASSERT_EQ(log_.size(), 4u);
  EXPECT_EQ(log_[3],
            "verification.php Z dailsession=*** lendusername=*** magic=*** mid=m username=alice "
            "vpnserverid=101 -> result=8: refused by the service");
  EXPECT_EQ(log_[0],
            "loginin.php Z agent=test-agent lang=en mid=machine password=*** username=alice "
            "ver=1.0 -> result=0: parsed");
  EXPECT_EQ(log_[1], "recharge.php Z cardno=C1 cardpw=*** password=*** username=alice -> result=0: parsed");
  EXPECT_EQ(log_[2], "nosuch?[2J?.php - -> http status 404");
  for (const std::string& line : log_) {
    for (const std::string& secret :
         {std::string("a-pw"), std::string("=p1"), magic, std::string("lease-token")}) {
      EXPECT_EQ(line.find(secret), std::string::npos) << secret;
    }
  }
}

TEST_F(AccountServiceTest, ConcurrentLeasesNeverLendOneCredentialTwice) {
  // Eight credentials, four threads grabbing and releasing: at no time may
  // two live leases hold the same dial-up user.
  devserver::SeedData seed = devserver_test::TestSeed();
  seed.pools.clear();
  for (int i = 0; i < 8; ++i) seed.pools["shared"].push_back({"u" + std::to_string(i), "p"});
  Restart(seed, Options());
  const Fields alice = Session("alice", SignIn("alice", "a-pw"));

  std::mutex heldMutex;
  std::set<std::string> held;
  int duplicates = 0;
  int leased = 0;
  auto worker = [&]() {
    for (int round = 0; round < 25; ++round) {
      Fields fields = alice;
      fields["vpnserverid"] = "102";
      const HttpAnswer answer =
          service_->Handle("getdailupinfo.php", RequestBody(FormText(fields), 'A', keys_.m1));
      const ClientView view = ReadAsClient(answer.body);
      if (view.Result() != 0) continue;
      const std::string user = view.Item("", "lendusername");
      {
        std::lock_guard<std::mutex> lock(heldMutex);
        if (!held.insert(user).second) ++duplicates;
        ++leased;
      }
      // Hold the lease across one more request before giving it back.
      Fields verify = alice;
      verify["dailsession"] = view.Item("", "dailsession");
      verify["lendusername"] = user;
      verify["vpnserverid"] = "102";
      const HttpAnswer check = service_->Handle("verification.php", RequestBody(FormText(verify), 'Z'));
      if (ReadAsClient(check.body).Result() != 0) {
        std::lock_guard<std::mutex> lock(heldMutex);
        ++duplicates;
      }
      {
        std::lock_guard<std::mutex> lock(heldMutex);
        held.erase(user);
      }
      Fields release = alice;
      release["dailsession"] = view.Item("", "dailsession");
      release["result"] = "0";
      service_->Handle("releasedialupinfo.php", RequestBody(FormText(release), 'Z'));
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(leased, 100);
}

}  // namespace
