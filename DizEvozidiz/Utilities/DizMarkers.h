#pragma once

// Process-wide marker objects that caches and change records hold in place of a value:
// DizNull for a removed value or one known to be nil, DizTouch for a touched row whose value did
// not change (a cache that meets it keeps its current value). The store compares them by identity.
// Made before first use and only read afterwards: any thread.

#include <memory>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class DizNull final : public platform::Object {
  ZORVEL_PLAIN_OBJECT

 public:
  static const std::shared_ptr<DizNull>& null();
  // The marker as a Value, for dictionaries and sets of values.
  static const platform::Value& value();
  // True when the value holds the marker.
  static bool isNull(const platform::Value& value);

  static const platform::Class& staticClass();
  const platform::Class& objectClass() const override;

 private:
  DizNull() = default;  // only the class makes its one instance
};

class DizTouch final : public platform::Object {
  ZORVEL_PLAIN_OBJECT

 public:
  static const std::shared_ptr<DizTouch>& touch();
  static const platform::Value& value();
  static bool isTouch(const platform::Value& value);

  static const platform::Class& staticClass();
  const platform::Class& objectClass() const override;

  // Other instances may exist but mean nothing to the store.
  DizTouch() = default;
};
