// Thousands of operations through the facade against three loopback servers
// that die and come back, checking that resident memory and open descriptors
// stay flat. The operation count comes from PROXYHELPER_SOAK_OPS (a short run
// by default, so the suite stays quick; scripts/soak.sh runs 10,000 and a
// shorter one under valgrind).
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/ReferenceService.h"
#include "support/TempDir.h"
#include "system/ProcessProbe.h"

namespace {

constexpr int kDefaultOperations = 600;
constexpr int kCheckpointEvery = 100;
// Growth allowed from the first checkpoint after warm-up to the end.
constexpr long kResidentGrowthBoundKiB = 16 * 1024;
constexpr int kDescriptorGrowthBound = 4;

// Resident memory means something only in a plain build run natively: the
// sanitizers hold freed memory back on purpose, and valgrind's own memory
// counts too. Those runs find leaks directly instead; scripts/soak.sh sets
// PROXYHELPER_SOAK_NO_RSS_BOUND for its valgrind run.
bool ResidentBoundApplies() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
  return std::getenv("PROXYHELPER_SOAK_NO_RSS_BOUND") == nullptr;
#endif
}

int OperationCount() {
  const char* text = std::getenv("PROXYHELPER_SOAK_OPS");
  const long count = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return count > 0 && count <= 1000000 ? static_cast<int>(count) : kDefaultOperations;
}

// Result codes of the reference service a churned session may meet: wrong
// credentials, a session lost when a sign-in answer was cut off, a taken
// user name, a used card, an empty credential pool, a lease lost likewise.
const std::set<int> kServiceRefusals = {2, 3, 4, 5, 7, 8};

class Soak {
 public:
  explicit Soak(testsupport::ReferenceService& service) : service_(service) {}

  // One operation of a fixed cycle; returns its result code.
  int Run(int index) {
    VPErrorInfo error;
    switch (index % 12) {
      case 0:
        return helper_.SignIn({"alice", "alice-pass"}, error);
      case 1: {
        UserInfo info;
        const int result = helper_.GetUserInfo(info);
        AdoptServerConfig();
        return result;
      }
      case 2:
        return helper_.GetDailupInfo(101, lease_, error);
      case 3:
        return helper_.ShakeHands({lease_.lendusername, 101}, error);
      case 4:
        return helper_.ReleaseDialupInfo(0);
      case 5: {
        ServerCatalogue servers;
        return helper_.GetVpnServers(servers);
      }
      case 6: {
        ServerCatalogue servers;
        return helper_.GetLocalVpnServers(servers);
      }
      case 7: {
        std::vector<ServerOnlineRatio> ratios;
        return helper_.GetOnlineRatio(ratios);
      }
      case 8: {
        std::string version;
        return helper_.GetVersion(version);
      }
      case 9:
        return helper_.Recharge({"alice", "alice-pass", "CARD-0001", "1111"}, error);
      case 10:
        return helper_.Register({"alice", "x", "", "", "", ""}, error);
      default:
        return helper_.SignOut();
    }
  }

  // Servers die and come back: one at a time most of the time, now and then
  // all of them for a few operations.
  void Churn(int index) {
    if (index % 500 == 100) {
      for (std::size_t i = 0; i < service_.size(); ++i) service_.StopServer(i);
    } else if (index % 50 == 0) {
      service_.StopServer(static_cast<std::size_t>(index / 50) % service_.size());
    } else if (index % 50 == 25 || index % 500 == 110) {
      for (std::size_t i = 0; i < service_.size(); ++i) {
        if (!service_.StartServer(i)) ++restartFailures_;
      }
    }
  }

  // The application owns the server configuration each user-info reply
  // brings; it frees the one it no longer needs.
  void AdoptServerConfig() {
    auto* current = static_cast<ServerConfig*>(GlobalCache::Instance().GetValue("GCP_CUR_SERVERCONFIG"));
    if (current != held_) {
      delete held_;
      held_ = current;
    }
  }

