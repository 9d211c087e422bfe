// Arbitrary bytes into the property-list reader (XML and binary): it must answer with a value or an
// Error, never crash, hang, recurse without bound, expand without bound or leak; what it reads must
// write back in both formats or fail cleanly.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/codecs/property_list.h"

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  ErrorPtr error;
  PropertyListFormat format = PropertyListFormat::Xml;
  Value root = propertyListWithData(bytes, &format, &error);
  if (root.isNil() == (error == nullptr)) __builtin_trap();  // exactly one of value and error
  if (root.isNil()) return 0;
  for (PropertyListFormat out : {PropertyListFormat::Xml, PropertyListFormat::Binary}) {
    ErrorPtr writeError;
    auto written = dataWithPropertyList(root, out, &writeError);
    if (!written && !writeError) __builtin_trap();
    if (written) (void)propertyListWithData(*written);
  }
  return 0;
}
