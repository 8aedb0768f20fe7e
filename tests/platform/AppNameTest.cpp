// The user agent: the application's configured name, else the program's.
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "platform/AppName.h"

namespace {

TEST(AppName, ConfiguredNameWinsWithoutItsControlBytes) {
  struct Case {
    const char* configured;
    const char* sent;
  } cases[] = {
      {"Quill VPN 4.2 (test)", "Quill VPN 4.2 (test)"},
      // A header line of the setter's choosing must never reach the wire.
      {"Quill\r\nX-Injected: 1", "QuillX-Injected: 1"},
      {"tab\there\x7f\x01", "tabhere"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},  // bytes above 0x7F are kept
  };
  for (const Case& c : cases) {
    GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", c.configured);
    EXPECT_EQ(GetApplicationName(), c.sent) << c.configured;
  }
}

TEST(AppName, ProgramNameWhenNoneOrAnEmptyOneIsConfigured) {
  EXPECT_EQ(GetApplicationName(), "test_platform");
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "");
  EXPECT_EQ(GetApplicationName(), "test_platform");
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "Later");
  EXPECT_EQ(GetApplicationName(), "Later");  // read afresh on every call
  GlobalCache::Instance().RemoveConfigItem("GC_USER_AGENT");
  EXPECT_EQ(GetApplicationName(), "test_platform");
}

}  // namespace
