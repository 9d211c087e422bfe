// Arbitrary bytes into the keyed unarchiver: it must answer with a value or an Error, never
// crash, hang, recurse without bound or leak.

#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_classes.h"

using namespace platform;
using zorvel::fuzz::FuzzLeaf;
using zorvel::fuzz::FuzzNode;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> bytes(data, size);
  {
    ErrorPtr error;
    Value root = KeyedUnarchiver::unarchivedObject(bytes, &error);
    if (error && !root.isNil()) __builtin_trap();  // a failure never hands back a value
    (void)root.count();
  }
  FuzzNode::breakCycles();
  {
    AllowedClasses allowed({&FuzzNode::staticClass()}, {Value::Type::Array, Value::Type::String});
    ErrorPtr error;
    Value root = KeyedUnarchiver::unarchivedObjectOfClasses(allowed, bytes, &error);
    if (error && !root.isNil()) __builtin_trap();
  }
  FuzzNode::breakCycles();
  {
    // Typed reads at the top level, as a caller with its own keys would make them.
    KeyedUnarchiver unarchiver(bytes);
    (void)unarchiver.decodeInt64("$top");
    (void)unarchiver.decodeString("$top");
    (void)unarchiver.decodeData("name");
    (void)unarchiver.decodeObjectOfClass(FuzzLeaf::staticClass(), "$top");
  }
  FuzzNode::breakCycles();
  return 0;
}
