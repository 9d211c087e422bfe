#pragma once

// Key-value coding: reading and writing declared properties by key and key path, validation by
// key, and the platform's exceptions for keys a class does not have. The member functions are
// declared on Object (object.h); this header adds what callers of them need.
//
//   person->setValueForKey(Value("Ada"), "name");
//   Value city = order->valueForKeyPath("customer.address.city");
//
// A per-key validator (reached through validateValueForKey) is declared in the class body:
//
//   bool validateName(platform::Value& value, platform::ErrorPtr* error);
//   ZORVEL_VALIDATOR(name, validateName)
//
// Thread safety: as the properties' accessors (generated ones are non-atomic).

#include <string_view>

#include "platform/error.h"
#include "platform/object.h"
#include "platform/properties.h"
#include "platform/value.h"

namespace platform {

// User info keys of NSUnknownKeyException.
inline constexpr std::string_view kTargetObjectUserInfoKey = "NSTargetObjectUserInfoKey";
inline constexpr std::string_view kUnknownUserInfoKey = "NSUnknownUserInfoKey";

// Key-value coding of a Value: an object's valueForKey, a dictionary's entry, each element's
// value for an array or set (nil results and null elements as the null marker); nil stays nil.
// Other kinds raise NSUnknownKeyException.
Value valueForKeyOfValue(const Value& value, std::string_view key);
Value valueForKeyPathOfValue(const Value& value, std::string_view keyPath);

namespace detail {
template <class C>
bool declareValidator(const char* key, bool (C::*validator)(Value&, ErrorPtr*)) {
  C::staticClass().setValidator(key, [validator](Object& self, Value& value, ErrorPtr* error) {
    return (static_cast<C&>(self).*validator)(value, error);
  });
  return true;
}
}  // namespace detail

}  // namespace platform

// Routes validateValueForKey(value, "key", error) to the member function
// `bool Validator(platform::Value& value, platform::ErrorPtr* error)`. Leaves the access public.
#define ZORVEL_VALIDATOR(key, Validator)                                                  \
 private:                                                                                \
  static bool zorvelDeclareValidator_##key() {                                           \
    return ::platform::detail::declareValidator<ZorvelSelf>(#key, &ZorvelSelf::Validator); \
  }                                                                                      \
  static inline const bool zorvelValidator_##key##_ = zorvelDeclareValidator_##key();    \
                                                                                         \
 public:
