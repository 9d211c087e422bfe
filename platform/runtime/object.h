#pragma once

// The object runtime's base: every class of the system that needs identity derives from Object
// and is described by a Class registered by name.
//
// Declaring a class:
//
//   class Person : public platform::Object {
//     ZORVEL_CLASS(Person, platform::Object)   // first in the body; leaves the access private
//    public:
//     ZORVEL_PROPERTY(std::string, name, setName, platform::Copy)   // see properties.h
//   };
//   auto p = platform::make<Person>();
//
// Objects are owned through std::shared_ptr made by platform::make (never std::make_shared): when
// the last strong reference goes, weak references already read empty, the deallocation hooks run
// on the object while it is still whole, and only then do the destructors run.
//
// Plain objects are the one exception: immutable values that need a class and a description but
// never identity hooks (errors, collection keys, markers). Their class says so with
// ZORVEL_PLAIN_OBJECT and they are made with platform::makePlain, an ordinary shared_ptr without
// deallocation hooks (addDeallocHook raises on them). Each factory refuses, at compile time, the
// other category: make does not make plain objects, makePlain makes nothing else.
//
// Key-value coding lives in kvc.h, key-value observing in kvo.h, declared properties in
// properties.h and methods by name in methods.h; their member functions are declared here.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Object;
class Class;
class Value;
class ValueDictionary;
class Error;
using ErrorPtr = std::shared_ptr<Error>;
class Property;
class KeyedArchiver;
class KeyedUnarchiver;
class KeyValueObserver;
class MutableArrayProxy;
using ObjectPtr = std::shared_ptr<Object>;
using WeakObjectPtr = std::weak_ptr<Object>;

// A method called by name: the receiver and the boxed arguments (one per ':' of the selector).
using MethodImp = std::function<Value(Object& self, const std::vector<Value>& args)>;
// A class method called by name.
using ClassMethodImp = std::function<Value(const Class& cls, const std::vector<Value>& args)>;
// Sees every call of an intercepted method; `callThrough` runs the implementation that was in
// place when the interception was installed.
using MethodInterceptor =
    std::function<Value(Object& self, const std::vector<Value>& args, const MethodImp& callThrough)>;
// The types of a method called by name, as type encodings ("v" for no result, "q", "B",
// "@\"NSString\"", "@" for any object). Methods declared with ZORVEL_METHOD have one.
struct MethodSignature {
  std::string returnType = "@";
  std::vector<std::string> argumentTypes;
  bool returnsValue() const { return returnType != "v"; }
  bool operator==(const MethodSignature&) const = default;
};
class Protocol;
// Per-key validation: may replace `value`; on refusal returns false and fills `error` if given.
using KeyValidator = std::function<bool(Object& self, Value& value, ErrorPtr* error)>;
// Runs on the object while it is still whole, after weak references already read empty.
using DeallocHook = std::function<void(Object& object)>;
using DeallocHookToken = std::uint64_t;

// The most arguments a method called by name may take.
inline constexpr std::size_t kMaxMethodArguments = 15;

namespace detail {
struct ClassTables;
struct ObjectExtras;
struct ObjectAccess;
}  // namespace detail

// Describes one registered class: its name, its superclass, how to make an instance of it, its
// declared properties, its methods by name and its key validators.
// Classes live for the whole process; pointers to them never dangle. All members are thread-safe;
// the tables change under internal locks, which is why the mutators are callable through the
// const references that every lookup hands out.
class Class {
 public:
  using Factory = std::function<ObjectPtr()>;

  Class(std::string name, const Class* superclass, Factory factory);
  Class(const Class&) = delete;
  Class& operator=(const Class&) = delete;
  ~Class();

  const std::string& name() const { return name_; }
  const Class* superclass() const { return superclass_; }
  bool isSubclassOf(const Class& other) const;  // true for the class itself too

  // A fresh, default-initialised instance made through the object factory; nullptr when the
  // class cannot be instantiated by name (abstract classes).
  ObjectPtr makeInstance() const;

  // The registered class with this name, or nullptr.
  static const Class* named(std::string_view name);
  // Every registered class, ordered by name.
  static std::vector<const Class*> allClasses();

