// Profile text as the service writes it: envelope first, and no name or
// value that could break the line structure.
#include <gtest/gtest.h>

#include <string>

#include "hostlib/quillon.h"
#include "tools/devserver/ProfileText.h"

namespace {

TEST(ProfileTextTest, EnvelopeFirstThenSections) {
  devserver::ProfileText text(7, "no such lease");
  text.AddItem("extra", 42);
  text.BeginSection("config");
  text.AddItem("m1", "k1");
  EXPECT_EQ(text.text(), "result=7\nerrdesc=no such lease\nextra=42\n[config]\nm1=k1\n");
  EXPECT_EQ(text.result(), 7);
}

TEST(ProfileTextTest, HostileTextCannotBreakTheLineStructure) {
  // A value or name holding a line break would otherwise inject items or
  // sections, or make the client reject the whole reply.
  devserver::ProfileText text(0, "line one\nresult=5\r\n[x]");
  text.BeginSection("Eu\nrope");
  text.AddItem("k=ey\n", std::string("v\0w\nz=1", 7));
  text.AddItem("[fake]", "1");
  text.AddItem(";comment", "2");
  text.AddItem("", "3");

  CProfileFile profile;
  ASSERT_TRUE(profile.Load(text.text())) << text.text();
  const auto& sections = profile.GetSections();
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[0].GetItem("result"), "0");
  EXPECT_EQ(sections[0].GetItem("errdesc"), "line one result=5  [x]");
  EXPECT_EQ(sections[0].GetItems().size(), 2u);
  EXPECT_EQ(sections[1].GetSetionName(), "Eu rope");
  ASSERT_EQ(sections[1].GetItems().size(), 4u);
  EXPECT_EQ(sections[1].GetItems()[0].key, "k_ey_");
  EXPECT_EQ(sections[1].GetItems()[0].value, "v w z=1");
  EXPECT_EQ(sections[1].GetItems()[1].key, "_[fake]");
  EXPECT_EQ(sections[1].GetItems()[2].key, "_;comment");
  EXPECT_EQ(sections[1].GetItems()[3].key, "_");
}

}  // namespace
