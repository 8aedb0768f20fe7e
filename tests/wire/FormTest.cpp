// Form text, built and parsed.
#include <gtest/gtest.h>

#include <string>

#include "wire/Form.h"

namespace {

struct FormCase {
  const char* text;
  bool trailingAmpRequired;
  bool ok;
  wire::FormFields fields;
};

TEST(FormTest, FormTextRules) {
  const FormCase cases[] = {
      {"", true, true, {}},
      {"a=1&", true, true, {{"a", "1"}}},
      {"a=1", true, false, {}},
      {"a=1", false, true, {{"a", "1"}}},
      {"a=&b=2&", true, true, {{"a", ""}, {"b", "2"}}},
      {"a=x=y&", true, true, {{"a", "x=y"}}},
      {"a=1&a=2&", true, true, {{"a", "2"}}},
      {"a=1&&b=2&", true, false, {}},
      {"&", true, false, {}},
      {"a&", true, false, {}},
      {"=1&", true, false, {}},
      {"a b=1&", true, false, {}},
      {"k.e_y-9=v&", true, true, {{"k.e_y-9", "v"}}},
      {"a=\x7f&", true, false, {}},
  };
  for (const FormCase& c : cases) {
    SCOPED_TRACE(c.text);
    wire::FormFields fields;
    EXPECT_EQ(wire::ParseFormText(c.text, c.trailingAmpRequired, &fields), c.ok);
    if (c.ok) {
      EXPECT_EQ(fields, c.fields);
    }
  }
}

TEST(FormTest, BuildsInKeyOrderByteForByte) {
  const struct {
    wire::FormFields fields;
    const char* text;
  } cases[] = {
      {{}, ""},
      {{{"b", "2"}, {"a", "1"}}, "a=1&b=2&"},
      {{{"k", ""}}, "k=&"},
      {{{"memo", "a b=c%"}}, "memo=a b=c%&"},  // nothing escaped
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(wire::BuildFormText(c.fields), c.text);
    wire::FormFields parsed;
    ASSERT_TRUE(wire::ParseFormText(c.text, true, &parsed));
    EXPECT_EQ(parsed, c.fields);
  }
}

}  // namespace
