#include "platform/runtime/kvc.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "platform/runtime/object_internal.h"

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

// --- Mutable array proxies ------------------------------------------------------------------------

namespace platform {

namespace {

Value indexesValue(const IndexSet& indexes) {
  ValueArray list;
  for (std::size_t i : indexes) list.emplace_back(static_cast<std::uint64_t>(i));
  return Value(std::move(list));
}

[[noreturn]] void raiseIndex(std::size_t index, std::size_t count) {
  Exception::raise(kRangeException, "index " + std::to_string(index) + " beyond bounds [0 .. " +
                                        (count ? std::to_string(count - 1) : std::string("-1")) + "]");
}

}  // namespace

std::shared_ptr<MutableArrayProxy> Object::mutableArrayValueForKey(std::string_view key) {
  return make<MutableArrayProxy>(*this, weak_from_this().lock(), std::string(key));
}

MutableArrayProxy::MutableArrayProxy(Object& object, ObjectPtr keep, std::string key)
    : object_(object), keep_(std::move(keep)), key_(std::move(key)), capitalizedKey_(key_) {
  if (!capitalizedKey_.empty())
    capitalizedKey_[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalizedKey_[0])));
}

ValueArray MutableArrayProxy::array() const {
  Value value = object_.valueForKey(key_);
  if (value.isArray()) return value.asArray();
  if (value.isNil() || value.isNull()) return {};
  Exception::raise(kInvalidArgumentException,
                   "the value of the key " + key_ + " of " + object_.description() + " is not an array");
}

std::size_t MutableArrayProxy::count() const { return array().size(); }

Value MutableArrayProxy::objectAtIndex(std::size_t index) const {
  ValueArray values = array();
  if (index >= values.size()) raiseIndex(index, values.size());
  return values[index];
}

void MutableArrayProxy::insertObject(Value object, std::size_t index) { insertObjects({std::move(object)}, {index}); }

void MutableArrayProxy::addObject(Value object) { insertObject(std::move(object), count()); }

void MutableArrayProxy::insertObjects(const ValueArray& objects, const IndexSet& indexes) {
  if (objects.size() != indexes.size())
    Exception::raise(kInvalidArgumentException, "insertObjects: the counts of objects and indexes differ");
  for (const Value& object : objects)
    if (object.isNil()) Exception::raise(kInvalidArgumentException, "insertObjects: an object is nil");
  if (!std::is_sorted(indexes.begin(), indexes.end()) ||
      std::adjacent_find(indexes.begin(), indexes.end()) != indexes.end())
    Exception::raise(kInvalidArgumentException, "insertObjects: the indexes are not ascending");
  std::size_t size = count();
  for (std::size_t n = 0; n < indexes.size(); ++n)
    if (indexes[n] > size + n) raiseIndex(indexes[n], size + n + 1);
  if (indexes.empty()) return;
  change(KeyValueChangeKind::Insertion, Edit::Insert, indexes, objects);
}

void MutableArrayProxy::removeObjectAtIndex(std::size_t index) { removeObjectsAtIndexes({index}); }

void MutableArrayProxy::removeLastObject() {
  std::size_t size = count();
  if (size == 0) raiseIndex(0, 0);
  removeObjectAtIndex(size - 1);
}

void MutableArrayProxy::removeObjectsAtIndexes(const IndexSet& indexes) {
  IndexSet sorted = indexes;
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  std::size_t size = count();
  if (!sorted.empty() && sorted.back() >= size) raiseIndex(sorted.back(), size);
  if (sorted.empty()) return;
  change(KeyValueChangeKind::Removal, Edit::Remove, std::move(sorted), {});
}

void MutableArrayProxy::removeAllObjects() {
  IndexSet all(count());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  removeObjectsAtIndexes(all);
}

void MutableArrayProxy::replaceObjectAtIndex(std::size_t index, Value object) {
  if (object.isNil()) Exception::raise(kInvalidArgumentException, "replaceObjectAtIndex: the object is nil");
  std::size_t size = count();
  if (index >= size) raiseIndex(index, size);
  change(KeyValueChangeKind::Replacement, Edit::Replace, {index}, {std::move(object)});
}

