#include "platform/kvc.h"

#include <cstdio>

#include "platform/object_internal.h"

namespace platform {

namespace {

std::string unknownKeyReason(const std::string& target, const char* method, std::string_view key) {
  return "[" + target + " " + method + "]: this class is not key value coding-compliant for the key " +
         std::string(key) + ".";
}

[[noreturn]] void raiseUnknownKey(const Object* object, const std::string& target, const char* method,
                                  std::string_view key) {
  Value userInfo;
  if (object) {
    if (ObjectPtr strong = const_cast<Object*>(object)->weak_from_this().lock())
      userInfo.set(std::string(kTargetObjectUserInfoKey), Value(strong));
  }
  userInfo.set(std::string(kUnknownUserInfoKey), Value(key));
  throw Exception(std::string(kUndefinedKeyException), unknownKeyReason(target, method, key), userInfo);
}

std::string valueTarget(const Value& value) { return "<" + classOfValue(value).name() + ">"; }

// Splits "a.b.c" into "a" and "b.c" (rest empty when there is no dot).
std::pair<std::string_view, std::string_view> splitFirst(std::string_view path) {
  std::size_t dot = path.find('.');
  if (dot == std::string_view::npos) return {path, {}};
  return {path.substr(0, dot), path.substr(dot + 1)};
}

}  // namespace

Value valueForKeyOfValue(const Value& value, std::string_view key) {
  switch (value.type()) {
    case Value::Type::Nil:
      return Value();
    case Value::Type::Object:
      return value.asObject()->valueForKey(key);
    case Value::Type::Dictionary:
      return value[key];
    case Value::Type::Array: {
      ValueArray out;
      for (const Value& element : value.asArray()) {
        // A null element stays null rather than raising, so a mapped path keeps its shape.
        Value v = element.isNull() ? Value() : valueForKeyOfValue(element, key);
        out.push_back(v.isNil() ? Value::null() : v);
      }
      return Value(std::move(out));
    }
    case Value::Type::Set: {
      ValueSet out;
      for (const Value& element : value.asSet()) {
        Value v = element.isNull() ? Value() : valueForKeyOfValue(element, key);
        out.insert(v.isNil() ? Value::null() : v);
      }
      return Value(std::move(out));
    }
    default:
      raiseUnknownKey(nullptr, valueTarget(value), "valueForUndefinedKey:", key);
  }
}

Value valueForKeyPathOfValue(const Value& value, std::string_view keyPath) {
  Value current = value;
  std::string_view rest = keyPath;
  for (;;) {
    auto [first, tail] = splitFirst(rest);
    current = valueForKeyOfValue(current, first);
    if (tail.empty() || current.isNil()) return current;
    rest = tail;
  }
}

// --- Object: key-value coding ---------------------------------------------------------------------

Value Object::valueForKey(std::string_view key) const {
  detail::KeyAccess access = detail::keyAccess(objectClass(), key);
  if (access.getter) return access.getter->get(*this);
  return valueForUndefinedKey(key);
}

void Object::setValueForKey(const Value& value, std::string_view key) {
  detail::KeyAccess access = detail::keyAccess(objectClass(), key);
  const Property* target = access.setter ? access.setter : access.storage;
  if (!target) {
    setValueForUndefinedKey(value, key);
    return;
  }
  if (value.isNil() && target->isScalar()) {
    setNilValueForKey(key);
    return;
  }
  if (access.setter) {
    access.setter->set(*this, value);
    return;
  }
  // No setter (a read-only property with storage): write the storage, announcing it ourselves.
  if (automaticallyNotifiesObserversForKey(key)) {
    willChangeValueForKey(key);
    access.storage->store(*this, value);
    didChangeValueForKey(key);
  } else {
    access.storage->store(*this, value);
  }
}

Value Object::valueForKeyPath(std::string_view keyPath) const {
  auto [first, rest] = splitFirst(keyPath);
  Value head = valueForKey(first);
  if (rest.empty()) return head;
  return valueForKeyPathOfValue(head, rest);
}

void Object::setValueForKeyPath(const Value& value, std::string_view keyPath) {
  std::size_t dot = keyPath.rfind('.');
  if (dot == std::string_view::npos) {
    setValueForKey(value, keyPath);
    return;
  }
  Value target = valueForKeyPath(keyPath.substr(0, dot));
  std::string_view last = keyPath.substr(dot + 1);
  if (target.isNil()) return;  // like a message to nil
  if (!target.isObject()) raiseUnknownKey(nullptr, valueTarget(target), "setValue:forUndefinedKey:", last);
  target.asObject()->setValueForKey(value, last);
}

ValueDictionary Object::dictionaryWithValuesForKeys(const std::vector<std::string>& keys) const {
  ValueDictionary out;
  for (const std::string& key : keys) {
    Value v = valueForKey(key);
    out.set(key, v.isNil() ? Value::null() : std::move(v));
  }
  return out;
}

void Object::setValuesForKeysWithDictionary(const ValueDictionary& values) {
  for (const auto& [key, value] : values) setValueForKey(value.isNull() ? Value() : value, key);
}

bool Object::validateValueForKey(Value& value, std::string_view key, ErrorPtr* error) {
  KeyValidator validator = objectClass().validatorForKey(key);
  if (!validator) return true;
  return validator(*this, value, error);
}

Value Object::valueForUndefinedKey(std::string_view key) const {
  raiseUnknownKey(this, shortDescription(), "valueForUndefinedKey:", key);
}

void Object::setValueForUndefinedKey(const Value&, std::string_view key) {
  raiseUnknownKey(this, shortDescription(), "setValue:forUndefinedKey:", key);
}

void Object::setNilValueForKey(std::string_view key) {
  Exception::raise(kInvalidArgumentException, "[" + shortDescription() +
                                                   " setNilValueForKey]: could not set nil as the value for the key " +
                                                   std::string(key) + ".");
}

}  // namespace platform
