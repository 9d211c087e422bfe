// Arbitrary response header lines into the URL loader's header parsing, as libcurl hands them over
// one line per call: it must never crash, and the fields it makes must be ones a well-formed
// response can carry (a token for a name, no line break or NUL in a value), one per name.
//
// Input: lines separated by "\n" (each handed over with "\r\n", as on the wire).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/net/url_internal.h"
#include "platform/net/url_request.h"

using namespace platform;
using namespace platform::detail;

// Stops the run, naming the broken expectation, when `condition` does not hold.
#define FUZZ_REQUIRE(condition)                                                          \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "broken expectation at line %d: %s\n", __LINE__, #condition); \
      __builtin_trap();                                                                  \
    }                                                                                    \
  } while (false)

namespace {

bool isToken(std::string_view name) {
  constexpr std::string_view kExtra = "!#$%&'*+-.^_`|~";
  return !name.empty() && std::all_of(name.begin(), name.end(), [&](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           kExtra.find(c) != std::string_view::npos;
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  HeaderBlock block;
  for (std::size_t start = 0; start <= input.size();) {
    std::size_t end = std::min(input.find('\n', start), input.size());
    std::string line(input.substr(start, end - start));
    line += "\r\n";
    addResponseHeaderLine(line, block);
    start = end + 1;
  }
  for (const auto& [name, value] : block) {
    FUZZ_REQUIRE(isToken(name));
    FUZZ_REQUIRE(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
    FUZZ_REQUIRE(value.empty() ||
                 (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' && value.back() != '\t'));
  }
  HTTPHeaderFields fields = responseHeaderFields(block);
  FUZZ_REQUIRE(fields.fields().size() <= block.size());
  for (const auto& [name, value] : fields.fields()) {
    int same = 0;
    for (const auto& [other, ignored] : fields.fields()) same += headerNamesEqual(name, other) ? 1 : 0;
    FUZZ_REQUIRE(same == 1);  // one field per name, whatever the case
    FUZZ_REQUIRE(fields.value(name) == value);
  }
  return 0;
}
