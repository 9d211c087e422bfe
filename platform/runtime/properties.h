#pragma once

// Declared properties: per class, each property's name, type, attributes and accessors, so that
// key-value coding, observing, archiving and the model framework can work on properties found at
// run time. One declaration per property, beside its member, in the class body:
//
//   class Event : public platform::Object {
//     ZORVEL_CLASS(Event, platform::Object)
//    public:
//     ZORVEL_PROPERTY(std::string, name, setName, platform::Copy)   // name_, name(), setName()
//     ZORVEL_PROPERTY(std::int64_t, state, setState)
//     ZORVEL_PROPERTY_WITH_GETTER(bool, hidden, isHidden, setHidden)
//     ZORVEL_PROPERTY(std::weak_ptr<Event>, parent, setParent)     // weak; getter returns shared_ptr
//     ZORVEL_READONLY_PROPERTY(std::string, uuid, platform::Copy)   // uuid_, uuid(); KVC may set
//     std::string title() const;
//     ZORVEL_COMPUTED_PROPERTY(title, title)                        // read-only, no storage
//   };
//
// The ZORVEL_PROPERTY family declares its members (storage, accessors, registration) in the access
// of the section it stands in and leaves that access as it found it: a property in a private
// section is private, and what follows it stays private. Every name it uses is fully qualified,
// so a getter named like a namespace (`platform`) breaks nothing after it. Generated setters
// announce the change to observers (will/didChangeValueForKey) when the key notifies automatically. The getter and
// setter are also methods by name ("name", "setName:"; see methods.h). Properties are
// registered during static initialisation, in declaration order; generated accessors are
// non-atomic (the owner's thread owns the object, or the caller locks).
//
// Property types: bool, the integer kinds, float, double, std::string, std::optional<std::string>
// (nil-able), Date, std::optional<Date>, Bytes, ValueArray, ValueDictionary, ValueSet, Value (any
// object), std::shared_ptr<T> and std::weak_ptr<T> for T derived from Object. Specialise
// PropertyTraits for other types (structures).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"

namespace platform {

// Attributes given in a declaration. Weak is implied by std::weak_ptr storage; object types
// are strong ("&") unless Copy is given.
enum PropertyFlags : unsigned {
  NoFlags = 0,
  ReadOnly = 1u << 0,
  Copy = 1u << 1,
  Dynamic = 1u << 2,
};
constexpr PropertyFlags operator|(PropertyFlags a, PropertyFlags b) {
  return static_cast<PropertyFlags>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}

// The names of the classes standing for Value kinds in type encodings ("NSString", "NSNumber",
// "NSDate", "NSData", "NSArray", "NSDictionary", "NSSet", "NSNull"); they are registered classes
// (without factory) so a class named in an attribute string can be looked up by name.
const Class& classOfValue(const Value& value);  // an object's class, else its kind's class; nil: Object
const Class& stringClass();
const Class& numberClass();
const Class& dateClass();
const Class& dataClass();
const Class& arrayClass();
const Class& dictionaryClass();
const Class& setClass();
const Class& nullClass();

// How a property type is boxed and described. encoding() is the platform's type encoding.
template <class T, class Enable = void>
struct PropertyTraits;

namespace detail {
[[noreturn]] void raiseWrongKind(const Value& value, const char* expected);
std::string objectEncoding(const Class& cls);  // @"Name"
}  // namespace detail

template <>
struct PropertyTraits<bool> {
  static constexpr bool scalar = true;
  static std::string encoding() { return "B"; }
  static Value toValue(bool v) { return Value(v); }
  static bool fromValue(const Value& v) {
    if (!v.isNumber() && !v.isString()) detail::raiseWrongKind(v, "number");
    return v.asBool();
  }
};

template <class T>
struct PropertyTraits<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  static constexpr bool scalar = true;
  static std::string encoding() {
    constexpr bool s = std::is_signed_v<T>;
    if constexpr (sizeof(T) == 1)
      return s ? "c" : "C";
    else if constexpr (sizeof(T) == 2)
      return s ? "s" : "S";
    else if constexpr (sizeof(T) == 4)
      return s ? "i" : "I";
    else
      return s ? "q" : "Q";
  }
  static Value toValue(T v) { return Value(v); }
  static T fromValue(const Value& v) {
    if (!v.isNumber() && !v.isString()) detail::raiseWrongKind(v, "number");
    if constexpr (std::is_signed_v<T>)
      return static_cast<T>(v.asInt64());
    else
      return static_cast<T>(v.asUInt64());
  }
};

