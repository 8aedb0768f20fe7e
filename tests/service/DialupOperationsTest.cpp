// The dial-up lease: getting one, the handshake that keeps it, releasing it.
#include "service/OperationsFixture.h"

namespace {

class DialupTest : public OperationsTest {
 protected:
  void PushKeys() {
    Reply(UnkeyedReply("result=0\n[config]\nm1=key-one\nm2=key-two\nm3=key-three\n"));
    UserInfo info;
    ASSERT_EQ(helper_.GetUserInfo(info), 0);
  }
  void Lease(const std::string& token) {
    Answer([token](const SentRequest& request) {
      return KeyedAnswer(request, "result=0\nlendusername=lu\nlendpassword=lp\ndailsession=" + token + "\n");
    });
    DialupInfo lease;
    VPErrorInfo error;
    ASSERT_EQ(helper_.GetDailupInfo(7, lease, error), 0);
  }
};

TEST_F(DialupTest, LeaseIsRequestedUnderThePushedKeyAndRecordsTheToken) {
  SignInAsBob();
  PushKeys();
  Answer([](const SentRequest& request) {
    return KeyedAnswer(request, "result=0\nlendusername=vpn7\nlendpassword=s3cret\ndailsession=lease-1\n");
  });
  DialupInfo lease;
  VPErrorInfo error{42, "untouched"};
  ASSERT_EQ(helper_.GetDailupInfo(12, lease, error), 0);

  const SentRequest request = LastRequest();
  EXPECT_EQ(request.path, "/vpn_intl/getdailupinfo.php");
  // Sign-in and user info drew "A" and "B"; the keyed request gets "C".
  EXPECT_EQ(request.letter, 'C');
  EXPECT_EQ(request.fields, Fields("agent=agentX&lang=en-US&mac=" + QUILLON::GetDftMac() +
                                   "&magic=tok&username=bob&vpnserverid=12&"));
  EXPECT_EQ(lease.lendusername, "vpn7");
  EXPECT_EQ(lease.lendpassword, "s3cret");
  EXPECT_EQ(error.errcode, 42);

  // The token travels with the handshake and the release.
  Reply(UnkeyedReply("result=0\n"));
  VPErrorInfo handshakeError;
  ASSERT_EQ(helper_.ShakeHands({"vpn7", -3}, handshakeError), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/verification.php");
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&dailsession=lease-1&lang=en-US&lendusername=vpn7&magic=tok&mid=" +
                   QUILLON::GetMachineId() + "&username=bob&vpnserverid=-3&"));
}

TEST_F(DialupTest, BeforeSignInTheLeaseRequestCarriesEmptySessionValues) {
  // Without pushed keys the request goes out under the key of the empty
  // text; the service answers unkeyed.
  Reply(UnkeyedReply("result=0\nlendusername=x\n"));
  DialupInfo lease{"old", "old"};
  VPErrorInfo error;
  ASSERT_EQ(helper_.GetDailupInfo(1, lease, error), 0);
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&mac=&magic=&username=&vpnserverid=1&"));
  EXPECT_EQ(lease.lendusername, "x");
  EXPECT_EQ(lease.lendpassword, "");  // absent item gives empty text
  EXPECT_EQ(LastRequest().letter, 'A');
}

TEST_F(DialupTest, KeyedReplyWithoutAConfiguredKeyIsNotSuccess) {
  // The reply's letter names no configured key: it is handed on undecoded,
  // and holds no verdict.
  Reply(testsupport::KeyedReply('B', "service-only-key", "result=0\nlendusername=x\n"));
  DialupInfo lease{"old", "old"};
  VPErrorInfo error;
  EXPECT_EQ(helper_.GetDailupInfo(1, lease, error), -1);
  EXPECT_EQ(error.errcode, -1);
  EXPECT_EQ(lease.lendusername, "old");
}

