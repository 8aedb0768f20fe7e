// Listen addresses and the faults given to them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/devserver/ListenSpec.h"

namespace {

TEST(ListenSpecTest, ParsesHostPortForms) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:0", true, "127.0.0.1", 0}, {"127.0.0.2:8080", true, "127.0.0.2", 8080},
      {"[::1]:65535", true, "::1", 65535},   {"localhost:1", true, "localhost", 1},
      {"127.0.0.1:65536", false, "", 0},     {"127.0.0.1:-1", false, "", 0},
      {"127.0.0.1:", false, "", 0},          {":80", false, "", 0},
      {"127.0.0.1", false, "", 0},           {"::1:80", false, "", 0},
      {"127.0.0.1:8o", false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    devserver::ListenSpec spec;
    std::string error;
    EXPECT_EQ(devserver::ParseListenSpec(c.text, &spec, &error), c.ok) << error;
    if (!c.ok) {
      EXPECT_FALSE(error.empty());
      continue;
    }
    EXPECT_EQ(spec.host, c.host);
    EXPECT_EQ(spec.port, c.port);
    EXPECT_EQ(devserver::FormatAddress(spec.host, spec.port), c.text);
  }
}

TEST(ListenSpecTest, OnlyLoopbackAddressesCountAsLoopback) {
  const std::pair<const char*, bool> cases[] = {
      {"127.0.0.1", true}, {"127.200.3.4", true}, {"::1", true},       {"::ffff:127.0.0.2", true},
      {"0.0.0.0", false},  {"::", false},         {"10.1.2.3", false}, {"128.0.0.1", false},
      {"::2", false},      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(devserver::IsLoopbackHost(c.first), c.second) << c.first;
}

TEST(ListenSpecTest, FaultsGoToTheFirstMatchingListenerWithoutOne) {
  std::vector<devserver::ListenSpec> specs(3);
  std::string error;
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.1:0", &specs[0], &error));
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.1:0", &specs[1], &error));
  ASSERT_TRUE(devserver::ParseListenSpec("127.0.0.2:0", &specs[2], &error));
  EXPECT_TRUE(devserver::ApplyFault("127.0.0.1:0=500", &specs, &error)) << error;
  EXPECT_TRUE(devserver::ApplyFault("127.0.0.1:0=close", &specs, &error)) << error;
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.1:0=stall", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.2:0=teapot", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.2:0", &specs, &error));
  EXPECT_FALSE(devserver::ApplyFault("127.0.0.3:0=refuse", &specs, &error));
  EXPECT_EQ(specs[0].fault, devserver::FaultMode::kStatus500);
  EXPECT_EQ(specs[1].fault, devserver::FaultMode::kClose);
  EXPECT_EQ(specs[2].fault, devserver::FaultMode::kNone);

  for (const char* name : {"refuse", "500", "close", "stall", "garbage"}) {
    devserver::FaultMode mode = devserver::FaultMode::kNone;
    ASSERT_TRUE(devserver::ParseFaultMode(name, &mode)) << name;
    EXPECT_STREQ(devserver::FaultModeName(mode), name);
  }
}

}  // namespace