template <class T>
struct PropertyTraits<T, std::enable_if_t<std::is_floating_point_v<T>>> {
  static constexpr bool scalar = true;
  static std::string encoding() { return sizeof(T) == sizeof(float) ? "f" : "d"; }
  static Value toValue(T v) { return Value(static_cast<double>(v)); }
  static T fromValue(const Value& v) {
    if (!v.isNumber() && !v.isString()) detail::raiseWrongKind(v, "number");
    return static_cast<T>(v.asDouble());
  }
};

// Kinds held directly in a Value; nil reads back as the empty value of the kind.
template <class T, Value::Type kind, const Class& (*cls)(), const T& (Value::*get)() const>
struct ValueKindTraits {
  static constexpr bool scalar = false;
  static std::string encoding() { return detail::objectEncoding(cls()); }
  static Value toValue(const T& v) { return Value(v); }
  static T fromValue(const Value& v) {
    if (v.isNil() || v.isNull()) return T{};
    if (v.type() != kind) detail::raiseWrongKind(v, cls().name().c_str());
    return (v.*get)();
  }
};
template <>
struct PropertyTraits<std::string> : ValueKindTraits<std::string, Value::Type::String, stringClass, &Value::asString> {
};
template <>
struct PropertyTraits<Bytes> : ValueKindTraits<Bytes, Value::Type::Data, dataClass, &Value::asData> {};
template <>
struct PropertyTraits<ValueArray> : ValueKindTraits<ValueArray, Value::Type::Array, arrayClass, &Value::asArray> {};
template <>
struct PropertyTraits<ValueDictionary>
    : ValueKindTraits<ValueDictionary, Value::Type::Dictionary, dictionaryClass, &Value::asDictionary> {};
template <>
struct PropertyTraits<ValueSet> : ValueKindTraits<ValueSet, Value::Type::Set, setClass, &Value::asSet> {};

template <>
struct PropertyTraits<Date> {
  static constexpr bool scalar = false;
  static std::string encoding() { return detail::objectEncoding(dateClass()); }
  static Value toValue(Date v) { return Value(v); }
  static Date fromValue(const Value& v) {
    if (v.isNil() || v.isNull()) return Date();
    if (!v.isDate()) detail::raiseWrongKind(v, "NSDate");
    return v.asDate();
  }
};

// Nil-able form of a kind: nil <-> std::nullopt.
template <class T>
struct PropertyTraits<std::optional<T>> {
  static constexpr bool scalar = false;
  static std::string encoding() { return PropertyTraits<T>::encoding(); }
  static Value toValue(const std::optional<T>& v) { return v ? PropertyTraits<T>::toValue(*v) : Value(); }
  static std::optional<T> fromValue(const Value& v) {
    if (v.isNil() || v.isNull()) return std::nullopt;
    return PropertyTraits<T>::fromValue(v);
  }
};

// Any value (the platform's plain object type).
template <>
struct PropertyTraits<Value> {
  static constexpr bool scalar = false;
  static std::string encoding() { return "@"; }
  static Value toValue(const Value& v) { return v; }
  static Value fromValue(const Value& v) { return v; }
};