void MutableArrayProxy::editArray(ValueArray& array, Edit edit, const IndexSet& indexes, const ValueArray& objects) {
  switch (edit) {
    case Edit::Insert:
      for (std::size_t n = 0; n < indexes.size(); ++n)
        array.insert(array.begin() + static_cast<std::ptrdiff_t>(indexes[n]), objects[n]);
      break;
    case Edit::Remove:
      for (auto it = indexes.rbegin(); it != indexes.rend(); ++it)
        array.erase(array.begin() + static_cast<std::ptrdiff_t>(*it));
      break;
    case Edit::Replace:
      array[indexes[0]] = objects[0];
      break;
  }
}

void MutableArrayProxy::editByMethods(Edit edit, const IndexSet& indexes, const ValueArray& objects) {
  const Class& cls = object_.actualClass();
  std::string insertOne = "insertObject:in" + capitalizedKey_ + "AtIndex:";
  std::string insertMany = "insert" + capitalizedKey_ + ":atIndexes:";
  std::string removeOne = "removeObjectFrom" + capitalizedKey_ + "AtIndex:";
  std::string removeMany = "remove" + capitalizedKey_ + "AtIndexes:";
  std::string replaceOne = "replaceObjectIn" + capitalizedKey_ + "AtIndex:withObject:";
  auto insert = [&](const ValueArray& values, const IndexSet& at) {
    if (cls.instancesRespondToSelector(insertMany)) {
      object_.perform(insertMany, {Value(values), indexesValue(at)});
      return;
    }
    for (std::size_t n = 0; n < at.size(); ++n)
      object_.perform(insertOne, {values[n], Value(static_cast<std::uint64_t>(at[n]))});
  };
  auto remove = [&](const IndexSet& at) {
    if (cls.instancesRespondToSelector(removeMany)) {
      object_.perform(removeMany, {indexesValue(at)});
      return;
    }
    for (auto it = at.rbegin(); it != at.rend(); ++it)
      object_.perform(removeOne, {Value(static_cast<std::uint64_t>(*it))});
  };
  switch (edit) {
    case Edit::Insert:
      insert(objects, indexes);
      break;
    case Edit::Remove:
      remove(indexes);
      break;
    case Edit::Replace:
      if (cls.instancesRespondToSelector(replaceOne)) {
        object_.perform(replaceOne, {Value(static_cast<std::uint64_t>(indexes[0])), objects[0]});
      } else {
        remove(indexes);
        insert(objects, indexes);
      }
      break;
  }
}

void MutableArrayProxy::change(KeyValueChangeKind kind, Edit edit, IndexSet indexes, const ValueArray& objects) {
  const Class& cls = object_.actualClass();
  bool byMethods = (cls.instancesRespondToSelector("insertObject:in" + capitalizedKey_ + "AtIndex:") ||
                    cls.instancesRespondToSelector("insert" + capitalizedKey_ + ":atIndexes:")) &&
                   (cls.instancesRespondToSelector("removeObjectFrom" + capitalizedKey_ + "AtIndex:") ||
                    cls.instancesRespondToSelector("remove" + capitalizedKey_ + "AtIndexes:"));
  bool announce = object_.automaticallyNotifiesObserversForKey(key_);
  if (announce) object_.willChange(kind, indexes, key_);
  {
    std::optional<detail::KeyValueChangeAbsorber> absorber;
    if (announce) absorber.emplace(object_, key_);
    if (byMethods) {
      editByMethods(edit, indexes, objects);
    } else {
      ValueArray values = array();
      editArray(values, edit, indexes, objects);
      object_.setValueForKey(Value(std::move(values)), key_);
    }
  }
  if (announce) object_.didChange(kind, indexes, key_);
}

std::string MutableArrayProxy::description() const { return Value(array()).description(); }

}  // namespace platform
