// Arbitrary bytes into the JSON reader, with and without fragments: it must answer with a value or
// an Error, never crash, hang, recurse without bound or leak; what it reads must write back.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codecs/json.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (unsigned options : {0u, kJsonReadingFragmentsAllowed}) {
    ErrorPtr error;
    Value root = jsonObjectWithData(text, options, &error);
    if (root.isNil() == (error == nullptr)) __builtin_trap();  // exactly one of value and error
    if (root.isNil()) continue;
    // Numbers past the double range read as infinities, which JSON cannot write: that may fail,
    // but must fail cleanly.
    ErrorPtr writeError;
    auto written = jsonStringWithObject(root, kJsonWritingFragmentsAllowed | kJsonWritingSortedKeys, &writeError);
    if (!written && !writeError) __builtin_trap();
  }
  return 0;
}