TEST_F(DialupTest, RefusedOrFailedLeaseKeepsRecordsAndToken) {
  PushKeys();
  Lease("first");
  DialupInfo lease{"keep-u", "keep-p"};
  VPErrorInfo error;

  Answer([](const SentRequest& request) {
    return KeyedAnswer(request, "result=7\nerrdesc=no credentials free\ndailsession=other\n");
  });
  EXPECT_EQ(helper_.GetDailupInfo(1, lease, error), 7);
  EXPECT_EQ(error.errcode, 7);
  EXPECT_EQ(error.errdesc, "no credentials free");

  Answer([](const SentRequest& request) { return KeyedAnswer(request, "result=00\n"); });
  EXPECT_EQ(helper_.GetDailupInfo(1, lease, error), RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(error.errcode, RESULT_NOT_SUCCEEDED);

  UseDeadServer();
  error = {42, "untouched"};
  EXPECT_EQ(helper_.GetDailupInfo(1, lease, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(error.errcode, 42);
  EXPECT_EQ(lease.lendusername, "keep-u");
  EXPECT_EQ(lease.lendpassword, "keep-p");

  // The first lease's token is still the one a release sends.
  UseLiveServer();
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.ReleaseDialupInfo(0), 0);
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&dailsession=first&lang=en-US&magic=&result=0&username=&"));
}

TEST_F(DialupTest, ReportOnlyReleaseKeepsTheTokenAnyOtherEmptiesIt) {
  PushKeys();
  Lease("tok-9");
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.ReleaseDialupInfo(9999999), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/releasedialupinfo.php");
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&dailsession=tok-9&lang=en-US&magic=&result=9999999&username=&"));

  ASSERT_EQ(helper_.ReleaseDialupInfo(-1), 0);
  EXPECT_EQ(LastRequest().fields,
            Fields("agent=agentX&dailsession=tok-9&lang=en-US&magic=&result=-1&username=&"));

  // Released: the next handshake and release carry no token.
  VPErrorInfo error;
  ASSERT_EQ(helper_.ShakeHands({"lu", 7}, error), 0);
  EXPECT_EQ(LastRequest().Field("dailsession"), "");
}

TEST_F(DialupTest, ReleaseEmptiesTheTokenEvenWhenTheExchangeFails) {
  PushKeys();
  Lease("tok-x");
  UseDeadServer();
  EXPECT_EQ(helper_.ReleaseDialupInfo(0), RESULT_TRANSPORT_FAILURE);
  UseLiveServer();
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.ReleaseDialupInfo(9999999), 0);
  EXPECT_EQ(LastRequest().Field("dailsession"), "");

  // A report-only release that fails keeps the token.
  Lease("tok-y");
  UseDeadServer();
  EXPECT_EQ(helper_.ReleaseDialupInfo(9999999), RESULT_TRANSPORT_FAILURE);
  UseLiveServer();
  Reply(UnkeyedReply("result=0\n"));
  ASSERT_EQ(helper_.ReleaseDialupInfo(1), 0);
  EXPECT_EQ(LastRequest().Field("dailsession"), "tok-y");
}

TEST_F(DialupTest, ReleaseAndHandshakeRefusalsReportTheServiceCode) {
  Reply(UnkeyedReply("result=8\nerrdesc=bad lease\n"));
  EXPECT_EQ(helper_.ReleaseDialupInfo(0), 8);
  VPErrorInfo error;
  EXPECT_EQ(helper_.ShakeHands({"lu", 1}, error), 8);
  EXPECT_EQ(error.errcode, 8);
  EXPECT_EQ(error.errdesc, "bad lease");

  Reply(UnkeyedReply("errdesc=no result\n"));
  EXPECT_EQ(helper_.ReleaseDialupInfo(0), -1);
  EXPECT_EQ(helper_.ShakeHands({"lu", 1}, error), -1);
  EXPECT_EQ(error.errcode, -1);

  Reply(UnkeyedReply("result=00\nerrdesc=zero\n"));
  EXPECT_EQ(helper_.ReleaseDialupInfo(0), RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(helper_.ShakeHands({"lu", 1}, error), RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(error.errcode, RESULT_NOT_SUCCEEDED);
  EXPECT_EQ(error.errdesc, "zero");

  UseDeadServer();
  error = {1, "kept"};
  EXPECT_EQ(helper_.ShakeHands({"lu", 1}, error), RESULT_TRANSPORT_FAILURE);
  EXPECT_EQ(error.errdesc, "kept");
}

}  // namespace
