// The online ratio and the server catalogue, remote and from the cache.
#include "service/OperationsFixture.h"

namespace {

std::string Keys(const std::vector<ServerOnlineRatio>& ratios) {
  std::string keys;
  for (const auto& ratio : ratios) keys += ratio.GetKey() + "=" + ratio.GetValue() + ";";
  return keys;
}

std::string Describe(const std::map<std::string, std::vector<ServerInfo>>& catalogue) {
  std::string text;
  for (const auto& [group, servers] : catalogue) {
    text += group + ":";
    for (const auto& server : servers) text += server.GetKey() + "=" + server.GetValue() + ",";
    text += ";";
  }
  return text;
}

TEST_F(OperationsTest, OnlineRatioAppendsEveryItemOfNamedSectionsInReplyOrder) {
  Reply(UnkeyedReply("result=0\nerrdesc=x\n[b]\nk1=10\nk2=20\n[empty]\n[a]\nk3=30\n"));
  std::vector<ServerOnlineRatio> ratios{ServerOnlineRatio("pre", "1")};
  ASSERT_EQ(helper_.GetOnlineRatio(ratios), 0);
  EXPECT_EQ(LastRequest().path, "/vpn_intl/onlineratio.php");
  EXPECT_EQ(LastRequest().fields, Fields("agent=agentX&lang=en-US&magic=&username=&"));
  EXPECT_EQ(Keys(ratios), "pre=1;k1=10;k2=20;k3=30;");
  ASSERT_EQ(helper_.GetOnlineRatio(ratios), 0);
  EXPECT_EQ(ratios.size(), 7u);
}

TEST_F(OperationsTest, OnlineRatioRefusalsPassTheServiceCodeAndKeepTheSequence) {
  struct Case {
    const char* reply;
    int expected;
  } cases[] = {{"result=5\n[a]\nk=1\n", 5},
               {"errdesc=x\n[a]\nk=1\n", -1},
               {"[a]\nk=1\n", -1},
               {"result=00\n[a]\nk=1\n", RESULT_NOT_SUCCEEDED}};
  std::vector<ServerOnlineRatio> ratios;
  for (const Case& c : cases) {
    Reply(UnkeyedReply(c.reply));
    EXPECT_EQ(helper_.GetOnlineRatio(ratios), c.expected) << c.reply;
  }
  UseDeadServer();
  EXPECT_EQ(helper_.GetOnlineRatio(ratios), RESULT_TRANSPORT_FAILURE);
  EXPECT_TRUE(ratios.empty());
}

class CatalogueTest : public OperationsTest {
 protected:
  void SetUp() override {
    OperationsTest::SetUp();
    GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "alpha-key");
    GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "beta-key");
    GlobalCache::Instance().SetConfigItem("GC_CIPER_C", "gamma-key");
  }
  // Answers keyed under the request's letter, compressed.
  void AnswerCatalogue(const std::string& text) {
    Answer([text](const SentRequest& request) {
      const auto keys = testsupport::ClientKeys();  // held: ForLetter points into it
      const std::string* key = keys.ForLetter(request.letter);
      return testsupport::CompressedReply(text, request.letter, key != nullptr ? *key : std::string());
    });
  }
};

TEST_F(CatalogueTest, RemoteCatalogueIsGroupedSortedAndAppendedThenReplaysFromTheCache) {
  const std::string text = "result=0\n[beta]\ns1=one\ns2=two\n[Alpha]\ns3=three\n[empty]\n[beta]\ns4=four\n";
  AnswerCatalogue(text);
  std::map<std::string, std::vector<ServerInfo>> catalogue;
  catalogue["beta"].push_back(ServerInfo("s0", "zero"));
  ASSERT_EQ(helper_.GetVpnServers(catalogue), 0);

  const SentRequest request = LastRequest();
  EXPECT_EQ(request.path, "/vpn_intl/getserverinfo.php");
  EXPECT_EQ(request.letter, 'A');  // keyed, first draw of the process
  EXPECT_EQ(request.fields, Fields("agent=agentX&lang=en-US&magic=&username=&"));
  EXPECT_EQ(Describe(catalogue), "Alpha:s3=three,;beta:s0=zero,s1=one,s2=two,s4=four,;");

  // The raw reply is kept as received, still keyed and compressed.
  EXPECT_EQ(ReadCache(), testsupport::CompressedReply(text, 'A', "alpha-key"));

  std::map<std::string, std::vector<ServerInfo>> local;
  UseDeadServer();  // the local catalogue needs no network
  ASSERT_EQ(helper_.GetLocalVpnServers(local), 0);
  EXPECT_EQ(Describe(local), "Alpha:s3=three,;beta:s1=one,s2=two,s4=four,;");
  EXPECT_EQ(service_.Requests().size(), 1u);

  // Appended, never cleared: calling again doubles every sequence.
  ASSERT_EQ(helper_.GetLocalVpnServers(local), 0);
  EXPECT_EQ(local["beta"].size(), 6u);
}