  // A new class made at run time as a subclass of `superclass`, with its own (initially empty)
  // method table; nullptr when the name is taken. makeInstance() of it makes an instance of the
  // superclass whose actual class is the new class (see Object::setActualClass).
  static const Class* allocateClass(std::string name, const Class& superclass);

  // --- Declared properties (see properties.h) -------------------------------------------------
  // Takes ownership; a second declaration of the same name in this class replaces the first.
  const Property& addProperty(std::unique_ptr<Property> property) const;
  // This class's own declarations, in declaration order.
  std::vector<const Property*> ownProperties() const;
  // Own and inherited, each name once (the declaration nearest this class wins): this class's
  // own in declaration order, then its superclass's, and so on up to the root.
  std::vector<const Property*> properties() const;
  // The nearest declaration of the name, or nullptr.
  const Property* property(std::string_view name) const;

  // --- Methods by name (see methods.h) ----------------------------------------------------------
  // Adds or replaces this class's own method for the selector (an empty imp removes it).
  void addMethod(std::string selector, MethodImp imp) const;
  // Installs `imp` as this class's own method (an empty imp removes it) and returns the
  // implementation the class used before (its own or the inherited one; empty when it had none).
  MethodImp replaceMethod(std::string selector, MethodImp imp) const;
  // Routes every call of the selector on instances of this class (and subclasses that do not
  // override it) through `hook`.
  void interceptMethod(std::string selector, MethodInterceptor hook) const;
  // The implementation instances use (own or inherited), or empty.
  MethodImp methodForSelector(std::string_view selector) const;
  bool hasOwnMethod(std::string_view selector) const;
  bool instancesRespondToSelector(std::string_view selector) const;
  // Records the types of this class's method for the selector.
  void setMethodSignature(std::string selector, MethodSignature signature) const;
  // The nearest recorded types for the selector, or none.
  std::optional<MethodSignature> methodSignatureForSelector(std::string_view selector) const;
  // Declares that instances of this class (and its subclasses) conform to the protocol.
  void addProtocol(const Protocol& protocol) const;
  bool conformsToProtocol(const Protocol& protocol) const;
  // Class methods: inherited through the superclass chain like instance methods.
  void addClassMethod(std::string selector, ClassMethodImp imp) const;
  // The implementation the class uses (own or inherited), or empty. An override reaches the
  // inherited one through its superclass: superclass()->classMethodForSelector(sel)(cls, args).
  ClassMethodImp classMethodForSelector(std::string_view selector) const;
  bool respondsToSelector(std::string_view selector) const;
  // Calls a class method; raises NSInvalidArgumentException when the class has none or the
  // argument count does not match the selector.
  Value perform(std::string_view selector, const std::vector<Value>& args) const;

  // --- Key validation (see kvc.h) ---------------------------------------------------------------
  void setValidator(std::string key, KeyValidator validator) const;
  // The nearest validator for the key, or empty.
  KeyValidator validatorForKey(std::string_view key) const;

  // Values attached to the class object itself (per-class caches); nil when absent. Setting nil
  // removes the entry. A subclass never sees its superclass's entries.
  void setAssociatedValue(const void* key, const Value& value) const;
  Value associatedValue(const void* key) const;

  // Internal: the tables behind the members above.
  detail::ClassTables& tables() const { return *tables_; }

 private:
  std::string name_;
  const Class* superclass_;
  Factory factory_;
  std::unique_ptr<detail::ClassTables> tables_;
};

// Memory policy of an associated object.
enum class AssociationPolicy {
  Weak,    // held weakly: reads nil once the object is gone (non-objects are kept as they are)
  Strong,  // held strongly
  Copy,    // an object is replaced by its copy(), then held strongly
};

// Kinds of a key-value change (the platform's numbers).
enum class KeyValueChangeKind { Setting = 1, Insertion = 2, Removal = 3, Replacement = 4 };
// Indexes of an indexed (to-many) change, ascending.
using IndexSet = std::vector<std::size_t>;

class Object : public std::enable_shared_from_this<Object> {
 public:
  virtual ~Object();

