// The decisions behind the machine identifier and the default adapter's MAC
// on Windows, fed with prepared registry texts, adapter addresses and route
// tables (they run on every platform).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostlib/internal/WindowsIdentitySources.h"

namespace {

using quillon_internal::AdapterMac;
using quillon_internal::DefaultAdapterMac;
using quillon_internal::DefaultRoute;
using quillon_internal::FormatHardwareAddress;
using quillon_internal::NormalizedMachineGuid;

TEST(WindowsIdentitySources, MachineGuidBecomesThirtyTwoLowerHexDigits) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"0a1b2c3d-4e5f-6789-abcd-ef0123456789", "0a1b2c3d4e5f6789abcdef0123456789"},
      {"0A1B2C3D-4E5F-6789-ABCD-EF0123456789", "0a1b2c3d4e5f6789abcdef0123456789"},
      {"{0a1b2c3d-4e5f-6789-abcd-ef0123456789}", "0a1b2c3d4e5f6789abcdef0123456789"},
      {"  0a1b2c3d-4e5f-6789-abcd-ef0123456789\r\n", "0a1b2c3d4e5f6789abcdef0123456789"},
      // Not a GUID: wrong length, dashes elsewhere, no dashes, braces half
      // there, a non-hex digit, all zero, nothing.
      {"0a1b2c3d-4e5f-6789-abcd-ef012345678", ""},
      {"0a1b2c3d4-e5f-6789-abcd-ef0123456789", ""},
      {"0a1b2c3d4e5f6789abcdef0123456789", ""},
      {"{0a1b2c3d-4e5f-6789-abcd-ef0123456789", ""},
      {"0a1b2c3d-4e5f-6789-abcd-ef012345678g", ""},
      {"00000000-0000-0000-0000-000000000000", ""},
      {"", ""},
      {"   ", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NormalizedMachineGuid(c.text), c.expected);
  }
}

TEST(WindowsIdentitySources, HardwareAddressIsSixUpperCaseHexPairs) {
  const unsigned char adapter[] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xfe};
  const unsigned char zero[6] = {};
  const unsigned char longer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(FormatHardwareAddress(adapter, 6), "00-1A-2B-3C-4D-FE");
  EXPECT_EQ(FormatHardwareAddress(zero, 6), "");    // loopback and tunnels
  EXPECT_EQ(FormatHardwareAddress(longer, 8), "");  // FireWire and the like
  EXPECT_EQ(FormatHardwareAddress(adapter, 5), "");
  EXPECT_EQ(FormatHardwareAddress(adapter, 0), "");
  EXPECT_EQ(FormatHardwareAddress(nullptr, 6), "");
}

TEST(WindowsIdentitySources, DefaultAdapterChoice) {
  const std::vector<AdapterMac> adapters = {
      {1, ""},  // loopback
      {7, "00-11-22-33-44-07"},
      {9, "00-11-22-33-44-09"},
      {12, ""},  // a tunnel without hardware
      {15, "00-11-22-33-44-15"},
  };
  struct Case {
    const char* label;
    unsigned long best;
    std::vector<DefaultRoute> routes;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {"the best interface wins", 9, {{7, 5}}, "00-11-22-33-44-09"},
      {"best without hardware: routes by metric", 12, {{15, 30}, {7, 10}}, "00-11-22-33-44-07"},
      {"unknown best: routes by metric", 0, {{15, 30}, {9, 20}}, "00-11-22-33-44-09"},
      {"equal metrics keep table order", 0, {{15, 10}, {7, 10}}, "00-11-22-33-44-15"},
      {"a tunnel route does not hide the adapter", 0, {{12, 1}, {7, 50}}, "00-11-22-33-44-07"},
      {"best not among the adapters", 99, {{9, 1}}, "00-11-22-33-44-09"},
      {"routes to unknown interfaces only", 0, {{42, 1}, {1, 2}}, ""},
      {"nothing known at all", 0, {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(DefaultAdapterMac(c.best, c.routes, adapters), c.expected);
  }
}

}  // namespace