template <class T>
struct PropertyTraits<std::shared_ptr<T>, std::enable_if_t<std::is_base_of_v<Object, T>>> {
  static constexpr bool scalar = false;
  static std::string encoding() { return detail::objectEncoding(T::staticClass()); }
  static Value toValue(const std::shared_ptr<T>& v) { return Value(v); }
  static std::shared_ptr<T> fromValue(const Value& v) {
    if (v.isNil() || v.isNull()) return nullptr;
    std::shared_ptr<T> object = v.isObject() ? v.as<T>() : nullptr;
    if (!object) detail::raiseWrongKind(v, T::staticClass().name().c_str());
    return object;
  }
};

// Weak storage: read as a strong reference (nil once gone), written from a strong one.
template <class T>
struct PropertyTraits<std::weak_ptr<T>, std::enable_if_t<std::is_base_of_v<Object, T>>> {
  static constexpr bool scalar = false;
  static std::string encoding() { return PropertyTraits<std::shared_ptr<T>>::encoding(); }
  static Value toValue(const std::weak_ptr<T>& v) { return Value(v.lock()); }
  static std::weak_ptr<T> fromValue(const Value& v) { return PropertyTraits<std::shared_ptr<T>>::fromValue(v); }
};

// One declared property of one class.
class Property {
 public:
  struct Accessors {
    std::function<Value(const Object&)> get;           // always present
    std::function<void(Object&, const Value&)> set;    // through the setter; empty when none
    std::function<void(Object&, const Value&)> store;  // into the storage; empty when none
  };
  struct Description {
    std::string name;
    std::string typeEncoding;  // "q", "B", "@\"NSString\"", "@"
    bool readOnly = false;
    bool copy = false;
    bool strong = false;     // "&"
    bool weak = false;       // "W"
    bool dynamic = false;    // "D"
    bool scalar = false;     // cannot hold nil
    std::string getterName;  // selector; empty: the name
    std::string setterName;  // selector; empty: "set" + Name + ":"
  };

  Property(Description description, Accessors accessors);

  const std::string& name() const { return d_.name; }
  const std::string& typeEncoding() const { return d_.typeEncoding; }
  // The class named in an object type encoding ("NSString" for @"NSString"); empty otherwise.
  const std::string& objectClassName() const { return objectClassName_; }
  bool isObjectType() const { return !d_.typeEncoding.empty() && d_.typeEncoding[0] == '@'; }
  bool isReadOnly() const { return d_.readOnly; }
  bool isCopy() const { return d_.copy; }
  bool isStrong() const { return d_.strong; }
  bool isWeak() const { return d_.weak; }
  bool isNonatomic() const { return true; }
  bool isDynamic() const { return d_.dynamic; }
  bool isScalar() const { return d_.scalar; }
  const std::string& getterName() const { return getterName_; }
  const std::string& setterName() const { return setterName_; }
  // "_name" when the property has storage, else empty.
  const std::string& ivarName() const { return ivarName_; }
  bool hasSetter() const { return static_cast<bool>(a_.set); }
  bool hasStorage() const { return static_cast<bool>(a_.store); }
  // The class that declared it (set when added to a class).
  const Class* declaringClass() const { return declaringClass_; }
  // The platform's attribute string: T<type>[,R][,C|,&|,W][,D],N[,G<getter>][,S<setter>][,V_<name>].
  const std::string& attributeString() const { return attributes_; }

  Value get(const Object& object) const { return a_.get(object); }
  // Through the setter; raises NSInvalidArgumentException for a value of the wrong kind.
  void set(Object& object, const Value& value) const;
  // Straight into the storage, without announcing the change.
  void store(Object& object, const Value& value) const;

 private:
  friend class Class;
  Description d_;
  Accessors a_;
  std::string objectClassName_, getterName_, setterName_, ivarName_, attributes_;
  const Class* declaringClass_ = nullptr;
};

