#include <gtest/gtest.h>

#include <cstdint>

#include "platform/services/locale_text.h"

namespace {

TEST(LocaleText, NumbersAreSpelledOutInTheLocale) {
  struct Case {
    std::int64_t value;
    const char* locale;
    const char* expected;
  };
  const Case cases[] = {
      {0, "en_US", "zero"}, {3, "en_US", "three"},  {21, "en_US", "twenty-one"}, {-5, "en_US", "minus five"},
      {3, "de_DE", "drei"}, {100, "fr_FR", "cent"}, {3, "xx_NOWHERE", "three"},  // unknown locales fall back to the
                                                                                 // root rules
  };
  for (const Case& c : cases) EXPECT_EQ(platform::spellOutNumber(c.value, c.locale), c.expected) << c.value;
  EXPECT_FALSE(platform::spellOutNumber(INT64_MIN, "en_US").empty());
}

TEST(LocaleText, LowerCaseFollowsUnicode) {
  EXPECT_EQ(platform::lowercaseString("JAN"), "jan");
  EXPECT_EQ(platform::lowercaseString("ÄPR ΣΟΦΙΑ"), "äpr σοφια");
  EXPECT_EQ(platform::lowercaseString(""), "");
}

}  // namespace