  // The class of the most derived C++ type (the class the object states).
  virtual const Class& objectClass() const;
  static const Class& staticClass();
  // The class used for methods by name: objectClass(), or the run-time subclass set with
  // setActualClass.
  const Class& actualClass() const;
  // Gives this object a run-time subclass of its current actual class (its methods by name then
  // come from that class). Raises NSInvalidArgumentException for a class that is not a subclass.
  void setActualClass(const Class& cls);

  bool isKindOf(const Class& cls) const { return objectClass().isSubclassOf(cls); }
  bool isMemberOf(const Class& cls) const { return &objectClass() == &cls; }

  // Default: "<ClassName: 0x...>".
  virtual std::string description() const;
  // Default: identity.
  virtual bool isEqual(const Object& other) const;
  // Default: derived from the address.
  virtual std::size_t hash() const;
  // A copy with its own identity. Default: raises NSInvalidArgumentException (not copyable).
  virtual ObjectPtr copy() const;

  // Keyed archiving. An object that can be archived overrides both; initWithCoder runs on a fresh
  // instance from Class::makeInstance and returns false when the archive cannot be decoded.
  virtual bool supportsCoding() const { return false; }
  virtual void encodeWithCoder(KeyedArchiver& coder) const;
  virtual bool initWithCoder(KeyedUnarchiver& coder);
  // The class an archive names for this object (decoding makes an instance of it and hands it
  // the keys encodeWithCoder wrote). Default: objectClass().
  virtual const Class& classForCoder() const;
  // Called on a decoded object after initWithCoder succeeded: an object to stand for it instead
  // (a shared instance), or nullptr to keep it. Default: nullptr.
  virtual ObjectPtr replacementAfterDecoding() { return nullptr; }

  // --- Lifetime ---------------------------------------------------------------------------------
  // Adds a hook run when the object is deallocated (hooks run in the order added, on the thread
  // that drops the last strong reference). Once deallocation has begun the hook runs at once.
  // Raises NSInternalInconsistencyException for an object not made by platform::make.
  DeallocHookToken addDeallocHook(DeallocHook hook);
  // Removes a hook that has not run yet; false when there is none with that token.
  bool removeDeallocHook(DeallocHookToken token);

  // Associated objects, by the address of a caller-owned key. Setting nil removes the entry.
  void setAssociatedObject(const void* key, const Value& value, AssociationPolicy policy = AssociationPolicy::Strong);
  Value associatedObject(const void* key) const;
  void removeAssociatedObjects();

  // The object's recursive lock for synchronized sections: std::lock_guard lock(obj.monitor());
  std::recursive_mutex& monitor() const;

  // --- Key-value coding (kvc.cpp) ---------------------------------------------------------------
  // Reads a declared property; other keys go to valueForUndefinedKey.
  virtual Value valueForKey(std::string_view key) const;
  // Writes through the property's setter, or straight into its storage when it has no setter
  // (announcing the change to observers). A nil value for a scalar goes to setNilValueForKey;
  // keys without setter and storage go to setValueForUndefinedKey. A value of the wrong kind
  // raises NSInvalidArgumentException.
  virtual void setValueForKey(const Value& value, std::string_view key);
  // An array that stands for the to-many key's value: changing it changes the key, announcing
  // each change as an indexed one (see MutableArrayProxy in kvc.h).
  std::shared_ptr<MutableArrayProxy> mutableArrayValueForKey(std::string_view key);
  // Dotted paths across objects and dictionary values; a nil intermediate gives nil (reading) or
  // does nothing (writing).
  Value valueForKeyPath(std::string_view keyPath) const;
  void setValueForKeyPath(const Value& value, std::string_view keyPath);
  // Nil values come out as the null marker...
  ValueDictionary dictionaryWithValuesForKeys(const std::vector<std::string>& keys) const;
  // ...and the null marker goes in as nil. Keys are set in the dictionary's order.
  void setValuesForKeysWithDictionary(const ValueDictionary& values);
  // Runs the class's validator for the key (Class::setValidator) when there is one; true otherwise.
  virtual bool validateValueForKey(Value& value, std::string_view key, ErrorPtr* error = nullptr);
  // Default: raise NSUnknownKeyException with the platform's reason text.
  virtual Value valueForUndefinedKey(std::string_view key) const;
  virtual void setValueForUndefinedKey(const Value& value, std::string_view key);
  // Default: raise NSInvalidArgumentException.
  virtual void setNilValueForKey(std::string_view key);

