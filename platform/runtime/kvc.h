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

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace platform {

// User info keys of NSUnknownKeyException.
inline constexpr std::string_view kTargetObjectUserInfoKey = "NSTargetObjectUserInfoKey";
inline constexpr std::string_view kUnknownUserInfoKey = "NSUnknownUserInfoKey";

// Key-value coding of a Value: an object's valueForKey, a dictionary's entry, each element's
// value for an array or set (nil results and null elements as the null marker); nil stays nil.
// Other kinds raise NSUnknownKeyException.
Value valueForKeyOfValue(const Value& value, std::string_view key);
Value valueForKeyPathOfValue(const Value& value, std::string_view keyPath);

// The array of a to-many key, changed in place (Object::mutableArrayValueForKey). Each change
// goes to the object, found in this order:
//   1. its methods by name for the key ("items": "insertObject:inItemsAtIndex:" and
//      "removeObjectFromItemsAtIndex:", or "insertItems:atIndexes:" and "removeItemsAtIndexes:",
//      index sets as arrays of numbers; "replaceObjectInItemsAtIndex:withObject:" when present),
//      when it has an insertion and a removal method;
//   2. otherwise its value for the key is read, changed and written back with setValueForKey
//      (through the setter, else into the storage).
// When the key notifies observers automatically, each change is announced as one indexed change
// (insertion, removal or replacement, with the indexes) and nothing else: announcements the
// object makes for the same key while the change runs (its setter's) are not passed on. A key
// that does not notify automatically is announced by the object's own code only.
//
// Reading goes through valueForKey each time. An index out of range raises kRangeException, a nil
// element kInvalidArgumentException, a key without a value kUndefinedKeyException.
//
// The proxy keeps its object alive. Threads: as the object's own accessors.
class MutableArrayProxy : public Object {
  ZORVEL_CLASS(MutableArrayProxy, Object)

 public:
  const std::string& key() const { return key_; }
  std::size_t count() const;
  Value objectAtIndex(std::size_t index) const;
  ValueArray array() const;

  void insertObject(Value object, std::size_t index);
  void addObject(Value object);
  // Each object ends up at its index (indexes ascending, one per object).
  void insertObjects(const ValueArray& objects, const IndexSet& indexes);
  void removeObjectAtIndex(std::size_t index);
  void removeLastObject();
  void removeObjectsAtIndexes(const IndexSet& indexes);
  void removeAllObjects();
  void replaceObjectAtIndex(std::size_t index, Value object);

  std::string description() const override;

 private:
  friend class Object;
  MutableArrayProxy(Object& object, ObjectPtr keep, std::string key);

  enum class Edit { Insert, Remove, Replace };
  void change(KeyValueChangeKind kind, Edit edit, IndexSet indexes, const ValueArray& objects);
  void editByMethods(Edit edit, const IndexSet& indexes, const ValueArray& objects);
  static void editArray(ValueArray& array, Edit edit, const IndexSet& indexes, const ValueArray& objects);

  Object& object_;
  ObjectPtr keep_;  // the object, when it is shared
  std::string key_;
  std::string capitalizedKey_;
};

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
#define ZORVEL_VALIDATOR(key, Validator)                                                   \
 private:                                                                                  \
  static bool zorvelDeclareValidator_##key() {                                             \
    return ::platform::detail::declareValidator<ZorvelSelf>(#key, &ZorvelSelf::Validator); \
  }                                                                                        \
  static inline const bool zorvelValidator_##key##_ = zorvelDeclareValidator_##key();      \
                                                                                           \
 public:
