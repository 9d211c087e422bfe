#pragma once

// Numbers to text and back in a locale's style, on top of ICU.
//
// Thread safety: every operation may be called from any number of threads at once (the ICU
// formatter is guarded by the object's mutex).

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/runtime/value.h"

namespace platform {

// The platform's number styles; the numbers are the platform's.
enum class NumberFormatterStyle {
  None = 0,        // whole numbers, no grouping: "1235"
  Decimal = 1,     // "1,234.568" (three fraction digits at most)
  Currency = 2,    // "$1,234.57"
  Percent = 3,     // "12%" for 0.12
  Scientific = 4,  // "1.234568E3"
  SpellOut = 5,    // "one thousand two hundred thirty-four"
  Ordinal = 6,     // "3rd"
  CurrencyISOCode = 8,
  CurrencyPlural = 9,
  CurrencyAccounting = 10,
};

class NumberFormatter {
 public:
  // An empty locale means the default one. An unknown style falls back to None.
  explicit NumberFormatter(NumberFormatterStyle style = NumberFormatterStyle::None,
                           std::string_view localeIdentifier = {});
  ~NumberFormatter();
  NumberFormatter(const NumberFormatter&) = delete;
  NumberFormatter& operator=(const NumberFormatter&) = delete;

  NumberFormatterStyle style() const { return style_; }
  std::string localeIdentifier() const { return locale_; }

  // The text of a number value (any number kind; integers keep all their digits); "" for a value
  // that is not a number or when ICU fails.
  std::string stringFromNumber(const Value& number) const;
  // The number the whole text names: an integer when it is whole and fits 64 bits, else a
  // double; nullopt when the text is not entirely a number in this style.
  std::optional<Value> numberFromString(std::string_view text) const;

 private:
  struct Impl;
  NumberFormatterStyle style_;
  std::string locale_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
