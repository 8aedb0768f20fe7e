// A signed-in client with a lease, pushed keys and a cached catalogue, all
// obtained from the reference service; the tests then turn the client to a
// misbehaving server and check that every operation fails with its
// documented code while the session, the caller's records and the cache
// file change only as that operation's own rules allow.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/TempDir.h"
#include "system/ProcessProbe.h"

namespace hostile {

// Bounds small enough that a hostile answer is cut short quickly.
constexpr int kTransferTimeoutMs = 4000;
constexpr int kStallMs = 300;
constexpr int kMaxBody = 256 * 1024;
constexpr int kMaxBz2Output = 4 * 1024 * 1024;

inline std::string Describe(const ServerCatalogue& catalogue) {
  std::ostringstream text;
  for (const auto& group : catalogue) {
    text << "[" << group.first << "]";
    for (const ServerInfo& server : group.second) text << server.GetKey() << "=" << server.GetValue() << ";";
  }
  return text.str();
}

inline std::string Describe(const std::vector<ServerOnlineRatio>& ratios) {
  std::string text;
  for (const auto& ratio : ratios) text += ratio.GetKey() + "=" + ratio.GetValue() + ";";
  return text;
}

inline std::string Describe(const UserInfo& info) {
  std::ostringstream text;
  text << info.username << "|" << info.vpnpd << "|" << info.timeleft << "|" << info.userlevel_desc << "|"
       << info.userlevel << "|" << info.usermode << "|" << info.simuses << "|" << info.moneyleft << "|"
       << info.timetip;
  return text.str();
}

inline std::string Describe(const VPErrorInfo& error) {
  return std::to_string(error.errcode) + "|" + error.errdesc;
}

inline std::string Describe(const DialupInfo& lease) { return lease.lendusername + "|" + lease.lendpassword; }

inline std::string ConfigItem(const std::string& name) {
  std::string value;
  GlobalCache::Instance().GetConfigItem(name, value);
  return value;
}

// What the caller holds before an operation; every field a sentinel that
// no reply here would produce.
struct CallerRecords {
  VPErrorInfo error{4242, "caller's own text"};
  DialupInfo lease{"caller-user", "caller-pass"};
  UserInfo info{"caller", "pd", "left", "desc", 71, 72, 73, 74, 75};
  std::vector<ServerOnlineRatio> ratios{ServerOnlineRatio("900", "9")};
  ServerCatalogue servers{{"Caller", {ServerInfo("1", "mine,1.2.3.4,1,Here")}}};
  std::string version = "caller-version";

  std::string Describe() const {
    return hostile::Describe(error) + "#" + hostile::Describe(lease) + "#" + hostile::Describe(info) + "#" +
           hostile::Describe(ratios) + "#" + hostile::Describe(servers) + "#" + version;
  }
};

// The state a failed exchange must leave alone.
struct ClientState {
  std::string username;
  std::string magic;
  std::string keys;
  void* serverConfig = nullptr;
  std::string cacheFile;

  bool operator==(const ClientState& other) const {
    return username == other.username && magic == other.magic && keys == other.keys &&
           serverConfig == other.serverConfig && cacheFile == other.cacheFile;
  }
};

inline std::ostream& operator<<(std::ostream& out, const ClientState& state) {
  return out << "user=" << state.username << " magic=" << state.magic << " keys=" << state.keys
             << " config=" << state.serverConfig << " cache=" << state.cacheFile.size() << " bytes";
}

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    QUILLON::SetExeDirectory(dir_.path());
    GlobalCache& cache = GlobalCache::Instance();
    cache.SetClientCfg("reliability-agent", "3.1.4");
    CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
    cache.SetConfigItem("GC_HTTP_TIMEOUT_MS", kTransferTimeoutMs);
    cache.SetConfigItem("GC_HTTP_STALL_MS", kStallMs);
    cache.SetConfigItem("GC_HTTP_MAX_BODY", kMaxBody);
    cache.SetConfigItem("GC_BZ2_MAX_OUTPUT", kMaxBz2Output);

