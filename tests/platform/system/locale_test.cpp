#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/system/locale.h"
#include "support/scoped_environment.h"

using zorvel::test::ScopedEnvironment;

namespace {

TEST(PreferredLanguages, ComeFromLanguageOrTheLocaleInForce) {
  struct Case {
    const char* language;  // LANGUAGE; nullptr: unset
    const char* all;       // LC_ALL
    const char* messages;  // LC_MESSAGES
    const char* lang;      // LANG
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, nullptr, {}},
      {nullptr, nullptr, nullptr, "pt_BR.UTF-8", {"pt-BR"}},
      {nullptr, nullptr, "de_AT@euro", "pt_BR.UTF-8", {"de-AT"}},  // LC_MESSAGES before LANG
      {nullptr, "fil_PH.UTF-8", "de_AT", "pt_BR", {"fil-PH"}},     // LC_ALL before both
      {nullptr, "", "", "sv_SE", {"sv-SE"}},                       // empty counts as unset
      {"fil:en_US:en_US.UTF-8:fr", nullptr, nullptr, "de_DE.UTF-8", {"fil", "en-US", "fr"}},
      {"::C:", nullptr, nullptr, "de_DE.UTF-8", {"de-DE"}},  // nothing usable in LANGUAGE
      {"", nullptr, nullptr, "it_IT", {"it-IT"}},
      {"fr:de", "C", nullptr, "it_IT", {}},  // the C locale states no language
      {"fr:de", "C.UTF-8", nullptr, nullptr, {}},
      {"fr", "POSIX", nullptr, nullptr, {}},
      {nullptr, nullptr, nullptr, "zh-Hans-CN", {"zh-Hans-CN"}},  // already a tag
  };
  for (const Case& c : cases) {
    ScopedEnvironment language("LANGUAGE", c.language);
    ScopedEnvironment all("LC_ALL", c.all);
    ScopedEnvironment messages("LC_MESSAGES", c.messages);
    ScopedEnvironment lang("LANG", c.lang);
    EXPECT_EQ(platform::preferredLanguages(), c.expected)
        << (c.language ? c.language : "-") << " " << (c.all ? c.all : "-") << " " << (c.lang ? c.lang : "-");
  }
}

TEST(PreferredLanguages, LocaleNamesBecomeTags) {
  struct Case {
    const char* name;
    const char* tag;
  };
  const Case cases[] = {{"en", "en"},
                        {"en_US", "en-US"},
                        {"en_US.UTF-8", "en-US"},
                        {"sr_RS@latin", "sr-RS"},
                        {"ca_ES.UTF-8@valencia", "ca-ES"},
                        {"pt-BR", "pt-BR"},
                        {"C", ""},
                        {"POSIX", ""},
                        {"C.UTF-8", ""},
                        {"", ""},
                        {".UTF-8", ""}};
  for (const Case& c : cases) EXPECT_EQ(platform::languageTagForLocaleName(c.name), c.tag) << c.name;
}

}  // namespace
