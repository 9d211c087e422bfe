#include "platform/runtime/object.h"

#include <cstdio>
#include <map>
#include <mutex>

#include "platform/runtime/error.h"
#include "platform/runtime/object_internal.h"

namespace platform {

namespace {
struct Registry {
  std::mutex mutex;
  std::map<std::string, const Class*, std::less<>> byName;
};
Registry& registry() {
  static Registry* r = new Registry;  // never destroyed: classes outlive static destruction
  return *r;
}

std::string addressText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}
}  // namespace

// --- Class -------------------------------------------------------------------------------------

Class::Class(std::string name, const Class* superclass, Factory factory)
    : name_(std::move(name)),
      superclass_(superclass),
      factory_(std::move(factory)),
      tables_(std::make_unique<detail::ClassTables>()) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.byName[name_] = this;
}

Class::~Class() = default;

bool Class::isSubclassOf(const Class& other) const {
  for (const Class* c = this; c; c = c->superclass_)
    if (c == &other) return true;
  return false;
}

ObjectPtr Class::makeInstance() const { return factory_ ? factory_() : nullptr; }

const Class* Class::named(std::string_view name) {
  detail::registerBuiltinClasses();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const Class*> Class::allClasses() {
  detail::registerBuiltinClasses();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const Class*> out;
  out.reserve(r.byName.size());
  for (auto& [name, cls] : r.byName)
    if (cls) out.push_back(cls);  // null: a run-time class being made
  return out;
}

const Class* Class::allocateClass(std::string name, const Class& superclass) {
  Registry& r = registry();
  Class* cls = nullptr;
  {
    std::lock_guard lock(r.mutex);
    if (r.byName.count(name)) return nullptr;
    // Registered here under the same lock, so two threads cannot both take the name.
    r.byName.emplace(name, nullptr);
  }
  const Class* super = &superclass;
  cls = new Class(std::move(name), super, nullptr);  // the constructor fills the reserved entry
  cls->tables_->dynamic = true;
  if (superclass.factory_) {
    const Class* self = cls;
    cls->factory_ = [super, self]() -> ObjectPtr {
      ObjectPtr object = super->makeInstance();
      if (object) object->setActualClass(*self);
      return object;
    };
  }
  return cls;
}

void Class::setAssociatedValue(const void* key, const Value& value) const {
  std::unique_lock lock(tables_->mutex);
  if (value.isNil())
    tables_->associated.erase(key);
  else
    tables_->associated[key] = value;
}

Value Class::associatedValue(const void* key) const {
  std::shared_lock lock(tables_->mutex);
  auto it = tables_->associated.find(key);
  return it == tables_->associated.end() ? Value() : it->second;
}

void Class::setValidator(std::string key, KeyValidator validator) const {
  std::unique_lock lock(tables_->mutex);
  tables_->validators[std::move(key)] = std::move(validator);
}

KeyValidator Class::validatorForKey(std::string_view key) const {
  for (const Class* c = this; c; c = c->superclass_) {
    std::shared_lock lock(c->tables_->mutex);
    auto it = c->tables_->validators.find(key);
    if (it != c->tables_->validators.end()) return it->second;
  }
  return {};
}

// --- Object ------------------------------------------------------------------------------------

Object::Object() = default;

Object::Object(const Object&) : std::enable_shared_from_this<Object>() {}

Object::~Object() {
  detail::ObjectExtras* extras = extras_.load(std::memory_order_acquire);
  if (extras) {
    detail::detachAllObservations(*extras);
    delete extras;
  }
}

const Class& Object::staticClass() {
  static const Class* cls = new Class("Object", nullptr, [] { return platform::make<Object>(); });
  return *cls;
}

const Class& Object::objectClass() const { return staticClass(); }

const Class& Object::actualClass() const {
  const Class* cls = actualClass_.load(std::memory_order_acquire);
  return cls ? *cls : objectClass();
}

void Object::setActualClass(const Class& cls) {
  if (!cls.isSubclassOf(actualClass()))
    Exception::raise(kInvalidArgumentException,
                     "class " + cls.name() + " is not a subclass of " + actualClass().name());
  actualClass_.store(&cls, std::memory_order_release);
}

std::string Object::description() const { return "<" + objectClass().name() + ": " + addressText(this) + ">"; }

std::string Object::shortDescription() const { return "<" + objectClass().name() + " " + addressText(this) + ">"; }

bool Object::isEqual(const Object& other) const { return this == &other; }

std::size_t Object::hash() const { return std::hash<const void*>{}(this); }

ObjectPtr Object::copy() const {
  Exception::raise(
      kInvalidArgumentException,
      "-[" + objectClass().name() + " copyWithZone:]: unrecognized selector sent to instance " + addressText(this));
}

void Object::encodeWithCoder(KeyedArchiver&) const {}

bool Object::initWithCoder(KeyedUnarchiver&) { return false; }

const Class& Object::classForCoder() const { return objectClass(); }

detail::ObjectExtras& Object::extras() const {
  detail::ObjectExtras* extras = extras_.load(std::memory_order_acquire);
  if (extras) return *extras;
  auto* fresh = new detail::ObjectExtras;
  if (extras_.compare_exchange_strong(extras, fresh, std::memory_order_acq_rel)) return *fresh;
  delete fresh;  // another thread won; `extras` now holds its table
  return *extras;
}

void Object::destroy(Object* object) noexcept {
  // Weak references already read empty here: the shared count reached zero before the deleter.
  if (detail::ObjectExtras* extras = object->extrasIfAny()) {
    for (;;) {
      std::vector<std::pair<DeallocHookToken, DeallocHook>> hooks;
      {
        std::lock_guard lock(extras->mutex);
        extras->deallocating = true;
        hooks.swap(extras->hooks);
      }
      if (hooks.empty()) break;
      for (auto& [token, hook] : hooks) hook(*object);
    }
  }
  delete object;
}

DeallocHookToken Object::addDeallocHook(DeallocHook hook) {
  if (!madeByFactory_)
    Exception::raise(kInternalInconsistencyException,
                     "deallocation hooks need an object made by platform::make: " + shortDescription());
  detail::ObjectExtras& x = extras();
  {
    std::lock_guard lock(x.mutex);
    if (!x.deallocating) {
      DeallocHookToken token = x.nextHookToken++;
      x.hooks.emplace_back(token, std::move(hook));
      return token;
    }
  }
  hook(*this);  // deallocation has begun: the object is still whole, so run it now
  return 0;
}

bool Object::removeDeallocHook(DeallocHookToken token) {
  detail::ObjectExtras* x = extrasIfAny();
  if (!x || token == 0) return false;
  std::lock_guard lock(x->mutex);
  for (auto it = x->hooks.begin(); it != x->hooks.end(); ++it) {
    if (it->first == token) {
      x->hooks.erase(it);
      return true;
    }
  }
  return false;
}

void Object::setAssociatedObject(const void* key, const Value& value, AssociationPolicy policy) {
  detail::Association association;
  if (!value.isNil()) {
    switch (policy) {
      case AssociationPolicy::Strong:
        association.strong = value;
        break;
      case AssociationPolicy::Copy:
        association.strong = value.isObject() ? Value(value.asObject()->copy()) : value;
        break;
      case AssociationPolicy::Weak:
        if (value.isObject())
          association.weak = value.asObject();
        else
          association.strong = value;
        break;
    }
  }
  detail::Association old;  // released outside the lock: it may be the last reference
  detail::ObjectExtras& x = extras();
  std::lock_guard lock(x.mutex);
  auto it = x.associations.find(key);
  if (value.isNil()) {
    if (it != x.associations.end()) {
      old = std::move(it->second);
      x.associations.erase(it);
    }
  } else if (it != x.associations.end()) {
    old = std::exchange(it->second, std::move(association));
  } else {
    x.associations.emplace(key, std::move(association));
  }
}

Value Object::associatedObject(const void* key) const {
  detail::ObjectExtras* x = extrasIfAny();
  if (!x) return Value();
  std::lock_guard lock(x->mutex);
  auto it = x->associations.find(key);
  if (it == x->associations.end()) return Value();
  if (!it->second.strong.isNil()) return it->second.strong;
  return Value(it->second.weak.lock());
}

void Object::removeAssociatedObjects() {
  detail::ObjectExtras* x = extrasIfAny();
  if (!x) return;
  std::map<const void*, detail::Association> old;
  std::lock_guard lock(x->mutex);
  old.swap(x->associations);
}

std::recursive_mutex& Object::monitor() const { return extras().monitor; }

}  // namespace platform