    ASSERT_TRUE(service_.ok());
    UseServers(service_.AddressList());
    VPErrorInfo error;
    ASSERT_EQ(helper_.SignIn({"alice", "alice-pass"}, error), 0);
    UserInfo info;
    ASSERT_EQ(helper_.GetUserInfo(info), 0);
    ASSERT_EQ(ConfigItem("GC_CIPER_A"), service_.keys().m1);
    ASSERT_EQ(helper_.GetDailupInfo(101, lease_, error), 0);
    ASSERT_FALSE(lease_.lendusername.empty());
    ASSERT_EQ(helper_.GetVpnServers(catalogue_), 0);
    ASSERT_FALSE(catalogue_.empty());
    // The lease is live before the hostile server gets its turn.
    ASSERT_EQ(helper_.ShakeHands({lease_.lendusername, 101}, error), 0);
    before_ = Snapshot();
    ASSERT_FALSE(before_.cacheFile.empty());
  }

  void TearDown() override {
    // The application owns the server configuration records it was handed.
    GlobalCache& cache = GlobalCache::Instance();
    delete static_cast<ServerConfig*>(cache.GetValue("GCP_CUR_SERVERCONFIG"));
    cache.SetValue("GCP_CUR_SERVERCONFIG", nullptr);
  }

  static void UseServers(const std::string& list) {
    ASSERT_GT(CLoginServers::Instance().Parse(list, true), 0) << list;
  }

  ClientState Snapshot() const {
    ClientState state;
    state.username = helper_.GetUserNameA();
    state.magic = helper_.GetMagic();
    state.keys = ConfigItem("GC_CIPER_A") + "," + ConfigItem("GC_CIPER_B") + "," + ConfigItem("GC_CIPER_C");
    state.serverConfig = GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG");
    state.cacheFile = dir_.Read("cache.dat");
    return state;
  }

  // The lease token the session holds, as the reference service sees it: a
  // handshake is accepted only while the token is the live one.
  int HandshakeWithService() {
    UseServers(service_.AddressList());
    VPErrorInfo error;
    return helper_.ShakeHands({lease_.lendusername, 101}, error);
  }

  // Every remote operation once, release last (it gives up the lease), each
  // expected to end in a transport failure with the caller's records as
  // they were. Returns the number of operations run.
  int RunEveryOperationExpectingTransportFailure() {
    struct Step {
      const char* name;
      int (*run)(ProxyHelper&, CallerRecords&);
    };
    static const Step kSteps[] = {
        {"SignIn",
         [](ProxyHelper& h, CallerRecords& r) {
           return h.SignIn({"bob", "bob-pass"}, r.error);
         }},
        {"GetVersion", [](ProxyHelper& h, CallerRecords& r) { return h.GetVersion(r.version); }},
        {"Register",
         [](ProxyHelper& h, CallerRecords& r) {
           return h.Register({"carol", "pw", "", "", "", ""}, r.error);
         }},
        {"Recharge",
         [](ProxyHelper& h, CallerRecords& r) {
           return h.Recharge({"alice", "alice-pass", "CARD-0001", "1111"}, r.error);
         }},
        {"GetUserInfo", [](ProxyHelper& h, CallerRecords& r) { return h.GetUserInfo(r.info); }},
        {"GetDailupInfo",
         [](ProxyHelper& h, CallerRecords& r) { return h.GetDailupInfo(101, r.lease, r.error); }},
        {"ShakeHands",
         [](ProxyHelper& h, CallerRecords& r) {
           return h.ShakeHands({"dial101a", 101}, r.error);
         }},
        {"GetOnlineRatio", [](ProxyHelper& h, CallerRecords& r) { return h.GetOnlineRatio(r.ratios); }},
        {"GetVpnServers", [](ProxyHelper& h, CallerRecords& r) { return h.GetVpnServers(r.servers); }},
        {"SignOut", [](ProxyHelper& h, CallerRecords&) { return h.SignOut(); }},
        {"ReleaseDialupInfo", [](ProxyHelper& h, CallerRecords&) { return h.ReleaseDialupInfo(0); }},
    };
    const std::string untouched = CallerRecords().Describe();
    for (const Step& step : kSteps) {
      CallerRecords records;
      EXPECT_EQ(step.run(helper_, records), RESULT_TRANSPORT_FAILURE) << step.name;
      EXPECT_EQ(records.Describe(), untouched) << step.name;
      EXPECT_EQ(Snapshot(), before_) << step.name;
    }
    return static_cast<int>(sizeof kSteps / sizeof kSteps[0]);
  }

  // What a failed cycle must leave: the session, keys, pushed configuration
  // and cache file as they were, the catalogue still replayable from the
  // cache, and the lease given up by the release alone.
  void ExpectOnlyTheLeaseWasGivenUp() {
    EXPECT_EQ(Snapshot(), before_);
    ServerCatalogue replayed;
    EXPECT_EQ(helper_.GetLocalVpnServers(replayed), 0);
    EXPECT_EQ(Describe(replayed), Describe(catalogue_));
    // 8: the service no longer knows the (now empty) lease token.
    EXPECT_EQ(HandshakeWithService(), 8);
  }

  testsupport::TempDir dir_{"proxyhelper-hostile-"};
  testsupport::ReferenceService service_;
  ProxyHelper& helper_ = ProxyHelper::Instance();
  DialupInfo lease_;
  ServerCatalogue catalogue_;
  ClientState before_;
};

}  // namespace hostile
