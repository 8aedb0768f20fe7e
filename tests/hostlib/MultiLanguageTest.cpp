#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "hostlib/quillon.h"

namespace {

struct LocaleCase {
  const char* lcAll;  // null: unset
  const char* lang;
  const char* tag;
};

void SetOrUnset(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

TEST(MultiLanguageTest, TagDerivedFromTheEnvironment) {
  const std::vector<LocaleCase> cases = {
      {nullptr, "en_US.UTF-8", "en-US"},
      {nullptr, "de_DE", "de-DE"},
      {nullptr, "fr", "fr"},
      {nullptr, "sr_RS@latin", "sr-RS"},
      {nullptr, "de_DE.ISO-8859-15@euro", "de-DE"},
      {nullptr, "zh_Hant_TW.UTF-8", "zh-Hant-TW"},
      {"ja_JP.eucJP", "en_GB.UTF-8", "ja-JP"},  // LC_ALL first
      {"", "pt_BR.UTF-8", "pt-BR"},             // empty LC_ALL is skipped
      {"C", "de_DE.UTF-8", "en"},               // LC_ALL wins even as "C"
      {nullptr, "C", "en"},
      {nullptr, "C.UTF-8", "en"},
      {nullptr, "POSIX", "en"},
      {nullptr, "", "en"},
      {nullptr, nullptr, "en"},
      {nullptr, ".UTF-8", "en"},
      {nullptr, "en US", "en"},  // bytes a tag cannot hold
      {nullptr, "x/../y", "en"},
  };
  for (const LocaleCase& c : cases) {
    SCOPED_TRACE(std::string(c.lcAll ? c.lcAll : "(unset)") + " / " + (c.lang ? c.lang : "(unset)"));
    SetOrUnset("LC_ALL", c.lcAll);
    SetOrUnset("LANG", c.lang);
    EXPECT_EQ(CMultiLanguage::Instance().GetCurrConfigLanguageTag(), c.tag);
  }
}

TEST(MultiLanguageTest, SetTagOverridesUntilCleared) {
  setenv("LANG", "it_IT.UTF-8", 1);
  unsetenv("LC_ALL");
  CMultiLanguage& language = CMultiLanguage::Instance();
  EXPECT_EQ(&language, &CMultiLanguage::Instance());
  EXPECT_EQ(language.GetCurrConfigLanguageTag(), "it-IT");
  language.SetCurrConfigLanguageTag("zh-CN");
  EXPECT_EQ(language.GetCurrConfigLanguageTag(), "zh-CN");
  setenv("LANG", "es_ES.UTF-8", 1);
  EXPECT_EQ(language.GetCurrConfigLanguageTag(), "zh-CN");  // a set tag is not derived
  language.SetCurrConfigLanguageTag("");
  EXPECT_EQ(language.GetCurrConfigLanguageTag(), "es-ES");
}

}  // namespace