  // --- Key-value observing (kvo.cpp; options and records in kvo.h) ------------------------------
  // Registers the observer (held weakly) for a key path; dotted paths are followed object by
  // object. With the initial option the observer is called before this returns.
  void addObserver(const std::shared_ptr<KeyValueObserver>& observer, std::string_view keyPath, unsigned options,
                   void* context = nullptr);
  // Removes the registration with this observer, key path and context; without a context, the
  // most recent one for the observer and key path. Raises NSRangeException when none matches.
  // Once this returns no new delivery to that registration starts.
  void removeObserver(const KeyValueObserver* observer, std::string_view keyPath, void* context);
  void removeObserver(const KeyValueObserver* observer, std::string_view keyPath);
  // Whether property setters announce changes of the key themselves. Default: true.
  virtual bool automaticallyNotifiesObserversForKey(std::string_view key) const;
  // Bracket a change of a key's value (called by setters; call them yourself for keys that do
  // not notify automatically). Pairs nest per thread; observers hear on the calling thread.
  virtual void willChangeValueForKey(std::string_view key);
  virtual void didChangeValueForKey(std::string_view key);
  // The same for a to-many key whose array value changes at `indexes`.
  void willChange(KeyValueChangeKind kind, const IndexSet& indexes, std::string_view key);
  void didChange(KeyValueChangeKind kind, const IndexSet& indexes, std::string_view key);

  // --- Bindings (bindings.cpp; options and rules in bindings.h) --------------------------------
  // Keeps this object's key `binding` in step with the observable's key path, both ways.
  void bind(std::string_view binding, const ObjectPtr& observable, std::string_view keyPath,
            const ValueDictionary& options);
  void bind(std::string_view binding, const ObjectPtr& observable, std::string_view keyPath);
  // Ends the binding of that name, if there is one.
  void unbind(std::string_view binding);
  // The binding's observed object, key path and options, or nil when there is none.
  Value infoForBinding(std::string_view binding) const;

  // --- Methods by name (methods.cpp) ------------------------------------------------------------
  // Whether the actual class has a method for the selector. A class may answer this itself with
  // a method by name "respondsToSelector:" (given the selector, answering a boolean).
  virtual bool respondsToSelector(std::string_view selector) const;
  bool conformsToProtocol(const Protocol& protocol) const { return actualClass().conformsToProtocol(protocol); }
  // Calls the method with boxed arguments (one per ':' in the selector, at most 15). A selector
  // without a method goes to forwardInvocation.
  Value perform(std::string_view selector, const std::vector<Value>& args);
  Value perform(std::string_view selector);  // no arguments
  // Default: raise NSInvalidArgumentException "-[Class sel]: unrecognized selector sent to
  // instance 0x...".
  virtual Value forwardInvocation(std::string_view selector, const std::vector<Value>& args);

 protected:
  Object();
  // A copy has its own identity: no hooks, associations, observers or run-time class.
  Object(const Object& other);
  Object& operator=(const Object&) { return *this; }

  // For hand-written setters: assigns `value` to `storage`, bracketed by will/didChangeValueForKey
  // when the key notifies automatically.
  template <class T, class U>
  void setAndNotify(std::string_view key, T& storage, U&& value) {
    if (automaticallyNotifiesObserversForKey(key)) {
      willChangeValueForKey(key);
      storage = std::forward<U>(value);
      didChangeValueForKey(key);
    } else {
      storage = std::forward<U>(value);
    }
  }

  // "<ClassName 0x...>", as the platform's exception texts name an object.
  std::string shortDescription() const;

 private:
  friend struct detail::ObjectAccess;
  void removeObserverMatching(const KeyValueObserver* observer, std::string_view keyPath, void* context,
                              bool anyContext);
  detail::ObjectExtras& extras() const;
  detail::ObjectExtras* extrasIfAny() const { return extras_.load(std::memory_order_acquire); }
  static void destroy(Object* object) noexcept;

