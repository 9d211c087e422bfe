#include "reactive/RFDescription.h"

#include <cstdlib>

#include "platform/runtime/format.h"
#include "reactive/RFTuple.h"

bool rf_debugNamesEnabled() { return std::getenv("RF_DEBUG_SIGNAL_NAMES") != nullptr; }

namespace {
const char kSkipped[] = "(description skipped)";

const char* kindName(platform::Value::Type type) {
  using T = platform::Value::Type;
  switch (type) {
    case T::Null:
      return "NSNull";
    case T::Data:
      return "NSData";
    case T::Date:
      return "NSDate";
    case T::Array:
      return "NSArray";
    case T::Dictionary:
      return "NSDictionary";
    case T::Set:
      return "NSSet";
    default:
      return "NSObject";
  }
}
}  // namespace

std::string rf_description(const platform::Object& object) {
  if (auto* tuple = dynamic_cast<const RFTuple*>(&object)) {
    if (!rf_debugNamesEnabled()) return kSkipped;
    return platform::Value(tuple->allObjects()).description();
  }
  if (!rf_debugNamesEnabled()) return kSkipped;
  return platform::format("<%s: %p>", object.objectClass().name(), static_cast<const void*>(&object));
}

std::string rf_description(const platform::Value& value) {
  if (value.isNil()) return "(null)";
  if (value.isString() || value.isNumber()) return value.description();
  if (value.isObject()) return rf_description(*value.asObject());
  if (!rf_debugNamesEnabled()) return kSkipped;
  return platform::format("<%s: %p>", kindName(value.type()), static_cast<const void*>(&value));
}
