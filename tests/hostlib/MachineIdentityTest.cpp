#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostlib/internal/MachineIdentitySources.h"
#include "hostlib/quillon.h"
#include "support/TempDir.h"

namespace {

using quillon_internal::DefaultRouteMac;
using quillon_internal::HostNameMachineId;
using quillon_internal::MachineIdFrom;

bool IsLowerHex32(const std::string& id) {
  return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(MachineIdTest, StableAndWellFormed) {
  const std::string first = QUILLON::GetMachineId();
  EXPECT_TRUE(IsLowerHex32(first)) << first;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(QUILLON::GetMachineId(), first);
}

TEST(MachineIdTest, SourcesInOrder) {
  testsupport::TempDir dir("quillon-test-");
  ASSERT_TRUE(dir.ok());
  const std::string good1 = dir.Write("a", "0123456789abcdef0123456789abcdef\n");
  const std::string good2 = dir.Write("b", "  FEDCBA9876543210FEDCBA9876543210 \r\nsecond line\n");
  const std::string uninitialized = dir.Write("c", "uninitialized\n");
  const std::string shortId = dir.Write("d", "0123456789abcdef\n");
  const std::string empty = dir.Write("e", "");
  const std::string nonHex = dir.Write("f", "0123456789abcdef0123456789abcdeg\n");
  const std::string missing = dir.path() + "/missing";
  const std::string fallback = HostNameMachineId("host-x");

  struct Case {
    const char* label;
    std::vector<std::string> paths;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"first file", {good1, good2}, "0123456789abcdef0123456789abcdef"},
      {"second when first missing", {missing, good2}, "fedcba9876543210fedcba9876543210"},
      {"second when first uninitialized", {uninitialized, good1}, "0123456789abcdef0123456789abcdef"},
      {"short id is not an id", {shortId, good2}, "fedcba9876543210fedcba9876543210"},
      {"fallback after empty and non-hex", {empty, nonHex}, fallback},
      {"fallback without files", {missing, missing}, fallback},
      {"directory is not a file", {dir.path()}, fallback},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(MachineIdFrom(c.paths, "host-x"), c.expected);
  }
}

TEST(MachineIdTest, HostNameFallback) {
  // FNV-1a 64 published vectors: the empty text is the offset basis, and
  // "a" hashes to af63dc4c8601ec8c.
  EXPECT_EQ(HostNameMachineId(""), "cbf29ce484222325cbf29ce484222325");
  EXPECT_EQ(HostNameMachineId("a").substr(0, 16), "af63dc4c8601ec8c");
  const std::vector<std::string> names = {"a", "b", "ab", "ba", "host", "host.example.com"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const std::string id = HostNameMachineId(name);
    EXPECT_TRUE(IsLowerHex32(id)) << id;
    EXPECT_EQ(HostNameMachineId(name), id);
    for (const std::string& other : names) {
      if (other != name) {
        EXPECT_NE(HostNameMachineId(other), id) << other;
      }
    }
  }
}

const char kRouteHeader[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

std::string Route(const std::string& iface, const std::string& destination, const std::string& flags,
                  int metric, const std::string& mask) {
  return iface + "\t" + destination + "\t0101A8C0\t" + flags + "\t0\t0\t" + std::to_string(metric) + "\t" +
         mask + "\t0\t0\t0\n";
}

struct MacCase {
  const char* label;
  std::string routes;
  std::string expected;
};

TEST(DefaultMacTest, ReadsTheDefaultRouteInterface) {
  testsupport::TempDir dir("quillon-test-");
  ASSERT_TRUE(dir.ok());
  const std::string net = dir.path() + "/net";
  dir.Write("net/eth0/address", "00:1a:2b:3c:4d:5e\n");
  dir.Write("net/wlan0/address", "a0:b1:c2:d3:e4:f5\n");
  dir.Write("net/lo/address", "00:00:00:00:00:00\n");
  dir.Write("net/tun0/address", "");
  dir.Write("net/ib0/address", "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0a:8a:ed\n");
  dir.Write("net/odd/address", "00-1a-2b-3c-4d-5e\n");
  dir.Write("secret/address", "11:22:33:44:55:66\n");

  const std::vector<MacCase> cases = {
      {"single default route", Route("eth0", "00000000", "0003", 100, "00000000"), "00-1A-2B-3C-4D-5E"},
      {"lowest metric wins",
       Route("eth0", "00000000", "0003", 600, "00000000") +
           Route("wlan0", "00000000", "0003", 100, "00000000"),
       "A0-B1-C2-D3-E4-F5"},
      {"file order breaks ties",
       Route("wlan0", "00000000", "0003", 5, "00000000") + Route("eth0", "00000000", "0003", 5, "00000000"),
       "A0-B1-C2-D3-E4-F5"},
      {"route that is not up is ignored",
       Route("wlan0", "00000000", "0002", 0, "00000000") + Route("eth0", "00000000", "0003", 50, "00000000"),
       "00-1A-2B-3C-4D-5E"},
      {"non-default routes are ignored",
       Route("wlan0", "0000A8C0", "0001", 0, "00FFFFFF") + Route("wlan0", "00000000", "0001", 0, "00FFFFFF") +
           Route("eth0", "00000000", "0001", 9, "00000000"),
       "00-1A-2B-3C-4D-5E"},
      {"interface without hardware address falls through",
       Route("tun0", "00000000", "0001", 0, "00000000") + Route("eth0", "00000000", "0003", 100, "00000000"),
       "00-1A-2B-3C-4D-5E"},
      {"loopback all-zero address", Route("lo", "00000000", "0001", 0, "00000000"), ""},
      {"long hardware address", Route("ib0", "00000000", "0001", 0, "00000000"), ""},
      {"address in another form", Route("odd", "00000000", "0001", 0, "00000000"), ""},
      {"interface without directory", Route("eth9", "00000000", "0001", 0, "00000000"), ""},
      {"path steps in the name are not followed",
       Route("..", "00000000", "0001", 0, "00000000") + Route("../secret", "00000000", "0001", 0, "00000000"),
       ""},
      {"no default route", Route("eth0", "0000A8C0", "0001", 0, "00FFFFFF"), ""},
      {"damaged lines are skipped",
       std::string("eth0 zz\n\n\t\neth0\tXYZ\t0\t0003\t0\t0\t0\t00000000\n") +
           "eth0\t00000000\t0\t0003\t0\t0\t-1\t00000000\n" +
           Route("wlan0", "00000000", "0003", 3, "00000000"),
       "A0-B1-C2-D3-E4-F5"},
      {"empty table", "", ""},
  };
  for (const MacCase& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string routeFile = dir.Write("route", kRouteHeader + c.routes);
    EXPECT_EQ(DefaultRouteMac(routeFile, net), c.expected);
  }
  EXPECT_EQ(DefaultRouteMac(dir.path() + "/no-route-file", net), "");
}

TEST(DefaultMacTest, RealSystemGivesEmptyOrWellFormed) {
  const std::string mac = QUILLON::GetDftMac();
  if (!mac.empty()) {
    ASSERT_EQ(mac.size(), 17u);
    for (std::size_t i = 0; i < mac.size(); ++i) {
      if (i % 3 == 2) {
        EXPECT_EQ(mac[i], '-');
      } else {
        EXPECT_NE(std::string("0123456789ABCDEF").find(mac[i]), std::string::npos) << mac;
      }
    }
  }
  EXPECT_EQ(QUILLON::GetDftMac(), mac);
}

}  // namespace