  mutable std::atomic<detail::ObjectExtras*> extras_{nullptr};
  std::atomic<const Class*> actualClass_{nullptr};
  bool madeByFactory_ = false;
};

namespace detail {

// The one door through which the runtime constructs objects (so classes may keep constructors
// private and befriend it through ZORVEL_CLASS).
struct ObjectAccess {
  template <class T, class... Args>
  static T* construct(Args&&... args) {
    return new T(std::forward<Args>(args)...);
  }
  template <class T>
  static constexpr bool canConstructDefault() {
    return requires { new T(); };
  }
  static void markMadeByFactory(Object& object) { object.madeByFactory_ = true; }
  static void destroy(Object* object) noexcept { Object::destroy(object); }
  static ObjectExtras* extrasIfAny(const Object& object) { return object.extrasIfAny(); }
  static ObjectExtras& extras(const Object& object) { return object.extras(); }
};

struct ObjectDeleter {
  void operator()(Object* object) const noexcept { ObjectAccess::destroy(object); }
};

}  // namespace detail

// First in the body of a plain object's class (leaves the access private); see the top of this file.
#define ZORVEL_PLAIN_OBJECT          \
 public:                             \
  using ZorvelPlainObjectTag = void; \
                                     \
 private:                            \
  friend struct ::platform::detail::ObjectAccess;

// Whether T is a plain object (it, or a class it derives from, declares ZORVEL_PLAIN_OBJECT).
template <class T>
inline constexpr bool isPlainObject = requires {
  typename T::ZorvelPlainObjectTag;
};

// Makes an object of class T owned by a shared_ptr whose deleter runs the deallocation hooks.
template <class T, class... Args>
std::shared_ptr<T> make(Args&&... args) {
  static_assert(!isPlainObject<T>, "a plain object (ZORVEL_PLAIN_OBJECT) is made with platform::makePlain");
  T* object = detail::ObjectAccess::construct<T>(std::forward<Args>(args)...);
  detail::ObjectAccess::markMadeByFactory(*object);
  return std::shared_ptr<T>(object, detail::ObjectDeleter{});
}

// Makes a plain object of class T (see the top of this file).
template <class T, class... Args>
std::shared_ptr<T> makePlain(Args&&... args) {
  static_assert(isPlainObject<T>, "platform::makePlain makes only classes that declare ZORVEL_PLAIN_OBJECT");
  return std::shared_ptr<T>(detail::ObjectAccess::construct<T>(std::forward<Args>(args)...));
}

namespace detail {

// The Class of a C++ class declared with ZORVEL_CLASS, made once on first use.
template <class T>
const Class& defineClass(const char* name, const Class& superclass) {
  Class::Factory factory;
  if constexpr (ObjectAccess::canConstructDefault<T>()) factory = [] { return ObjectPtr(platform::make<T>()); };
  static const Class* cls = new Class(name, &superclass, std::move(factory));
  return *cls;
}

}  // namespace detail
}  // namespace platform

// Declares a class of the object runtime: registers it by name (with its superclass and a
// factory when it can be made with no arguments) at static-initialisation time, and overrides
// objectClass/staticClass. Put it first in the class body; it leaves the access private.
#define ZORVEL_CLASS(Self, Super)                                                                             \
 public:                                                                                                      \
  using ZorvelSelf = Self;                                                                                    \
  using ZorvelSuper = Super;                                                                                  \
  static const ::platform::Class& staticClass() {                                                             \
    static const ::platform::Class& cls = ::platform::detail::defineClass<Self>(#Self, Super::staticClass()); \
    return cls;                                                                                               \
  }                                                                                                           \
  const ::platform::Class& objectClass() const override { return staticClass(); }                             \
                                                                                                              \
 private:                                                                                                     \
  friend struct ::platform::detail::ObjectAccess;                                                             \
  static inline const ::platform::Class& zorvelClassRegistration_ = staticClass();

#define ZORVEL_CONCAT_INNER(a, b) a##b
#define ZORVEL_CONCAT(a, b) ZORVEL_CONCAT_INNER(a, b)
