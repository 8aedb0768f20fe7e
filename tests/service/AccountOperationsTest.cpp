// Sign-in, sign-out, version, registration and recharge through the facade.
#include "service/OperationsFixture.h"

namespace {

const VPErrorInfo kUntouched{42, "untouched"};

TEST_F(OperationsTest, SignInSendsCredentialsInKeyOrderAndFillsTheSession) {
  Reply(UnkeyedReply("result=0\nmagic=tok123\nerrdesc=ignored\n"));
  VPErrorInfo error = kUntouched;
  ASSERT_EQ(helper_.SignIn({"bob", "p&w=d"}, error), 0);

  const SentRequest request = LastRequest();
  EXPECT_EQ(request.path, "/vpn_intl/loginin.php");
  EXPECT_EQ(request.letter, 'Z');
  EXPECT_EQ(request.fields, Fields("agent=agentX&lang=en-US&mid=" + QUILLON::GetMachineId() +
                                   "&password=p&w=d&username=bob&ver=1.2.3&"));
  EXPECT_EQ(helper_.GetUserNameA(), "bob");
  EXPECT_EQ(helper_.GetMagic(), "tok123");
  EXPECT_EQ(error.errcode, kUntouched.errcode);
  EXPECT_EQ(error.errdesc, kUntouched.errdesc);
}

TEST_F(OperationsTest, SignInWithoutMagicStoresAnEmptyTokenThatLaterRequestsSend) {
  Reply(UnkeyedReply("result=0\n"));
  VPErrorInfo error;
  ASSERT_EQ(helper_.SignIn({"bob", "pw"}, error), 0);
  EXPECT_EQ(helper_.GetMagic(), "");
  ASSERT_EQ(helper_.SignOut(), 0);
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&magic=&username=bob&"));
}

struct RefusalCase {
  const char* reply;
  int expected;
  const char* errdesc;
};

void PrintTo(const RefusalCase& c, std::ostream* out) { *out << "expects " << c.expected; }

class SignInRefusalTest : public OperationsTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SignInRefusalTest, FillsTheErrorAndKeepsTheEarlierSession) {
  SignInAsBob();
  Reply(UnkeyedReply(GetParam().reply));
  VPErrorInfo error = kUntouched;
  EXPECT_EQ(helper_.SignIn({"alice", "x"}, error), GetParam().expected);
  EXPECT_EQ(error.errcode, GetParam().expected);
  EXPECT_EQ(error.errdesc, GetParam().errdesc);
  EXPECT_EQ(helper_.GetUserNameA(), "bob");
  EXPECT_EQ(helper_.GetMagic(), "tok");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SignInRefusalTest,
    ::testing::Values(RefusalCase{"result=3\nerrdesc=wrong password\n", 3, "wrong password"},
                      RefusalCase{"result=-7\n", -7, ""},
                      RefusalCase{"errdesc=no verdict\n", -1, "no verdict"},
                      RefusalCase{"[other]\nresult=0\n", -1, ""},
                      // A refusal that reads as the integer 0 is never success.
                      RefusalCase{"result=00\nerrdesc=zero text\n", RESULT_NOT_SUCCEEDED, "zero text"},
                      RefusalCase{"result=+0\n", RESULT_NOT_SUCCEEDED, ""}));

