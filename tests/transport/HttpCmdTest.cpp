// The command: its form text, and the server it takes when made.
#include <gtest/gtest.h>

#include "hostlib/quillon.h"
#include "support/CommandProbe.h"
#include "transport/HttpCmd.h"
#include "transport/OperationContext.h"

namespace {

using testsupport::ProbedCmd;

TEST(CommandForm, RendersFieldsInByteWiseKeyOrderWithATrailingAmpersand) {
  CHttpCmd command(OperationContext::Begin(), "", 80);
  command.AddParam("username", "bob");
  command.AddParam("agent", "x1");
  command.AddParam("lang", "en");
  command.AddParam("vpnserverid", 12);
  EXPECT_EQ(command.BuildForm(), "agent=x1&lang=en&username=bob&vpnserverid=12&");
}

TEST(CommandForm, EmptySetGivesEmptyForm) {
  CHttpCmd command(OperationContext::Begin(), "", 80);
  EXPECT_EQ(command.BuildForm(), "");
}

TEST(CommandForm, KeysSortByUnsignedBytesAndPrefixFirst) {
  CHttpCmd command(OperationContext::Begin(), "", 80);
  for (const char* key : {"\xC3\xA9t\xC3\xA9", "mid2", "agent", "Zone", "mid", "_x", "9"})
    command.AddParam(key, "");
  EXPECT_EQ(command.BuildForm(), "9=&Zone=&_x=&agent=&mid=&mid2=&\xC3\xA9t\xC3\xA9=&");
}

TEST(CommandForm, LastValueOfARepeatedKeyWinsAndNothingIsEscaped) {
  CHttpCmd command(OperationContext::Begin(), "", 80);
  command.AddParam("k", "first");
  command.AddParam("k", "a&b=c +%20\xFF");
  command.AddParam("lang", "");
  EXPECT_EQ(command.BuildForm(), "k=a&b=c +%20\xFF&lang=&");
}

TEST(CommandForm, IntegersAreSignedDecimal) {
  struct Case {
    int value;
    const char* text;
  } cases[] = {
      {0, "0"}, {-5, "-5"}, {12, "12"}, {2147483647, "2147483647"}, {-2147483647 - 1, "-2147483648"}};
  for (const Case& c : cases) {
    CHttpCmd command(OperationContext::Begin(), "", 80);
    command.AddParam("n", c.value);
    EXPECT_EQ(command.BuildForm(), std::string("n=") + c.text + "&");
  }
}

TEST(CommandConstruction, TakesTheCurrentServerWithoutAnyIo) {
  {
    ProbedCmd command("/s", 80);
    EXPECT_EQ(command.Host(), "");
    EXPECT_EQ(command.ScriptPath(), "/s");
    EXPECT_EQ(command.ConnectTimeout(), 500);
  }
  CLoginServers::Instance().Parse("127.0.0.5:8080;127.0.0.6", true);
  ProbedCmd command("", 80);
  EXPECT_EQ(command.Server(), "127.0.0.5:8080");
  EXPECT_TRUE(command.Reply().empty());
  EXPECT_TRUE(command.GetSections().empty());
}

}  // namespace
