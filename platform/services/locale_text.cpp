#include "platform/services/locale_text.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include "platform/runtime/value.h"
#include "platform/services/number_formatter.h"

namespace platform {

std::string spellOutNumber(std::int64_t value, std::string_view localeIdentifier) {
  // The number formatter's spell-out style is the one place that spells numbers out.
  std::string text = NumberFormatter(NumberFormatterStyle::SpellOut, localeIdentifier).stringFromNumber(Value(value));
  return text.empty() ? std::to_string(value) : text;
}

std::string lowercaseString(std::string_view text) {
  icu::UnicodeString unicode =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  unicode.toLower(icu::Locale::getRoot());
  std::string out;
  unicode.toUTF8String(out);
  return out;
}

}  // namespace platform
