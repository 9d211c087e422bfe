#include "platform/object.h"

#include <cstdio>
#include <map>
#include <mutex>

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
}  // namespace

Class::Class(std::string name, const Class* superclass, Factory factory)
    : name_(std::move(name)), superclass_(superclass), factory_(std::move(factory)) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.byName[name_] = this;
}

bool Class::isSubclassOf(const Class& other) const {
  for (const Class* c = this; c; c = c->superclass_)
    if (c == &other) return true;
  return false;
}

ObjectPtr Class::makeInstance() const { return factory_ ? factory_() : nullptr; }

const Class* Class::named(std::string_view name) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.byName.find(name);
  return it == r.byName.end() ? nullptr : it->second;
}

std::vector<const Class*> Class::allClasses() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<const Class*> out;
  for (auto& [name, cls] : r.byName) out.push_back(cls);
  return out;
}

Object::~Object() = default;

const Class& Object::staticClass() {
  static const Class* cls = new Class("Object", nullptr, nullptr);
  return *cls;
}

const Class& Object::objectClass() const { return staticClass(); }

std::string Object::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, ": %p>", static_cast<const void*>(this));
  return "<" + objectClass().name() + buf;
}

bool Object::isEqual(const Object& other) const { return this == &other; }

std::size_t Object::hash() const { return std::hash<const void*>{}(this); }

void Object::encodeWithCoder(KeyedArchiver&) const {}

bool Object::initWithCoder(KeyedUnarchiver&) { return false; }

}  // namespace platform
