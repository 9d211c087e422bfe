#pragma once

// Value: the dynamic value held by dictionaries, arrays, user info, property lists, JSON and
// archives. It is nil, the null marker, a number (bool, signed or unsigned 64-bit integer,
// double; a number keeps its kind), a UTF-8 string, data, a date, an array, a dictionary (string
// keys, insertion order kept), a set, or a reference to an Object. An object reference is strong
// (it keeps the object alive) unless made by weakObject().
//
// Values are immutable and cheap to copy: strings, data and collections sit in shared storage.
// The mutating helpers (set/append/insert/remove) copy the storage first when it is shared, so a
// copy never sees another copy's change. A Value may be read from many threads at once; writing
// one Value object from two threads at once needs the caller's own lock, like any std type.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/system/date.h"

namespace platform {

class Value;

using Bytes = std::vector<std::uint8_t>;

// The array kind's storage and builder.
using ValueArray = std::vector<Value>;

class ValueDictionary;
class ValueSet;

namespace detail {

// Hash of string keys that also takes a std::string_view, so that maps keyed by std::string can be
// searched without making a string.
struct StringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <class V>
using StringMap = std::unordered_map<std::string, V, StringHash, std::equal_to<>>;

}  // namespace detail

class Value {
 public:
  enum class Type { Nil, Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Set, Object };

  // Nil: the absence of a value.
  Value() = default;
  // The null marker (a value that stands for "nothing" inside collections).
  static Value null();

  Value(bool b);
  template <std::integral T>
  requires(!std::same_as<T, bool>) Value(T n) {
    if constexpr (std::is_signed_v<T>)
      setInt(static_cast<std::int64_t>(n));
    else
      setUInt(static_cast<std::uint64_t>(n));
  }
  Value(double d);
  Value(float f) : Value(static_cast<double>(f)) {}
  Value(const char* s);  // nullptr gives nil
  Value(std::string s);
  Value(std::string_view s);
  Value(Bytes data);
  Value(Date date);
  Value(ValueArray array);
  Value(ValueDictionary dictionary);
  Value(ValueSet set);
  // An object reference; an empty pointer gives nil.
  template <class T>
  requires std::derived_from<T, Object> Value(std::shared_ptr<T> object)
      : Value(std::static_pointer_cast<Object>(std::move(object)), 0) {}

  // A reference that does not keep the object alive: it reads as the object while the object
  // lives and as nil once it is gone (type() then answers Nil). For values that must not extend
  // an object's life, such as the user info of a notification that may wait in a queue; not for
  // members of sets, whose hashes would change when the object goes.
  static Value weakObject(const ObjectPtr& object);

  static Value data(const void* bytes, std::size_t length);
  static Value array(std::initializer_list<Value> items) { return Value(ValueArray(items)); }
  static Value dictionary(std::initializer_list<std::pair<std::string, Value>> entries);
  static Value setOf(std::initializer_list<Value> items);

  Type type() const { return type_ == Type::Object && weakObject_ ? weakType() : type_; }
  bool isNil() const { return type() == Type::Nil; }
  bool isNull() const { return type_ == Type::Null; }
  bool isBool() const { return type_ == Type::Bool; }
  // Any number kind, bool included.
  bool isNumber() const;
  bool isInteger() const { return type_ == Type::Int || type_ == Type::UInt; }
  bool isDouble() const { return type_ == Type::Double; }
  bool isString() const { return type_ == Type::String; }
  bool isData() const { return type_ == Type::Data; }
  bool isDate() const { return type_ == Type::Date; }
  bool isArray() const { return type_ == Type::Array; }
  bool isDictionary() const { return type_ == Type::Dictionary; }
  bool isSet() const { return type_ == Type::Set; }
  bool isObject() const { return type() == Type::Object; }
  // Whether this is a reference made by weakObject() (whether or not its object still lives).
  bool isWeakObject() const { return type_ == Type::Object && weakObject_; }
  explicit operator bool() const { return !isNil(); }

  // Number conversions (C conversion rules between kinds, saturating for out-of-range doubles).
  // Strings are read leniently like the platform's string-to-number accessors (leading spaces,
  // optional sign, digits; anything else gives 0); bool of a string is true for a leading
  // "Y", "y", "T", "t" or nonzero digit. Every other kind gives 0/false.
  bool asBool() const;
  std::int64_t asInt64() const;
  std::uint64_t asUInt64() const;
  double asDouble() const;

  // The stored value, or an empty one of the requested kind when this is another kind.
  const std::string& asString() const;
  const Bytes& asData() const;
  Date asDate() const;
  const ValueArray& asArray() const;
  const ValueDictionary& asDictionary() const;
  const ValueSet& asSet() const;
  ObjectPtr asObject() const;  // empty unless an object
  template <class T>
  std::shared_ptr<T> as() const {
    return std::dynamic_pointer_cast<T>(asObject());
  }

