#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/quillon.h"

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

struct ExpectedSection {
  std::string name;
  Items items;
};

std::vector<ExpectedSection> Flatten(const CProfileFile& profile) {
  std::vector<ExpectedSection> out;
  for (const ProfileSection& section : profile.GetSections()) {
    ExpectedSection flat{section.GetSetionName(), {}};
    for (const ProfileItem& item : section) flat.items.emplace_back(item.key, item.value);
    out.push_back(flat);
  }
  return out;
}

void ExpectSections(const CProfileFile& profile, const std::vector<ExpectedSection>& expected) {
  const std::vector<ExpectedSection> actual = Flatten(profile);
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].name, expected[i].name) << "section " << i;
    EXPECT_EQ(actual[i].items, expected[i].items) << "section " << i;
  }
}

struct ParseCase {
  const char* label;
  std::string text;
  std::vector<ExpectedSection> expected;
};

TEST(ProfileFileTest, ParsesAcceptedTexts) {
  const std::vector<ParseCase> cases = {
      {"unnamed then named, LF",
       "result=0\nerrdesc=\n[config]\nm1=abc\n",
       {{"", {{"result", "0"}, {"errdesc", ""}}}, {"config", {{"m1", "abc"}}}}},
      {"CRLF line ends", "result=0\r\n[s]\r\nk=v\r\n", {{"", {{"result", "0"}}}, {"s", {{"k", "v"}}}}},
      {"last line without line end", "a=1\nb=2", {{"", {{"a", "1"}, {"b", "2"}}}}},
      {"lone CR inside a value stays", "a=x\ry\nb=z\r", {{"", {{"a", "x\ry"}, {"b", "z\r"}}}}},
      {"no unnamed section without leading items", "[only]\nk=v\n", {{"only", {{"k", "v"}}}}},
      {"comments and blank lines",
       "; note\n# other\n\n   \n\t\r\nk=v\n[s]\n;x\n",
       {{"", {{"k", "v"}}}, {"s", {}}}},
      {"equals sign in value", "url=a=b&c=d\n", {{"", {{"url", "a=b&c=d"}}}}},
      {"empty value and empty key", "k=\n=v\n", {{"", {{"k", ""}, {"", "v"}}}}},
      {"keys and values not trimmed", " k = v \n", {{"", {{" k ", " v "}}}}},
      {"repeated keys kept in order", "k=1\nk=2\n", {{"", {{"k", "1"}, {"k", "2"}}}}},
      {"repeated sections kept apart in order",
       "[a]\nx=1\n[b]\ny=2\n[a]\nz=3\n",
       {{"a", {{"x", "1"}}}, {"b", {{"y", "2"}}}, {"a", {{"z", "3"}}}}},
      {"header name up to the last bracket", "[a]b]\n[]\n[c] tail\n", {{"a]b", {}}, {"", {}}, {"c", {}}}},
      {"only comments", "; nothing\n", {}},
      {"high bytes kept", "name=\xe4\xb8\xad\xff\n", {{"", {{"name", "\xe4\xb8\xad\xff"}}}}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.label);
    CProfileFile profile;
    ASSERT_TRUE(profile.Load(c.text));
    ExpectSections(profile, c.expected);
  }
}

TEST(ProfileFileTest, RejectsMalformedTexts) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"only zero fill", std::string(15, '\0')},
      {"sixteen trailing zeros", "result=0\n" + std::string(16, '\0')},
      {"zero byte in the middle", std::string("a=1\n\0b=2\n", 9)},
      {"zero byte inside a value", std::string("a=1\0x\n", 6)},
      {"HTML page", "<html><body>502 Bad Gateway</body></html>\n"},
      {"line without equals sign", "result=0\ngarbage\n"},
      {"header without closing bracket", "[config\nk=v\n"},
      {"bracket only on the next line", "[a\n]=1\n"},
      {"bracket of an earlier line not borrowed", "[x]\n[a\n"},
      {"indented header is not a header", "  [a]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    CProfileFile profile;
    EXPECT_FALSE(profile.Load(c.second));
    EXPECT_TRUE(profile.GetSections().empty());
  }
}

TEST(ProfileFileTest, AcceptsUpToFifteenTrailingZeroBytes) {
  for (int zeros = 0; zeros <= 16; ++zeros) {
    SCOPED_TRACE(zeros);
    CProfileFile profile;
    const bool loaded = profile.Load("result=0\nk=v" + std::string(zeros, '\0'));
    if (zeros <= 15) {
      ASSERT_TRUE(loaded);
      ExpectSections(profile, {{"", {{"result", "0"}, {"k", "v"}}}});
    } else {
      EXPECT_FALSE(loaded);
      EXPECT_TRUE(profile.GetSections().empty());
    }
  }
}

