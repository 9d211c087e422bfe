#include "sdkhost/HBRURLBuilder.h"

#include <cstring>

HBRURLBuilder HBRURLBuilder::URLWithBase(std::string base) {
  HBRURLBuilder builder;
  builder.urlString_ = std::move(base);
  return builder;
}

std::string HBRURLBuilder::escape(std::string_view text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  static constexpr const char* kKept = "!#$&'()*+,-./:;=?@_~";
  std::string escaped;
  for (unsigned char c : text) {
    bool kept =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || (c && std::strchr(kKept, c));
    if (kept) {
      escaped += static_cast<char>(c);
    } else {
      escaped += '%';
      escaped += kDigits[c >> 4];
      escaped += kDigits[c & 0x0f];
    }
  }
  return escaped;
}

void HBRURLBuilder::appendValue(const platform::Value& value, std::string_view queryParam) {
  if (value.isNil()) return;
  urlString_ += queryParams_ == 0 ? "?" : "&";
  urlString_ += queryParam;
  urlString_ += "=";
  urlString_ += escape(value.isString() ? value.asString() : value.description());
  ++queryParams_;
}
