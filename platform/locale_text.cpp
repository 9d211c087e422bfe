#include "platform/locale_text.h"

#include <unicode/locid.h>
#include <unicode/rbnf.h>
#include <unicode/unistr.h>

#include <memory>

namespace platform {

std::string spellOutNumber(std::int64_t value, std::string_view localeIdentifier) {
  icu::Locale locale =
      localeIdentifier.empty() ? icu::Locale::getDefault() : icu::Locale(std::string(localeIdentifier).c_str());
  UErrorCode status = U_ZERO_ERROR;
  auto formatter = std::make_unique<icu::RuleBasedNumberFormat>(icu::URBNF_SPELLOUT, locale, status);
  if (U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    formatter = std::make_unique<icu::RuleBasedNumberFormat>(icu::URBNF_SPELLOUT, icu::Locale::getRoot(), status);
    if (U_FAILURE(status)) return std::to_string(value);
  }
  icu::UnicodeString text;
  formatter->format(static_cast<int64_t>(value), text);
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string lowercaseString(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

}  // namespace platform
