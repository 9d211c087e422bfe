#pragma once

// Assembles the URLs of the service's requests: a base, path components (the caller supplies the
// "/" separators) and query parameters. Escaping percent-encodes (upper-case hex, over UTF-8)
// every byte outside the characters a URL may hold as they are: letters, digits and
// "!#$&'()*+,-./:;=?@_~"; so "&", "=", "?" and "/" in a value stay as they are, as the
// platform's escaping of the time did. A value type; one thread at a time.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/runtime/value.h"

class HBRURLBuilder {
 public:
  // A builder whose text starts with the base, unescaped.
  static HBRURLBuilder URLWithBase(std::string base);

  void appendComponent(std::string_view component) { urlString_ += component; }
  void escapeAndAppendComponent(std::string_view component) { urlString_ += escape(component); }
  // Nothing for a nil value. Else "?" before the first parameter and "&" before later ones, the
  // name as given, "=", and the value escaped (a value that is not a string by its description).
  void appendValue(const platform::Value& value, std::string_view queryParam);

  const std::string& URLString() const { return urlString_; }
  std::uint64_t queryParams() const { return queryParams_; }
  const std::string& URL() const { return urlString_; }

  static std::string escape(std::string_view text);

 private:
  std::string urlString_;
  std::uint64_t queryParams_ = 0;
};