TEST_F(CatalogueTest, RefusedOrFailedRemoteCatalogueLeavesTheCacheByteForByte) {
  AnswerCatalogue("result=0\n[g]\ns=1\n");
  std::map<std::string, std::vector<ServerInfo>> catalogue;
  ASSERT_EQ(helper_.GetVpnServers(catalogue), 0);
  const std::string cached = ReadCache();

  AnswerCatalogue("result=1\n[g]\nt=2\n");
  std::map<std::string, std::vector<ServerInfo>> untouched;
  EXPECT_EQ(helper_.GetVpnServers(untouched), RESULT_NOT_SUCCEEDED);
  AnswerCatalogue("result=00\n[g]\nt=2\n");
  EXPECT_EQ(helper_.GetVpnServers(untouched), RESULT_NOT_SUCCEEDED);
  UseDeadServer();
  EXPECT_EQ(helper_.GetVpnServers(untouched), RESULT_TRANSPORT_FAILURE);
  EXPECT_TRUE(untouched.empty());
  EXPECT_EQ(ReadCache(), cached);

  ASSERT_EQ(helper_.GetLocalVpnServers(untouched), 0);
  EXPECT_EQ(Describe(untouched), "g:s=1,;");
}

TEST_F(CatalogueTest, LocalCatalogueFailsWithoutACacheOrWithAnUnusableOne) {
  std::map<std::string, std::vector<ServerInfo>> catalogue{{"keep", {ServerInfo("k", "v")}}};
  EXPECT_EQ(helper_.GetLocalVpnServers(catalogue), -1);
  EXPECT_TRUE(service_.Requests().empty());

  for (const std::string& content :
       {std::string(), std::string("<html>oops</html>"), UnkeyedReply("result=3\n[g]\ns=1\n")}) {
    ASSERT_FALSE(dir_.Write("cache.dat", content).empty());
    EXPECT_EQ(helper_.GetLocalVpnServers(catalogue), -1) << content;
  }
  EXPECT_EQ(Describe(catalogue), "keep:k=v,;");
}

TEST_F(CatalogueTest, CachedReplyIsDecodedWithTheKeysHeldWhenItIsRead) {
  AnswerCatalogue("result=0\n[g]\ns=1\n");
  std::map<std::string, std::vector<ServerInfo>> catalogue;
  ASSERT_EQ(helper_.GetVpnServers(catalogue), 0);
  GlobalCache::Instance().SetConfigItem("GC_CIPER_A", "");
  std::map<std::string, std::vector<ServerInfo>> local;
  EXPECT_EQ(helper_.GetLocalVpnServers(local), -1);
  EXPECT_TRUE(local.empty());
}

TEST_F(CatalogueTest, MultiLineReplyReplaysWhole) {
  // Base64 broken into lines decodes over HTTP; the cache must replay it all.
  std::string text = "result=0\n[g]\n";
  for (int i = 0; i < 50; ++i) text += "server" + std::to_string(i) + "=address-" + std::to_string(i) + "\n";
  Answer([text](const SentRequest&) {
    std::string body = UnkeyedReply(text);
    std::string wrapped = body.substr(0, 2);
    for (std::size_t i = 2; i < body.size(); i += 76) wrapped += body.substr(i, 76) + "\r\n";
    return wrapped;
  });
  std::map<std::string, std::vector<ServerInfo>> remote;
  ASSERT_EQ(helper_.GetVpnServers(remote), 0);
  std::map<std::string, std::vector<ServerInfo>> local;
  ASSERT_EQ(helper_.GetLocalVpnServers(local), 0);
  EXPECT_EQ(Describe(local), Describe(remote));
  EXPECT_EQ(local["g"].size(), 50u);
}

}  // namespace
