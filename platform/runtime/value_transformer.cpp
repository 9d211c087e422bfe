#include "platform/runtime/value_transformer.h"

#include <map>
#include <mutex>
#include <string>

#include "platform/runtime/error.h"

namespace platform {

Value ValueTransformer::reverseTransformedValue(const Value& value) const {
  if (!allowsReverseTransformation())
    Exception::raise(kInvalidArgumentException, objectClass().name() + " does not allow reverse transformation");
  return transformedValue(value);
}

namespace {

// true <-> false, both ways.
class NegateBooleanTransformer final : public ValueTransformer {
  ZORVEL_CLASS(NegateBooleanTransformer, ValueTransformer)
 public:
  bool allowsReverseTransformation() const override { return true; }
  Value transformedValue(const Value& value) const override { return Value(!value.asBool()); }
};

struct Registry {
  std::mutex mutex;
  std::map<std::string, ValueTransformerPtr, std::less<>> byName;
  Registry() { byName.emplace(std::string(kNegateBooleanTransformerName), make<NegateBooleanTransformer>()); }
};

Registry& registry() {
  static Registry* r = new Registry;  // outlives static destruction, like the classes
  return *r;
}

}  // namespace

void ValueTransformer::setValueTransformerForName(ValueTransformerPtr transformer, std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (transformer)
    r.byName[std::string(name)] = std::move(transformer);
  else if (auto it = r.byName.find(name); it != r.byName.end())
    r.byName.erase(it);
}

ValueTransformerPtr ValueTransformer::valueTransformerForName(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second;
}

}  // namespace platform
