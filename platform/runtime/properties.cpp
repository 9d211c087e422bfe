#include "platform/runtime/properties.h"

#include <atomic>
#include <cctype>
#include <unordered_set>

#include "platform/runtime/object_internal.h"

namespace platform {

namespace {
std::atomic<std::uint64_t> gPropertyGeneration{1};

const Class& valueKindClass(const char* name) {
  // Registered by name; no factory: values are made as Value, not as objects.
  return *new Class(name, &Object::staticClass(), nullptr);
}
}  // namespace

const Class& stringClass() {
  static const Class& cls = valueKindClass("NSString");
  return cls;
}
const Class& numberClass() {
  static const Class& cls = valueKindClass("NSNumber");
  return cls;
}
const Class& dateClass() {
  static const Class& cls = valueKindClass("NSDate");
  return cls;
}
const Class& dataClass() {
  static const Class& cls = valueKindClass("NSData");
  return cls;
}
const Class& arrayClass() {
  static const Class& cls = valueKindClass("NSArray");
  return cls;
}
const Class& dictionaryClass() {
  static const Class& cls = valueKindClass("NSDictionary");
  return cls;
}
const Class& setClass() {
  static const Class& cls = valueKindClass("NSSet");
  return cls;
}
const Class& nullClass() {
  static const Class& cls = valueKindClass("NSNull");
  return cls;
}

const Class& classOfValue(const Value& value) {
  switch (value.type()) {
    case Value::Type::Nil:
      return Object::staticClass();
    case Value::Type::Null:
      return nullClass();
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
      return numberClass();
    case Value::Type::String:
      return stringClass();
    case Value::Type::Data:
      return dataClass();
    case Value::Type::Date:
      return dateClass();
    case Value::Type::Array:
      return arrayClass();
    case Value::Type::Dictionary:
      return dictionaryClass();
    case Value::Type::Set:
      return setClass();
    case Value::Type::Object:
      return value.asObject()->objectClass();
  }
  return Object::staticClass();
}

namespace detail {

void registerBuiltinClasses() {
  static const bool done = [] {
    Object::staticClass();
    stringClass();
    numberClass();
    dateClass();
    dataClass();
    arrayClass();
    dictionaryClass();
    setClass();
    nullClass();
    return true;
  }();
  (void)done;
}

std::uint64_t propertyGeneration() { return gPropertyGeneration.load(std::memory_order_acquire); }
void bumpPropertyGeneration() { gPropertyGeneration.fetch_add(1, std::memory_order_acq_rel); }

void raiseWrongKind(const Value& value, const char* expected) {
  Exception::raise(kInvalidArgumentException, "a value of class " + classOfValue(value).name() +
                                                  " cannot be stored where " + expected + " is expected");
}

std::string objectEncoding(const Class& cls) { return "@\"" + cls.name() + "\""; }

std::string defaultSetterName(std::string_view name) {
  std::string setter = "set";
  setter += name;
  if (setter.size() > 3) setter[3] = static_cast<char>(std::toupper(static_cast<unsigned char>(setter[3])));
  setter += ':';
  return setter;
}

KeyAccess keyAccess(const Class& cls, std::string_view key) {
  ClassTables& t = cls.tables();
  std::uint64_t generation = propertyGeneration();
  {
    std::shared_lock lock(t.mutex);
    if (t.keyCacheGeneration == generation) {
      auto it = t.keyCache.find(key);
      if (it != t.keyCache.end()) return it->second;
    }
  }
  KeyAccess access;
  for (const Class* c = &cls; c; c = c->superclass()) {
    std::shared_lock lock(c->tables().mutex);
    for (const auto& p : c->tables().ownProperties) {
      if (p->name() != key) continue;
      if (!access.getter) access.getter = p.get();
      if (!access.setter && p->hasSetter()) access.setter = p.get();
      if (!access.storage && p->hasStorage()) access.storage = p.get();
    }
  }
  std::unique_lock lock(t.mutex);
  if (t.keyCacheGeneration != generation) {
    t.keyCache.clear();
    t.keyCacheGeneration = generation;
  }
  t.keyCache.emplace(std::string(key), access);
  return access;
}

}  // namespace detail

// --- Property ----------------------------------------------------------------------------------

Property::Property(Description description, Accessors accessors)
    : d_(std::move(description)), a_(std::move(accessors)) {
  const std::string& type = d_.typeEncoding;
  if (type.size() > 3 && type[0] == '@' && type[1] == '"' && type.back() == '"')
    objectClassName_ = type.substr(2, type.size() - 3);
  getterName_ = d_.getterName.empty() ? d_.name : d_.getterName;
  std::string defaultSetter = detail::defaultSetterName(d_.name);
  setterName_ = d_.setterName.empty() ? defaultSetter : d_.setterName;
  if (a_.store && !d_.dynamic) ivarName_ = "_" + d_.name;

  attributes_ = "T" + type;
  if (d_.readOnly) attributes_ += ",R";
  if (d_.copy)
    attributes_ += ",C";
  else if (d_.weak)
    attributes_ += ",W";
  else if (d_.strong)
    attributes_ += ",&";
  if (d_.dynamic) attributes_ += ",D";
  attributes_ += ",N";
  if (getterName_ != d_.name) attributes_ += ",G" + getterName_;
  if (setterName_ != defaultSetter) attributes_ += ",S" + setterName_;
  if (!ivarName_.empty()) attributes_ += ",V" + ivarName_;
}

void Property::set(Object& object, const Value& value) const {
  if (!a_.set)
    Exception::raise(kInvalidArgumentException,
                     "property " + d_.name + " of " + object.objectClass().name() + " has no setter");
  a_.set(object, value);
}

void Property::store(Object& object, const Value& value) const {
  if (!a_.store)
    Exception::raise(kInvalidArgumentException,
                     "property " + d_.name + " of " + object.objectClass().name() + " has no storage");
  a_.store(object, value);
}

// --- Class: declared properties -------------------------------------------------------------------

const Property& Class::addProperty(std::unique_ptr<Property> property) const {
  property->declaringClass_ = this;
  const Property* added = property.get();
  {
    std::unique_lock lock(tables_->mutex);
    auto& own = tables_->ownProperties;
    bool replaced = false;
    for (auto& p : own) {
      if (p->name() == property->name()) {
        // Keep the old declaration alive (lookups may hold it) but out of the list.
        static std::vector<std::unique_ptr<Property>>* retired = new std::vector<std::unique_ptr<Property>>;
        static std::mutex retiredMutex;
        std::lock_guard retiredLock(retiredMutex);
        retired->push_back(std::exchange(p, std::move(property)));
        replaced = true;
        break;
      }
    }
    if (!replaced) own.push_back(std::move(property));
  }
  // Accessors are methods too, so instancesRespondToSelector answers for them as for any method.
  addMethod(added->getterName(), [added](Object& self, const std::vector<Value>&) { return added->get(self); });
  if (added->hasSetter()) {
    addMethod(added->setterName(), [added](Object& self, const std::vector<Value>& args) {
      added->set(self, args.empty() ? Value() : args[0]);
      return Value();
    });
  }
  detail::bumpPropertyGeneration();
  return *added;
}

std::vector<const Property*> Class::ownProperties() const {
  std::shared_lock lock(tables_->mutex);
  std::vector<const Property*> out;
  out.reserve(tables_->ownProperties.size());
  for (const auto& p : tables_->ownProperties) out.push_back(p.get());
  return out;
}

std::vector<const Property*> Class::properties() const {
  std::vector<const Property*> out;
  std::unordered_set<std::string_view> seen;
  for (const Class* c = this; c; c = c->superclass_) {
    for (const Property* p : c->ownProperties())
      if (seen.insert(p->name()).second) out.push_back(p);
  }
  return out;
}

const Property* Class::property(std::string_view name) const { return detail::keyAccess(*this, name).getter; }

}  // namespace platform
