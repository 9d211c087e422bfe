#include "platform/services/number_formatter.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <cmath>
#include <vector>

#include "platform/system/text.h"

namespace platform {

struct NumberFormatter::Impl {
  std::mutex mutex;
  UNumberFormat* format = nullptr;  // guarded by mutex
  ~Impl() {
    if (format) unum_close(format);
  }
};

namespace {

UNumberFormatStyle icuStyle(NumberFormatterStyle style) {
  switch (style) {
    case NumberFormatterStyle::Decimal:
      return UNUM_DECIMAL;
    case NumberFormatterStyle::Currency:
      return UNUM_CURRENCY;
    case NumberFormatterStyle::Percent:
      return UNUM_PERCENT;
    case NumberFormatterStyle::Scientific:
      return UNUM_SCIENTIFIC;
    case NumberFormatterStyle::SpellOut:
      return UNUM_SPELLOUT;
    case NumberFormatterStyle::Ordinal:
      return UNUM_ORDINAL;
    case NumberFormatterStyle::CurrencyISOCode:
      return UNUM_CURRENCY_ISO;
    case NumberFormatterStyle::CurrencyPlural:
      return UNUM_CURRENCY_PLURAL;
    case NumberFormatterStyle::CurrencyAccounting:
      return UNUM_CURRENCY_ACCOUNTING;
    default:
      return UNUM_DECIMAL;
  }
}

bool knownStyle(NumberFormatterStyle style) {
  int n = static_cast<int>(style);
  return (n >= 0 && n <= 6) || (n >= 8 && n <= 10);
}

}  // namespace

NumberFormatter::NumberFormatter(NumberFormatterStyle style, std::string_view localeIdentifier)
    : style_(knownStyle(style) ? style : NumberFormatterStyle::None),
      locale_(localeIdentifier),
      impl_(std::make_unique<Impl>()) {
  UErrorCode status = U_ZERO_ERROR;
  impl_->format =
      unum_open(icuStyle(style_), nullptr, 0, locale_.empty() ? nullptr : locale_.c_str(), nullptr, &status);
  if (U_FAILURE(status)) {
    if (impl_->format) unum_close(impl_->format);
    impl_->format = nullptr;
    return;
  }
  if (style_ == NumberFormatterStyle::None) {
    // The platform's plain style: whole numbers without grouping, rounded half-even.
    unum_setAttribute(impl_->format, UNUM_GROUPING_USED, 0);
    unum_setAttribute(impl_->format, UNUM_MAX_FRACTION_DIGITS, 0);
  }
  unum_setAttribute(impl_->format, UNUM_LENIENT_PARSE, 0);
}

NumberFormatter::~NumberFormatter() = default;

std::string NumberFormatter::stringFromNumber(const Value& number) const {
  if (!number.isNumber()) return {};
  std::lock_guard lock(impl_->mutex);
  if (!impl_->format) return {};
  std::vector<UChar> buffer(64);
  for (int round = 0; round < 2; ++round) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length;
    auto capacity = static_cast<int32_t>(buffer.size());
    if (number.isDouble())
      length = unum_formatDouble(impl_->format, number.asDouble(), buffer.data(), capacity, nullptr, &status);
    else if (number.type() == Value::Type::UInt && number.asUInt64() > static_cast<std::uint64_t>(INT64_MAX))
      length = unum_formatDouble(impl_->format, number.asDouble(), buffer.data(), capacity, nullptr, &status);
    else
      length = unum_formatInt64(impl_->format, number.asInt64(), buffer.data(), capacity, nullptr, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      buffer.resize(static_cast<std::size_t>(length) + 1);
      continue;
    }
    if (U_FAILURE(status)) return {};
    return fromUtf16(
        std::u16string_view(reinterpret_cast<const char16_t*>(buffer.data()), static_cast<std::size_t>(length)));
  }
  return {};
}

std::optional<Value> NumberFormatter::numberFromString(std::string_view text) const {
  std::u16string input = toUtf16(text);
  if (input.empty()) return std::nullopt;
  std::lock_guard lock(impl_->mutex);
  if (!impl_->format) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  int32_t position = 0;
  auto length = static_cast<int32_t>(input.size());
  double value =
      unum_parseDouble(impl_->format, reinterpret_cast<const UChar*>(input.data()), length, &position, &status);
  if (U_FAILURE(status) || position != length) return std::nullopt;
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9.2e18)
    return Value(static_cast<std::int64_t>(value));
  return Value(value);
}

}  // namespace platform