namespace detail {

template <class T>
struct StorageOf {
  using type = T;
};
template <class T>
struct StorageOf<std::weak_ptr<T>> {
  using type = std::shared_ptr<T>;
};

constexpr unsigned flagsOf() { return 0; }
template <class... F>
constexpr unsigned flagsOf(PropertyFlags first, F... rest) {
  return static_cast<unsigned>(first) | flagsOf(rest...);
}

template <class T>
struct IsWeak : std::false_type {};
template <class T>
struct IsWeak<std::weak_ptr<T>> : std::true_type {};
template <class T>
using GetterResult = std::conditional_t<IsWeak<T>::value, typename StorageOf<T>::type, const T&>;
template <class T>
const T& readStorage(const T& value) {
  return value;
}
template <class T>
std::shared_ptr<T> readStorage(const std::weak_ptr<T>& value) {
  return value.lock();
}
template <class T>
struct IsSharedObject : std::false_type {};
template <class T>
struct IsSharedObject<std::shared_ptr<T>> : std::is_base_of<Object, T> {};

// The value a setter stores: for Copy object properties, a copy of the object.
template <unsigned Flags, class T>
T prepareForStorage(T value) {
  if constexpr ((Flags & Copy) && IsSharedObject<T>::value) {
    if (value) {
      using Element = typename T::element_type;
      auto copied = std::dynamic_pointer_cast<Element>(value->copy());
      if (!copied) Exception::raise(kInvalidArgumentException, "copy() returned an object of another class");
      return copied;
    }
  }
  return value;
}

std::string defaultSetterName(std::string_view name);

// Declares a property of class C: getter (member function or data pointer), optional setter
// (member function pointer or nullptr) and optional storage (data member pointer or nullptr).
template <class C, class Stored, class Getter, class Setter, class Storage>
bool declareProperty(const char* name, unsigned flags, const char* getterName, const char* setterName, Getter getter,
                     Setter setter, Storage storage) {
  using Traits = PropertyTraits<Stored>;
  Property::Description d;
  d.name = name;
  d.typeEncoding = Traits::encoding();
  d.readOnly = (flags & ReadOnly) != 0;
  d.copy = (flags & Copy) != 0;
  d.dynamic = (flags & Dynamic) != 0;
  d.weak = IsWeak<Stored>::value;
  d.strong = !d.copy && !d.weak && d.typeEncoding[0] == '@';
  d.scalar = Traits::scalar;
  d.getterName = getterName;
  if (setterName) d.setterName = std::string(setterName) + ":";
  using ReadType = std::remove_cvref_t<std::invoke_result_t<Getter, const C&>>;
  using WriteType = typename StorageOf<Stored>::type;
  Property::Accessors a;
  a.get = [getter](const Object& o) -> Value {
    return PropertyTraits<ReadType>::toValue((static_cast<const C&>(o).*getter)());
  };
  if constexpr (!std::is_same_v<Setter, std::nullptr_t>) {
    a.set = [setter](Object& o, const Value& v) {
      (static_cast<C&>(o).*setter)(PropertyTraits<WriteType>::fromValue(v));
    };
  }
  if constexpr (!std::is_same_v<Storage, std::nullptr_t>) {
    a.store = [storage](Object& o, const Value& v) { static_cast<C&>(o).*storage = Traits::fromValue(v); };
  }
  C::staticClass().addProperty(std::make_unique<Property>(std::move(d), std::move(a)));
  return true;
}

}  // namespace detail
}  // namespace platform

// Storage `name_`, getter `name()`, setter `Setter(value)` announcing the change.
#define ZORVEL_PROPERTY(Type, name, Setter, ...) \
  ZORVEL_PROPERTY_WITH_GETTER(Type, name, name, Setter __VA_OPT__(, ) __VA_ARGS__)

