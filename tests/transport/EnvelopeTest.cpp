// The parse step and the envelope items "result" and "errdesc".
#include <gtest/gtest.h>

#include <string>

#include "facade/ProxyHelper.h"
#include "hostlib/quillon.h"
#include "support/CommandProbe.h"
#include "support/ServiceSide.h"

using testsupport::Flatten;
using testsupport::ProbedCmd;
using testsupport::UnkeyedReply;

TEST(EnvelopeTest, ResultVerdictTable) {
  struct Row {
    const char* profile;
    bool succeeded;
    int result;
  } const rows[] = {
      {"result=0\n", true, 0},
      {"result=0\r\nerrdesc=\n", true, 0},
      {"result=00\n", false, 0},
      {"result=+0\n", false, 0},
      {"result= 0\n", false, 0},
      {"result=0 \n", false, 0},
      {"result=1\nerrdesc=bad\n", false, 1},
      {"result=-3\n", false, -3},
      {"result=1045\n", false, 1045},
      {"result=\n", false, 0},
      {"errdesc=no verdict\n", false, -1},
      {"other=0\n[section]\nresult=0\n", false, -1},
      {"[section]\nresult=0\n", false, -1},  // no items before the first header
      {"; comment only before\n[a]\nresult=0\n", false, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    // Over the unkeyed framing and as plain text (which the decoder passes on).
    for (const std::string& raw : {UnkeyedReply(row.profile), std::string(row.profile)}) {
      ProbedCmd cmd("", 80);
      ASSERT_EQ(cmd.Parse(raw), 0);
      EXPECT_EQ(cmd.IsSucceeded(), row.succeeded);
      EXPECT_EQ(cmd.GetResult(), row.result);
    }
  }
}

TEST(EnvelopeTest, ErrorDescription) {
  struct Row {
    const char* profile;
    const char* description;
  } const rows[] = {
      {"result=7\nerrdesc=Account expired\n", "Account expired"},
      {"result=7\nerrdesc=a=b&c\n", "a=b&c"},      // value kept byte for byte
      {"result=7\n", ""},                          // absent item
      {"[only]\nerrdesc=not the envelope\n", ""},  // no unnamed section
  };
  for (const Row& row : rows) {
    ProbedCmd cmd("", 80);
    ASSERT_EQ(cmd.Parse(UnkeyedReply(row.profile)), 0) << row.profile;
    std::string description = "left over from before";
    cmd.GetErrorDesc(description);
    EXPECT_EQ(description, row.description) << row.profile;
  }
}

TEST(EnvelopeTest, NothingParsedYet) {
  ProbedCmd cmd("", 80);
  EXPECT_FALSE(cmd.IsSucceeded());
  EXPECT_EQ(cmd.GetResult(), -1);
  EXPECT_TRUE(cmd.GetSections().empty());
  std::string description = "stale";
  cmd.GetErrorDesc(description);
  EXPECT_EQ(description, "");
}

TEST(EnvelopeTest, SectionsInTextOrder) {
  ProbedCmd cmd("", 80);
  ASSERT_EQ(cmd.Parse(UnkeyedReply("result=0\nuser=bob\n[config]\nm1=k1\n[servers]\n1=a,b\n2=c,d\n")), 0);
  EXPECT_TRUE(cmd.IsSucceeded());
  EXPECT_EQ(Flatten(cmd.GetSections()), "[]result=0;user=bob;\n[config]m1=k1;\n[servers]1=a,b;2=c,d;\n");
}

TEST(EnvelopeTest, BytesAfterZeroByteAreIgnored) {
  const std::string tail = std::string("\0", 1) + "\n[extra]\nresult=9\n\xff\xfe";
  for (const std::string& raw : {UnkeyedReply("result=0\n") + tail, std::string("result=0\n") + tail}) {
    ProbedCmd cmd("", 80);
    ASSERT_EQ(cmd.Parse(raw), 0);
    EXPECT_TRUE(cmd.IsSucceeded());
    EXPECT_EQ(Flatten(cmd.GetSections()), "[]result=0;\n");
    EXPECT_EQ(cmd.Reply(), raw);  // the raw reply itself is kept whole
  }
  // A zero byte right at the start leaves nothing to parse.
  ProbedCmd cmd("", 80);
  EXPECT_EQ(cmd.Parse(std::string("\0result=0\n", 10)), RESULT_TRANSPORT_FAILURE);
}

TEST(EnvelopeTest, UnparsableRepliesAreTransportFailures) {
  const std::string replies[] = {
      "",
      "<html><body>502 Bad Gateway</body></html>",
      UnkeyedReply("<html><body>Not Found</body></html>\n"),
      "Z=",
  };
  for (const std::string& raw : replies) {
    ProbedCmd cmd("", 80);
    EXPECT_EQ(cmd.Parse(raw), RESULT_TRANSPORT_FAILURE) << raw;
    EXPECT_FALSE(cmd.IsSucceeded());
    EXPECT_EQ(cmd.GetResult(), -1);
  }
}

TEST(EnvelopeTest, KeyedReplyWithZeroFillParses) {
  GlobalCache::Instance().SetConfigItem("GC_CIPER_B", "service key B");
  const std::string profile = "result=0\n[servers]\n1=x\n";  // not a whole block
  ProbedCmd cmd("", 80);
  ASSERT_EQ(cmd.Parse(testsupport::KeyedReply('B', "service key B", profile)), 0);
  EXPECT_TRUE(cmd.IsSucceeded());
  EXPECT_EQ(Flatten(cmd.GetSections()), "[]result=0;\n[servers]1=x;\n");
}

TEST(FindSectionTest, FirstOfTheNameOrEnd) {
  CHttpCmd::SectionList sections;
  sections.emplace_back("");
  sections.back().AddItem("result", "0");
  sections.emplace_back("config");
  sections.emplace_back("");
  sections.back().AddItem("result", "5");
  sections.emplace_back("config");

  const auto unnamed = FindSection(sections, "");
  ASSERT_EQ(unnamed, sections.begin());
  EXPECT_EQ(unnamed->GetItem("result"), "0");
  EXPECT_EQ(FindSection(sections, "config"), sections.begin() + 1);
  EXPECT_EQ(FindSection(sections, "Config"), sections.end());  // case matters
  EXPECT_EQ(FindSection(sections, "conf"), sections.end());
  EXPECT_EQ(FindSection(CHttpCmd::SectionList(), ""), CHttpCmd::SectionList().end());
}

TEST(FindSectionTest, OnlyFirstUnnamedSectionCounts) {
  // Whether the parser ever yields a second unnamed section ("[]" header) is
  // its own business; when it does, the envelope is the first one.
  ProbedCmd cmd("", 80);
  ASSERT_EQ(cmd.Parse("result=3\nerrdesc=first\n[]\nresult=0\nerrdesc=second\n"), 0);
  const auto& sections = cmd.GetSections();
  ASSERT_EQ(sections.size(), 2u);
  ASSERT_TRUE(sections[0] == "" && sections[1] == "");
  EXPECT_EQ(cmd.GetResult(), 3);
  EXPECT_FALSE(cmd.IsSucceeded());
  std::string description;
  cmd.GetErrorDesc(description);
  EXPECT_EQ(description, "first");
}
