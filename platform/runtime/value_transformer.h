#pragma once

// Value transformers: convert a value from one form to another (and, when they allow it, back),
// and a process-wide registry of shared transformers by name. Bindings (bindings.h) and the model
// framework's transformers stand on this base. Predefined here: kNegateBooleanTransformerName,
// which turns a boolean (a number; nil counts as false) into its negation, both ways.
//
// Threads: transformers do not change after they are made and may be used from any thread; the
// registry is guarded by its own lock.

#include <memory>
#include <string_view>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

inline constexpr std::string_view kNegateBooleanTransformerName = "NSNegateBoolean";

class ValueTransformer;
using ValueTransformerPtr = std::shared_ptr<ValueTransformer>;

class ValueTransformer : public Object {
  ZORVEL_CLASS(ValueTransformer, Object)

 public:
  // Whether reverseTransformedValue undoes transformedValue. Default: false.
  virtual bool allowsReverseTransformation() const { return false; }
  // The class of the values transformedValue gives. Default: the root class (any object).
  virtual const Class& transformedValueClass() const { return Object::staticClass(); }
  // Default: the value unchanged.
  virtual Value transformedValue(const Value& value) const { return value; }
  // Default: raises kInvalidArgumentException unless the transformer allows reverse
  // transformation, in which case it runs transformedValue.
  virtual Value reverseTransformedValue(const Value& value) const;

  // The registry: a null transformer removes the name.
  static void setValueTransformerForName(ValueTransformerPtr transformer, std::string_view name);
  static ValueTransformerPtr valueTransformerForName(std::string_view name);

 protected:
  ValueTransformer() = default;
};

}  // namespace platform
