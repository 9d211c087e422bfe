#include "platform/runtime/methods.h"

#include <algorithm>
#include <cstdio>

#include "platform/runtime/object_internal.h"

namespace platform {

std::size_t selectorArgumentCount(std::string_view selector) {
  return static_cast<std::size_t>(std::count(selector.begin(), selector.end(), ':'));
}

namespace {

std::shared_ptr<const MethodImp> findMethod(const Class* cls, std::string_view selector) {
  for (const Class* c = cls; c; c = c->superclass()) {
    std::shared_lock lock(c->tables().mutex);
    auto it = c->tables().methods.find(selector);
    if (it != c->tables().methods.end()) return it->second;
  }
  return nullptr;
}

std::shared_ptr<const ClassMethodImp> findClassMethod(const Class* cls, std::string_view selector) {
  for (const Class* c = cls; c; c = c->superclass()) {
    std::shared_lock lock(c->tables().mutex);
    auto it = c->tables().classMethods.find(selector);
    if (it != c->tables().classMethods.end()) return it->second;
  }
  return nullptr;
}

void checkArguments(std::string_view selector, const std::vector<Value>& args) {
  std::size_t expected = selectorArgumentCount(selector);
  if (expected > kMaxMethodArguments)
    Exception::raise(kInvalidArgumentException, "selector " + std::string(selector) + " takes more than 15 arguments");
  if (args.size() != expected)
    Exception::raise(kInvalidArgumentException, "selector " + std::string(selector) + " takes " +
                                                    std::to_string(expected) + " arguments, " +
                                                    std::to_string(args.size()) + " given");
}

std::string addressText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

}  // namespace

// --- Class: methods by name -------------------------------------------------------------------------

void Class::addMethod(std::string selector, MethodImp imp) const {
  std::shared_ptr<const MethodImp> shared;
  if (imp) shared = std::make_shared<const MethodImp>(std::move(imp));
  std::unique_lock lock(tables_->mutex);
  if (shared)
    tables_->methods[std::move(selector)] = std::move(shared);
  else
    tables_->methods.erase(selector);
}

MethodImp Class::replaceMethod(std::string selector, MethodImp imp) const {
  std::shared_ptr<const MethodImp> shared;
  if (imp) shared = std::make_shared<const MethodImp>(std::move(imp));
  std::shared_ptr<const MethodImp> previous;
  {
    std::unique_lock lock(tables_->mutex);
    auto it = tables_->methods.find(selector);
    if (it != tables_->methods.end()) {
      previous = std::move(it->second);
      if (shared)
        it->second = std::move(shared);
      else
        tables_->methods.erase(it);
    } else {
      // Lock order is always subclass before superclass, so this cannot deadlock.
      previous = findMethod(superclass_, selector);
      if (shared) tables_->methods.emplace(std::move(selector), std::move(shared));
    }
  }
  return previous ? *previous : MethodImp();
}

void Class::interceptMethod(std::string selector, MethodInterceptor hook) const {
  std::unique_lock lock(tables_->mutex);
  std::shared_ptr<const MethodImp> previous;
  auto it = tables_->methods.find(selector);
  if (it != tables_->methods.end())
    previous = it->second;
  else
    previous = findMethod(superclass_, selector);
  MethodImp callThrough;
  if (previous) {
    callThrough = [previous](Object& self, const std::vector<Value>& args) { return (*previous)(self, args); };
  } else {
    callThrough = [selector](Object& self, const std::vector<Value>& args) {
      return self.forwardInvocation(selector, args);
    };
  }
  auto imp = std::make_shared<const MethodImp>(
      [hook = std::move(hook), callThrough = std::move(callThrough)](Object& self, const std::vector<Value>& args) {
        return hook(self, args, callThrough);
      });
  tables_->methods[std::move(selector)] = std::move(imp);
}

MethodImp Class::methodForSelector(std::string_view selector) const {
  auto imp = findMethod(this, selector);
  return imp ? *imp : MethodImp();
}

bool Class::hasOwnMethod(std::string_view selector) const {
  std::shared_lock lock(tables_->mutex);
  return tables_->methods.find(selector) != tables_->methods.end();
}

bool Class::instancesRespondToSelector(std::string_view selector) const {
  return findMethod(this, selector) != nullptr;
}

void Class::setMethodSignature(std::string selector, MethodSignature signature) const {
  std::unique_lock lock(tables_->mutex);
  tables_->signatures[std::move(selector)] = std::move(signature);
}

std::optional<MethodSignature> Class::methodSignatureForSelector(std::string_view selector) const {
  for (const Class* c = this; c; c = c->superclass()) {
    std::shared_lock lock(c->tables().mutex);
    auto it = c->tables().signatures.find(selector);
    if (it != c->tables().signatures.end()) return it->second;
  }
  return std::nullopt;
}

void Class::addProtocol(const Protocol& protocol) const {
  std::unique_lock lock(tables_->mutex);
  for (const Protocol* p : tables_->protocols)
    if (p == &protocol) return;
  tables_->protocols.push_back(&protocol);
}

bool Class::conformsToProtocol(const Protocol& protocol) const {
  for (const Class* c = this; c; c = c->superclass()) {
    std::shared_lock lock(c->tables().mutex);
    for (const Protocol* p : c->tables().protocols)
      if (p == &protocol) return true;
  }
  return false;
}

// --- Protocols ------------------------------------------------------------------------------------

namespace {
struct ProtocolRegistry {
  std::mutex mutex;
  detail::StringMap<std::unique_ptr<Protocol>> byName;
};
ProtocolRegistry& protocolRegistry() {
  static ProtocolRegistry* registry = new ProtocolRegistry;  // lives for the whole process
  return *registry;
}
}  // namespace

const Protocol& Protocol::declare(std::string name, std::vector<Method> methods) {
  ProtocolRegistry& registry = protocolRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.byName.find(name);
  if (it != registry.byName.end()) return *it->second;
  std::unique_ptr<Protocol> protocol(new Protocol(name, std::move(methods)));
  const Protocol& result = *protocol;
  registry.byName.emplace(std::move(name), std::move(protocol));
  return result;
}

const Protocol* Protocol::named(std::string_view name) {
  ProtocolRegistry& registry = protocolRegistry();
  std::lock_guard lock(registry.mutex);
  auto it = registry.byName.find(name);
  return it == registry.byName.end() ? nullptr : it->second.get();
}

const Protocol::Method* Protocol::methodDescription(std::string_view selector, bool required) const {
  for (const Method& method : methods_)
    if (method.selector == selector && method.required == required) return &method;
  return nullptr;
}

void Class::addClassMethod(std::string selector, ClassMethodImp imp) const {
  auto shared = std::make_shared<const ClassMethodImp>(std::move(imp));
  std::unique_lock lock(tables_->mutex);
  tables_->classMethods[std::move(selector)] = std::move(shared);
}

ClassMethodImp Class::classMethodForSelector(std::string_view selector) const {
  auto imp = findClassMethod(this, selector);
  return imp ? *imp : ClassMethodImp();
}

bool Class::respondsToSelector(std::string_view selector) const { return findClassMethod(this, selector) != nullptr; }

Value Class::perform(std::string_view selector, const std::vector<Value>& args) const {
  checkArguments(selector, args);
  auto imp = findClassMethod(this, selector);
  if (!imp)
    Exception::raise(kInvalidArgumentException, "+[" + name_ + " " + std::string(selector) +
                                                    "]: unrecognized selector sent to class " + addressText(this));
  return (*imp)(*this, args);
}

// --- Object: methods by name ----------------------------------------------------------------------

bool Object::respondsToSelector(std::string_view selector) const {
  if (auto answer = findMethod(&actualClass(), "respondsToSelector:"))
    return (*answer)(const_cast<Object&>(*this), {Value(selector)}).asBool();
  return actualClass().instancesRespondToSelector(selector);
}

Value Object::perform(std::string_view selector) { return perform(selector, std::vector<Value>{}); }

Value Object::perform(std::string_view selector, const std::vector<Value>& args) {
  checkArguments(selector, args);
  auto imp = findMethod(&actualClass(), selector);
  if (!imp) return forwardInvocation(selector, args);
  return (*imp)(*this, args);
}

Value Object::forwardInvocation(std::string_view selector, const std::vector<Value>&) {
  Exception::raise(kInvalidArgumentException, "-[" + objectClass().name() + " " + std::string(selector) +
                                                  "]: unrecognized selector sent to instance " + addressText(this));
}

}  // namespace platform
