// How the header lines of a response become its header fields: status lines start a new block,
// fields are trimmed and merged by name, and lines no well-formed response could send are left
// out rather than handed to callers.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/net/url_internal.h"

namespace platform::detail {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields parse(const std::vector<std::string>& lines) {
  HeaderBlock block;
  for (const std::string& line : lines) addResponseHeaderLine(line, block);
  return responseHeaderFields(block).fields();
}

TEST(ResponseHeaders, LinesBecomeFieldsAndMalformedOnesAreLeftOut) {
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    Fields expected;
  } cases[] = {
      {"a plain field",
       {"HTTP/1.1 200 OK\r\n", "Content-Type: text/plain\r\n", "\r\n"},
       {{"Content-Type", "text/plain"}}},
      {"both ends trimmed", {"X-A:   spaced value \t\r\n"}, {{"X-A", "spaced value"}}},
      {"a colon in the value",
       {"Location: https://example.test:8443/a\r\n"},
       {{"Location", "https://example.test:8443/a"}}},
      {"an empty value", {"X-Empty:\r\n"}, {{"X-Empty", ""}}},
      {"repeated names merge whatever their case",
       {"Set-Cookie: a=1\r\n", "set-cookie: b=2\r\n"},
       {{"Set-Cookie", "a=1, b=2"}}},
      {"a later status line starts over",
       {"HTTP/1.1 100 Continue\r\n", "X-Old: 1\r\n", "HTTP/1.1 200 OK\r\n", "X-New: 2\r\n"},
       {{"X-New", "2"}}},
      {"no colon", {"garbage line\r\n"}, {}},
      {"an empty name", {": value\r\n"}, {}},
      {"a name of blanks", {"   : value\r\n"}, {}},
      {"a space inside the name", {"Bad Name: value\r\n"}, {}},
      {"a control character in the name", {std::string("X\x01Y: value\r\n")}, {}},
      {"a NUL inside the value", {std::string("X-Nul: a\0b\r\n", 13)}, {}},
      {"a bare line break inside the value", {"X-Split: a\rb\r\n"}, {}},
      {"a good field beside a bad one", {"X-Good: yes\r\n", "X Bad: no\r\n"}, {{"X-Good", "yes"}}},
  };
  for (const Case& c : cases) EXPECT_EQ(parse(c.lines), c.expected) << c.what;
}

}  // namespace
}  // namespace platform::detail