TEST(ProfileFileTest, SecondLoadReplacesAndFailedLoadLeavesNothing) {
  CProfileFile profile;
  ASSERT_TRUE(profile.Load("a=1\n[s]\nb=2\n"));
  ASSERT_TRUE(profile.Load("[t]\nc=3\n"));
  ExpectSections(profile, {{"t", {{"c", "3"}}}});
  EXPECT_FALSE(profile.Load("not a profile"));
  EXPECT_TRUE(profile.GetSections().empty());
}

// The bound counts sections and items together, the unnamed section too.
TEST(ProfileFileTest, EntryBoundIsCheckedBeforeBuilding) {
  const std::string text = "a=1\n[s]\nb=2\nc=3\n[t]\n";  // 2 + 3 + 1 entries
  CProfileFile profile;
  EXPECT_TRUE(profile.Load(text, 6));
  ExpectSections(profile, {{"", {{"a", "1"}}}, {"s", {{"b", "2"}, {"c", "3"}}}, {"t", {}}});
  EXPECT_EQ(profile.GetSections()[1].GetItems().capacity(), 2u);  // sized once
  EXPECT_FALSE(profile.Load(text, 5));
  EXPECT_TRUE(profile.GetSections().empty());
  EXPECT_TRUE(profile.Load("; only a comment\n\n", 0));

  ASSERT_TRUE(profile.Load(text));
  CProfileFile::SectionList taken = profile.TakeSections();
  EXPECT_TRUE(profile.GetSections().empty());
  ASSERT_EQ(taken.size(), 3u);
  ProfileSection::ItemList items = taken[1].TakeItems();
  EXPECT_EQ(items.size(), 2u);
  EXPECT_TRUE(taken[1].GetItems().empty());
}

TEST(ProfileFileTest, SectionLookupAndItems) {
  CProfileFile profile;
  ASSERT_TRUE(profile.Load("result=7\nk=first\nk=second\n[config]\nm1=x\n"));
  const CProfileFile::SectionList& sections = profile.GetSections();
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_TRUE(sections[0] == "");
  EXPECT_FALSE(sections[0] == "config");
  EXPECT_TRUE(sections[1] == "config");
  EXPECT_FALSE(sections[1] == "");
  EXPECT_EQ(sections[0].GetItem("k"), "first");
  EXPECT_TRUE(sections[0].IsItemExist("result"));
  EXPECT_FALSE(sections[0].IsItemExist("m1"));
  EXPECT_FALSE(sections[0].IsItemExist("K"));  // keys are case-sensitive
  EXPECT_EQ(sections[0].GetItem("absent"), "");
  EXPECT_EQ(sections[0].GetItemInt("result"), 7);
  EXPECT_EQ(sections[1].GetItem("m1"), "x");
}

TEST(ProfileFileTest, GetItemIntReadsLikeAtoiWithClamping) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"0", 0},
      {"00", 0},
      {"+0", 0},
      {"-0", 0},
      {"-5", -5},
      {"+12", 12},
      {"7z", 7},
      {" 12", 12},
      {"\t-3", -3},
      {"12 34", 12},
      {"z7", 0},
      {"", 0},
      {"-", 0},
      {"+-1", 0},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"99999999999999999999999999", INT_MAX},
      {"-99999999999999999999999999", INT_MIN},
      {"000000000000000000000042", 42},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("value \"" + c.first + "\"");
    ProfileSection section;
    section.AddItem("n", c.first);
    EXPECT_EQ(section.GetItemInt("n"), c.second);
  }
  ProfileSection empty;
  EXPECT_EQ(empty.GetItemInt("n"), 0);
}

TEST(ProfileFileTest, SectionBuiltByHand) {
  ProfileSection section("servers");
  section.AddItem("1", "a");
  section.AddItem("2", "b");
  EXPECT_EQ(section.GetSetionName(), "servers");
  ASSERT_EQ(section.GetItems().size(), 2u);
  EXPECT_EQ(section.GetItems()[1].key, "2");
  EXPECT_EQ(section.GetItems()[1].value, "b");
  EXPECT_EQ(std::distance(section.begin(), section.end()), 2);
}

}  // namespace
