#include "reactive/bridges/RFSelectorSignal.h"

#include <map>
#include <set>
#include <unordered_map>

#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFEvent.h"
#include "reactive/RFSubject.h"

// --- Arguments and results --------------------------------------------------------------------------

RFTuplePtr rf_argumentsTuple(const std::vector<platform::Value>& arguments) {
  platform::ValueArray items;
  items.reserve(arguments.size());
  for (const platform::Value& argument : arguments)
    items.push_back(argument.isNil() ? RFTupleNil::tupleNilValue() : argument);
  return RFTuple::tupleWithObjectsFromArray(items);
}

std::vector<platform::Value> rf_argumentsFromTuple(const RFTuplePtr& tuple) {
  std::vector<platform::Value> arguments;
  if (!tuple) return arguments;
  for (std::size_t i = 0; i < tuple->count(); ++i) arguments.push_back(tuple->objectAtIndex(i));
  return arguments;
}

platform::Value rf_returnValue(const platform::Value& result,
                               const std::optional<platform::MethodSignature>& signature) {
  if (signature && !signature->returnsValue()) return RFUnit::unitValue();
  return result;
}

// --- Patching -----------------------------------------------------------------------------------

namespace {

// What was done to one class, under the process-wide lock below.
struct ClassPatch {
  std::set<std::string, std::less<>> intercepted;
  // Selectors added without an implementation of their own: only objects with a signal answer.
  std::set<std::string, std::less<>> withoutImplementation;
  bool answersRespondsToSelector = false;
};

struct Patches {
  platform::Mutex lock;
  std::unordered_map<const platform::Class*, ClassPatch> classes ZORVEL_GUARDED_BY(lock);
  // Alias names by selector: their addresses key the objects' subjects.
  std::set<std::string, std::less<>> aliases ZORVEL_GUARDED_BY(lock);
};

Patches& patches() {
  static Patches* instance = new Patches;  // lives for the whole process
  return *instance;
}

// The association key of the selector's subject ("rf_alias_" + selector), stable for the process.
const void* aliasKey(std::string_view selector) {
  Patches& p = patches();
  platform::MutexLock lock(p.lock);
  std::string alias = "rf_alias_" + std::string(selector);
  auto it = p.aliases.find(alias);
  if (it == p.aliases.end()) it = p.aliases.insert(std::move(alias)).first;
  return &*it;
}

RFSubjectPtr subjectFor(const platform::Object& object, const void* key) {
  return object.associatedObject(key).as<RFSubject>();
}

// The class to patch for the object (see the header), made and set when needed. Under the lock.
const platform::Class* classToPatch(platform::Object& object) {
  const platform::Class& stated = object.objectClass();
  const platform::Class& actual = object.actualClass();
  std::string ours = stated.name() + std::string(kRFSelectorSignalSubclassSuffix);
  if (&actual != &stated) return &actual;  // ours, or someone else's replacement patched in place
  const platform::Class* subclass = platform::Class::named(ours);
  if (!subclass) subclass = platform::Class::allocateClass(ours, actual);
  if (!subclass) return nullptr;
  object.setActualClass(*subclass);
  return subclass;
}

// Lets the class answer respondsToSelector for selectors added without an implementation.
void answerRespondsToSelector(const platform::Class& cls, ClassPatch& patch) {
  if (patch.answersRespondsToSelector) return;
  patch.answersRespondsToSelector = true;
  platform::MethodImp previous = cls.methodForSelector("respondsToSelector:");
  const platform::Class* patched = &cls;
  cls.addMethod("respondsToSelector:",
                [patched, previous](platform::Object& self, const std::vector<platform::Value>& args) {
                  const std::string& selector = args.empty() ? std::string() : args[0].asString();
                  bool added;
                  {
                    Patches& p = patches();
                    platform::MutexLock lock(p.lock);
                    const ClassPatch& patch = p.classes[patched];
                    added = patch.withoutImplementation.count(selector) > 0;
                  }
                  if (added) return platform::Value(subjectFor(self, aliasKey(selector)) != nullptr);
                  if (previous) return previous(self, args);
                  return platform::Value(self.actualClass().instancesRespondToSelector(selector));
                });
}

}  // namespace

RFSignalPtr rf_signalForSelector(platform::Object& object, std::string_view selector) {
  return rf_signalForSelector(object, selector, nullptr);
}