// The same with a getter named differently from the property (bool `hidden` read by isHidden()).
#define ZORVEL_PROPERTY_WITH_GETTER(Type, name, Getter, Setter, ...)                                              \
  Type name##_{};                                                                                                 \
                                                                                                                  \
  ::platform::detail::GetterResult<Type> Getter() const { return ::platform::detail::readStorage(name##_); }      \
  void Setter(::platform::detail::StorageOf<Type>::type value) {                                                  \
    this->setAndNotify(                                                                                           \
        #name, name##_,                                                                                           \
        ::platform::detail::prepareForStorage<::platform::detail::flagsOf(__VA_ARGS__)>(std::move(value)));       \
  }                                                                                                               \
                                                                                                                  \
  static bool zorvelDeclare_##name() {                                                                            \
    return ::platform::detail::declareProperty<ZorvelSelf, Type>(#name, ::platform::detail::flagsOf(__VA_ARGS__), \
                                                                 #Getter, #Setter, &ZorvelSelf::Getter,           \
                                                                 &ZorvelSelf::Setter, &ZorvelSelf::name##_);      \
  }                                                                                                               \
  static inline const bool zorvelProperty_##name##_ = zorvelDeclare_##name();

// Storage `name_` and getter `name()`; no setter. Key-value coding writes the storage.
#define ZORVEL_READONLY_PROPERTY(Type, name, ...)                                                                  \
  Type name##_{};                                                                                                  \
                                                                                                                   \
  ::platform::detail::GetterResult<Type> name() const { return ::platform::detail::readStorage(name##_); }         \
                                                                                                                   \
  static bool zorvelDeclare_##name() {                                                                             \
    return ::platform::detail::declareProperty<ZorvelSelf, Type>(                                                  \
        #name, ::platform::detail::flagsOf(__VA_ARGS__) | ::platform::ReadOnly, #name, nullptr, &ZorvelSelf::name, \
        nullptr, &ZorvelSelf::name##_);                                                                            \
  }                                                                                                                \
  static inline const bool zorvelProperty_##name##_ = zorvelDeclare_##name();

// A read-only property computed by the member function `Getter` (no storage).
#define ZORVEL_COMPUTED_PROPERTY(name, Getter, ...)                                                                    \
  static bool zorvelDeclare_##name() {                                                                                 \
    using ZorvelType = std::decay_t<decltype(std::declval<const ZorvelSelf&>().Getter())>;                             \
    return ::platform::detail::declareProperty<ZorvelSelf, ZorvelType>(                                                \
        #name, ::platform::detail::flagsOf(__VA_ARGS__) | ::platform::ReadOnly, #Getter, nullptr, &ZorvelSelf::Getter, \
        nullptr, nullptr);                                                                                             \
  }                                                                                                                    \
  static inline const bool zorvelProperty_##name##_ = zorvelDeclare_##name();

// A property with hand-written accessors and storage member `Storage` (a setter should use
// setAndNotify). The type is the storage's type.
#define ZORVEL_CUSTOM_PROPERTY(name, Getter, Setter, Storage, ...)                                                   \
  static bool zorvelDeclare_##name() {                                                                               \
    using ZorvelType = std::remove_cvref_t<decltype(std::declval<ZorvelSelf&>().Storage)>;                           \
    return ::platform::detail::declareProperty<ZorvelSelf, ZorvelType>(                                              \
        #name, ::platform::detail::flagsOf(__VA_ARGS__), #Getter, #Setter, &ZorvelSelf::Getter, &ZorvelSelf::Setter, \
        &ZorvelSelf::Storage);                                                                                       \
  }                                                                                                                  \
  static inline const bool zorvelProperty_##name##_ = zorvelDeclare_##name();

// A read-write property with hand-written accessors and no storage of its own.
#define ZORVEL_ACCESSOR_PROPERTY(name, Getter, Setter, ...)                                                          \
  static bool zorvelDeclare_##name() {                                                                               \
    using ZorvelType = std::decay_t<decltype(std::declval<const ZorvelSelf&>().Getter())>;                           \
    return ::platform::detail::declareProperty<ZorvelSelf, ZorvelType>(                                              \
        #name, ::platform::detail::flagsOf(__VA_ARGS__), #Getter, #Setter, &ZorvelSelf::Getter, &ZorvelSelf::Setter, \
        nullptr);                                                                                                    \
  }                                                                                                                  \
  static inline const bool zorvelProperty_##name##_ = zorvelDeclare_##name();