  void ReleaseServerConfig() {
    AdoptServerConfig();
    delete held_;
    held_ = nullptr;
    GlobalCache::Instance().SetValue("GCP_CUR_SERVERCONFIG", nullptr);
  }

  int restartFailures() const { return restartFailures_; }

 private:
  testsupport::ReferenceService& service_;
  ProxyHelper& helper_ = ProxyHelper::Instance();
  DialupInfo lease_;
  ServerConfig* held_ = nullptr;
  int restartFailures_ = 0;
};

TEST(Soak, OperationsWithFailoverChurnKeepMemoryAndDescriptorsFlat) {
  const int operations = OperationCount();
  testsupport::TempDir dir("proxyhelper-soak-");
  ASSERT_TRUE(dir.ok());
  testsupport::ReferenceService service({"127.0.0.1", "127.0.0.2", "127.0.0.3"});
  ASSERT_TRUE(service.ok());
  QUILLON::SetExeDirectory(dir.path());
  GlobalCache::Instance().SetClientCfg("soak-agent", "1.0");
  GlobalCache::Instance().SetConfigItem("GC_HTTP_STALL_MS", 2000);
  CMultiLanguage::Instance().SetCurrConfigLanguageTag("en-US");
  ASSERT_EQ(CLoginServers::Instance().Parse(service.AddressList(), true), 3);

  Soak soak(service);
  std::map<int, int> results;
  int unexpected = 0;
  const int warmUp = std::max(kCheckpointEvery, operations / 10);
  long baseResident = -1;
  int baseDescriptors = -1;
  long lastResident = -1;
  int lastDescriptors = -1;
  for (int i = 0; i < operations; ++i) {
    if (i % kCheckpointEvery == 0 && i >= warmUp) {
      // Every server is up at these points, so the listeners' own
      // descriptors are the same each time.
      lastResident = reliability::ResidentKiB();
      lastDescriptors = reliability::OpenDescriptors();
      if (baseResident < 0) {
        baseResident = lastResident;
        baseDescriptors = lastDescriptors;
      }
    }
    soak.Churn(i);
    const int result = soak.Run(i);
    ++results[result];
    if (result != 0 && result != RESULT_TRANSPORT_FAILURE && result != RESULT_NOT_SUCCEEDED && result != -1 &&
        kServiceRefusals.count(result) == 0) {
      ++unexpected;
    }
  }
  for (std::size_t i = 0; i < service.size(); ++i) service.StartServer(i);
  soak.ReleaseServerConfig();
  lastResident = reliability::ResidentKiB();
  lastDescriptors = reliability::OpenDescriptors();

  int transportFailures = results[RESULT_TRANSPORT_FAILURE];
  std::cout << "soak: " << operations << " operations: " << results[0] << " succeeded, " << transportFailures
            << " transport failures, " << operations - results[0] - transportFailures << " refused\n"
            << "soak: resident " << baseResident << " KiB after warm-up, " << lastResident
            << " KiB at the end (peak " << reliability::PeakResidentKiB() << " KiB)\n"
            << "soak: descriptors " << baseDescriptors << " after warm-up, " << lastDescriptors
            << " at the end\n";
  RecordProperty("resident_kib_base", static_cast<int>(baseResident));
  RecordProperty("resident_kib_end", static_cast<int>(lastResident));
  RecordProperty("descriptors_base", baseDescriptors);
  RecordProperty("descriptors_end", lastDescriptors);

  EXPECT_EQ(unexpected, 0);
  EXPECT_EQ(soak.restartFailures(), 0);
  // Churn costs some operations, never most of them.
  EXPECT_GT(results[0], operations / 2);
  EXPECT_GT(transportFailures, 0);
  ASSERT_GT(baseResident, 0);
  if (ResidentBoundApplies()) {
    EXPECT_LE(lastResident - baseResident, kResidentGrowthBoundKiB);
  }
  EXPECT_LE(lastDescriptors - baseDescriptors, kDescriptorGrowthBound);
}

}  // namespace
