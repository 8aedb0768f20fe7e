// The user agent: the application's configured name, else the program's.
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "platform/AppName.h"

namespace {

TEST(AppName, ConfiguredNameWins) {
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "Quill VPN 4.2 (test)");
  EXPECT_EQ(GetApplicationName(), "Quill VPN 4.2 (test)");
}

TEST(AppName, ProgramNameWhenNoneOrAnEmptyOneIsConfigured) {
  EXPECT_EQ(GetApplicationName(), "test_exchange");
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "");
  EXPECT_EQ(GetApplicationName(), "test_exchange");
  GlobalCache::Instance().SetConfigItem("GC_USER_AGENT", "Later");
  EXPECT_EQ(GetApplicationName(), "Later");  // read afresh on every call
  GlobalCache::Instance().RemoveConfigItem("GC_USER_AGENT");
  EXPECT_EQ(GetApplicationName(), "test_exchange");
}

}  // namespace