RFSignalPtr rf_signalForSelector(platform::Object& object, std::string_view selectorView,
                                 const platform::Protocol* protocol) {
  std::string selector(selectorView);
  const void* key = aliasKey(selector);
  platform::MutexLock objectLock(object.monitor());
  if (RFSubjectPtr existing = subjectFor(object, key)) return existing;

  Patches& p = patches();
  platform::MutexLock lock(p.lock);
  const platform::Class* cls = classToPatch(object);
  if (!cls) return RFSignal::never();
  ClassPatch& patch = p.classes[cls];
  bool intercepted = patch.intercepted.count(selector) > 0;
  platform::MethodImp prior = intercepted ? platform::MethodImp() : cls->methodForSelector(selector);
  std::optional<platform::MethodSignature> signature;
  if (!intercepted && !prior) {
    if (protocol) {
      const platform::Protocol::Method* description = protocol->methodDescription(selector, false);
      if (!description) description = protocol->methodDescription(selector, true);
      if (!description) {
        lock.unlock();
        platform::Value userInfo = platform::Value::dictionary(
            {{std::string(platform::kLocalizedDescriptionKey),
              platform::Value(platform::format("The protocol %@ does not declare %@", protocol->name(), selector))}});
        return RFSignal::error(platform::Error::make(std::string(kRFSelectorSignalErrorDomain),
                                                     kRFSelectorSignalErrorNotInProtocol, userInfo));
      }
      signature = description->signature;
    } else {
      // No result, every argument an object.
      signature =
          platform::MethodSignature{"v", std::vector<std::string>(platform::selectorArgumentCount(selector), "@")};
    }
  }

  RFSubjectPtr subject = RFSubject::subject();
  if (rf_debugNamesEnabled())
    subject->setName(platform::format("%@ -rf_signalForSelector: %s", rf_description(object), selector));
  object.setAssociatedObject(key, platform::Value(subject));
  rf_addDeallocDisposable(object, RFDisposable::disposableWithBlock([subject] { subject->sendCompleted(); }));

  if (!intercepted) {
    bool hasImplementation = static_cast<bool>(prior);
    if (signature) cls->setMethodSignature(selector, *signature);
    if (!hasImplementation) patch.withoutImplementation.insert(selector);
    patch.intercepted.insert(selector);
    answerRespondsToSelector(*cls, patch);
    cls->interceptMethod(
        selector, [selector, key, hasImplementation](platform::Object& self, const std::vector<platform::Value>& args,
                                                     const platform::MethodImp& callThrough) {
          platform::Value result;
          if (hasImplementation) result = callThrough(self, args);
          RFSubjectPtr caught = subjectFor(self, key);
          if (caught) caught->sendNext(platform::Value(rf_argumentsTuple(args)));
          if (!hasImplementation && !caught) return self.forwardInvocation(selector, args);
          return result;
        });
  }
  return subject;
}

// --- RFDelegateProxy ----------------------------------------------------------------------------

std::shared_ptr<RFDelegateProxy> RFDelegateProxy::proxyWithProtocol(const platform::Protocol& protocol) {
  staticClass().addProtocol(protocol);
  auto proxy = platform::make<RFDelegateProxy>();
  proxy->protocol_ = &protocol;
  return proxy;
}

platform::ObjectPtr RFDelegateProxy::proxiedDelegate() const {
  platform::MutexLock lock(lock_);
  return delegate_.lock();
}

void RFDelegateProxy::setProxiedDelegate(const platform::ObjectPtr& delegate) {
  platform::MutexLock lock(lock_);
  delegate_ = delegate;
}

RFSignalPtr RFDelegateProxy::signalForSelector(std::string_view selector) {
  return rf_signalForSelector(*this, selector, protocol_);
}

bool RFDelegateProxy::respondsToSelector(std::string_view selector) const {
  platform::ObjectPtr delegate = proxiedDelegate();
  if (delegate && delegate->respondsToSelector(selector)) return true;
  return Object::respondsToSelector(selector);
}

platform::Value RFDelegateProxy::forwardInvocation(std::string_view selector,
                                                   const std::vector<platform::Value>& args) {
  platform::ObjectPtr delegate = proxiedDelegate();
  if (!delegate) return {};
  return delegate->perform(selector, args);
}