TEST_F(OperationsTest, TransportFailureTouchesNothing) {
  SignInAsBob();
  UseDeadServer();
  VPErrorInfo error = kUntouched;
  EXPECT_EQ(helper_.SignIn({"alice", "x"}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper_.Register({"n", "p", "", "", "", ""}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper_.Recharge({"n", "p", "c", "d"}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(helper_.SignOut(), RESULT_TRANSPORT_FAILURE);
  std::string version = "kept";
  EXPECT_EQ(helper_.GetVersion(version), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(version, "kept");
  EXPECT_EQ(error.errcode, kUntouched.errcode);
  EXPECT_EQ(error.errdesc, kUntouched.errdesc);
  EXPECT_EQ(helper_.GetUserNameA(), "bob");
  EXPECT_EQ(helper_.GetMagic(), "tok");
}

TEST_F(OperationsTest, SignOutReportsTheVerdictAndKeepsTheSession) {
  SignInAsBob();
  Reply(UnkeyedReply("result=0\n"));
  EXPECT_EQ(helper_.SignOut(), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/logout.php");
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&magic=tok&username=bob&"));
  Reply(UnkeyedReply("result=9\nerrdesc=no\n"));
  EXPECT_EQ(helper_.SignOut(), RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(helper_.GetUserNameA(), "bob");
  EXPECT_EQ(helper_.GetMagic(), "tok");
}

TEST_F(OperationsTest, GetVersionReadsTheVersionWhateverTheVerdict) {
  std::string version = "old";
  Reply(UnkeyedReply("result=5\nver=2.0.1\n"));
  EXPECT_EQ(helper_.GetVersion(version), 0);
  EXPECT_EQ(version, "2.0.1");
  EXPECT_EQ(LastRequest().path, "/vpn_intl/getversion.php");
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&"));

  Reply(UnkeyedReply("result=0\n"));
  EXPECT_EQ(helper_.GetVersion(version), 0);
  EXPECT_EQ(version, "");  // unnamed section without "ver"

  version = "kept";
  Reply(UnkeyedReply("[named]\nver=9\n"));
  EXPECT_EQ(helper_.GetVersion(version), 0);
  EXPECT_EQ(version, "kept");  // no unnamed section at all
}

TEST_F(OperationsTest, RegisterSendsEveryFieldAndDoesNotSignIn) {
  Reply(UnkeyedReply("result=0\nmagic=ignored\n"));
  VPErrorInfo error = kUntouched;
  ASSERT_EQ(helper_.Register({"newbie", "secret", "555", "n@x.org", "123", ""}, error), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/register.php");
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&email=n@x.org&lang=en-US&memo=&password=secret&phone=555&qq=123&"
                   "username=newbie&"));
  EXPECT_EQ(helper_.GetUserNameA(), "");
  EXPECT_EQ(helper_.GetMagic(), "");
  EXPECT_EQ(error.errcode, kUntouched.errcode);

  Reply(UnkeyedReply("result=4\nerrdesc=account exists\n"));
  EXPECT_EQ(helper_.Register({"newbie", "secret", "", "", "", ""}, error), 4);
  EXPECT_EQ(error.errcode, 4);
  EXPECT_EQ(error.errdesc, "account exists");

  Reply(UnkeyedReply("result=00\nerrdesc=odd\n"));
  EXPECT_EQ(helper_.Register({"newbie", "secret", "", "", "", ""}, error), RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(error.errcode, RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(error.errdesc, "odd");
}

TEST_F(OperationsTest, RechargeSendsTheCardAndReportsRefusals) {
  VPErrorInfo error = kUntouched;
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.Recharge({"bob", "pw", "C-1", "9999"}, error), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/recharge.php");
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&cardno=C-1&cardpw=9999&lang=en-US&password=pw&username=bob&"));
  EXPECT_EQ(error.errcode, kUntouched.errcode);

  Reply(UnkeyedReply("result=5\nerrdesc=card used\n"));
  EXPECT_EQ(helper_.Recharge({"bob", "pw", "C-1", "9999"}, error), 5);
  EXPECT_EQ(error.errdesc, "card used");
}

TEST_F(OperationsTest, AgentIsLookedUpUntilAClientConfigurationExists) {
  // Unit test process: install no configuration before the first request.
  GlobalCache::Instance().SetClientCfg("first", "v1");
  std::string version;
  Reply(UnkeyedReply("result=0\nver=1\n"));
  ASSERT_EQ(helper_.GetVersion(version), 0);
  GlobalCache::Instance().SetClientCfg("second", "v2");
  ASSERT_EQ(helper_.GetVersion(version), 0);
  // Once known, the agent is kept for the session.
  EXPECT_EQ(LastRequest().fields, Fields("agent=first&lang=en-US&"));
}

TEST_F(OperationsTest, PlainUnencodedRepliesAreAcceptedToo) {
  Reply("result=0\nmagic=plain\n");
  VPErrorInfo error;
  ASSERT_EQ(helper_.SignIn({"bob", "pw"}, error), 0);
  EXPECT_EQ(helper_.GetMagic(), "plain");
}

}  // namespace

namespace {

TEST(SessionWithoutClientConfiguration, SendsEmptyAgentAndVersionAndLooksAgain) {
  testsupport::ScriptedServer service("127.0.0.1",
                                      testsupport::Script::Respond(200, UnkeyedReply("result=0\nmagic=m\n")));
  ASSERT_TRUE(service.Start());
  CLoginServers::Instance().Parse(service.HostPort(), true);
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("de");
  ProxyHelper& helper = ProxyHelper::Instance();

  VPErrorInfo error;
  ASSERT_EQ(helper.SignIn({"u", "p"}, error), 0);
  EXPECT_EQ(testsupport::ReadRequest(service.Requests().back()).fields,
            Fields("agent=&lang=de&mid=" + QUILLON::GetMachineId() + "&password=p&username=u&ver=&"));

  GlobalCache::Instance().SetClientCfg("late", "9");
  ASSERT_EQ(helper.SignOut(), 0);
  EXPECT_EQ(testsupport::ReadRequest(service.Requests().back()).fields,
            Fields("agent=late&lang=de&magic=m&username=u&"));
}

}  // namespace