  // Elements of an array, dictionary or set; 0 for every other kind.
  std::size_t count() const;
  // Dictionary lookup; nil when absent or not a dictionary.
  const Value& operator[](std::string_view key) const;
  const Value& operator[](const char* key) const { return (*this)[std::string_view(key)]; }
  // Array element; nil when out of range or not an array.
  template <std::integral I>
  const Value& operator[](I index) const {
    if constexpr (std::is_signed_v<I>)
      if (index < 0) return nilValue();
    return at(static_cast<std::size_t>(index));
  }
  const Value& at(std::size_t index) const;

  // Copy-on-write edits. A nil Value first becomes an empty collection of the needed kind; on any
  // other kind the edit does nothing and returns false.
  bool set(std::string key, Value value);  // dictionary; a nil value removes the key
  bool removeKey(std::string_view key);    // dictionary
  bool append(Value value);                // array
  bool insert(Value value);                // set

  // Equality as the platform's isEqual: numbers by numeric value across kinds (1 == 1u == 1.0 ==
  // true), collections by contents (dictionaries and sets regardless of order), objects by
  // Object::isEqual. NaN equals NaN so sets and dictionaries stay sound.
  bool operator==(const Value& other) const;
  // Consistent with ==.
  std::size_t hash() const;

  // The platform's description, as "%@" prints it: strings plain, collections on several lines
  // with four-space indentation, nil as "(null)", the null marker as "<null>".
  std::string description() const;
  // The description at nesting `level`: level 0 is description(); at deeper levels (elements of a
  // collection) strings, dates, objects and the null marker are quoted when needed and collections
  // start with their indentation. Also for collection descriptions of other classes.
  std::string descriptionWithIndent(int level) const;

 private:
  Value(ObjectPtr object, int);
  static const Value& nilValue();
  Type weakType() const;
  void setInt(std::int64_t n) {
    type_ = Type::Int;
    int_ = n;
  }
  void setUInt(std::uint64_t n) {
    type_ = Type::UInt;
    uint_ = n;
  }

  Type type_ = Type::Nil;
  union {
    std::int64_t int_ = 0;
    bool bool_;
    std::uint64_t uint_;
    double double_;    // also a date's seconds since the reference date
    bool weakObject_;  // an object reference: held weakly (shared_ then holds a weak_ptr)
  };
  // String, data, collections and objects: shared, never mutated while shared.
  std::shared_ptr<void> shared_;
};

// String-keyed map that keeps insertion order and looks keys up by hash. Used as the builder of a
// dictionary Value and as its storage.
class ValueDictionary {
 public:
  using Entry = std::pair<std::string, Value>;
  using const_iterator = std::vector<Entry>::const_iterator;

  ValueDictionary() = default;
  ValueDictionary(std::initializer_list<Entry> entries);

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // The value for `key`, or nullptr when absent.
  const Value* find(std::string_view key) const;
  bool contains(std::string_view key) const { return find(key) != nullptr; }
  // Replaces the value in place (keeping the key's position) or appends a new entry.
  // Setting a nil Value removes the key, as a dictionary cannot hold nil.
  void set(std::string key, Value value);
  // Removes the key; true when it was present.
  bool remove(std::string_view key);
  std::vector<std::string> keys() const;

  bool operator==(const ValueDictionary& other) const;  // same keys and equal values, any order

 private:
  std::vector<Entry> entries_;
  detail::StringMap<std::size_t> index_;
};

// Unordered collection of distinct values (by Value equality). Iteration follows insertion order.
class ValueSet {
 public:
  using const_iterator = std::vector<Value>::const_iterator;

  ValueSet() = default;
  ValueSet(std::initializer_list<Value> values);

  std::size_t size() const { return values_.size(); }
  bool empty() const { return values_.empty(); }
  const_iterator begin() const { return values_.begin(); }
  const_iterator end() const { return values_.end(); }

  bool contains(const Value& value) const;
  // Adds the value unless an equal one is present (nil is never added); true when added.
  bool insert(Value value);
  bool remove(const Value& value);

  bool operator==(const ValueSet& other) const;

 private:
  std::vector<Value> values_;
  std::unordered_multimap<std::size_t, std::size_t> index_;  // hash -> position in values_
};

// The quoting the platform uses for a string inside a collection's description: plain when made only
// of letters, digits and _$/:.- and not empty, else double-quoted with escapes (non-ASCII as \Uxxxx).
std::string quotedStringForDescription(std::string_view s);

struct ValueHash {
  std::size_t operator()(const Value& v) const { return v.hash(); }
};

}  // namespace platform
