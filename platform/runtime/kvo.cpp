#include "platform/runtime/kvo.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <thread>

#include "platform/runtime/error.h"
#include "platform/runtime/object_internal.h"

namespace platform {

Value KeyValueChange::dictionary() const {
  ValueDictionary d;
  d.set(std::string(kKeyValueChangeKindKey), Value(static_cast<std::int64_t>(kind)));
  if (!newValue.isNil()) d.set(std::string(kKeyValueChangeNewKey), newValue);
  if (!oldValue.isNil()) d.set(std::string(kKeyValueChangeOldKey), oldValue);
  if (!indexes.empty()) {
    ValueArray list;
    for (std::size_t i : indexes) list.emplace_back(static_cast<std::uint64_t>(i));
    d.set(std::string(kKeyValueChangeIndexesKey), Value(std::move(list)));
  }
  if (isPrior) d.set(std::string(kKeyValueChangeNotificationIsPriorKey), Value(true));
  return Value(std::move(d));
}

namespace detail {

// One registration on one object. A registration of a dotted path ("a.b.c") on X is a root
// observing "a" on X, plus a child observing "b.c" on X.a, re-made whenever X.a changes; every
// level delivers to the root's observer.
struct Observation {
  // This level.
  Object* target = nullptr;  // the object whose table holds this observation
  std::string path;          // key path relative to target
  std::string first;         // its first component
  std::string rest;          // the remainder ("" for the last component)
  unsigned options = 0;

  // The root (the user's registration). For the root itself `root` is empty and `isRoot` true.
  bool isRoot = false;
  std::weak_ptr<Observation> root;
  std::string rootKeyPath;
  const KeyValueObserver* observerId = nullptr;
  std::weak_ptr<KeyValueObserver> observer;
  void* context = nullptr;
  Object* rootTarget = nullptr;
  std::weak_ptr<Object> rootTargetWeak;
  bool rootTargetShared = false;  // owned by a shared_ptr, so rootTargetWeak tells if it is alive
  std::atomic<bool> active{true};

  // The child on the current value of `first` (dotted paths only).
  std::mutex childMutex;
  std::shared_ptr<Observation> child;
  std::weak_ptr<Object> childTarget;

  // Dependent keys of `first`: the plain keys affecting it (transitively), matched when they
  // change on `target`; fixed before the observation is listed.
  std::vector<std::string> affectingKeys;
  // One forwarder per dotted key path affecting `first`, registered on `target` (under childMutex).
  std::vector<std::pair<std::string, std::shared_ptr<KeyValueObserver>>> forwarders;
  bool forwardersDropped = false;
};

namespace {

std::string addressText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::shared_ptr<Observation> rootOf(const std::shared_ptr<Observation>& o) { return o->isRoot ? o : o->root.lock(); }

void deliver(const std::shared_ptr<Observation>& level, const KeyValueChange& change) {
  std::shared_ptr<Observation> root = rootOf(level);
  if (!root || !root->active.load(std::memory_order_acquire)) return;
  std::shared_ptr<KeyValueObserver> observer = root->observer.lock();
  if (!observer) return;
  ObjectPtr keepTarget;
  if (level != root && root->rootTargetShared) {
    // Delivery caused by an intermediate object: the root's object must still be alive.
    keepTarget = root->rootTargetWeak.lock();
    if (!keepTarget) return;
  }
  observer->observeValueForKeyPath(root->rootKeyPath, *root->rootTarget, change, root->context);
}

void addToTable(Object& object, std::shared_ptr<Observation> observation) {
  ObjectExtras& x = ObjectAccess::extras(object);
  std::lock_guard lock(x.mutex);
  x.observations.push_back(std::move(observation));
  x.observationCount.fetch_add(1, std::memory_order_release);
}

void removeFromTable(Object& object, const Observation* observation) {
  ObjectExtras* x = ObjectAccess::extrasIfAny(object);
  if (!x) return;
  std::shared_ptr<Observation> removed;  // released outside the lock
  std::lock_guard lock(x->mutex);
  auto it = std::find_if(x->observations.begin(), x->observations.end(),
                         [&](const auto& o) { return o.get() == observation; });
  if (it != x->observations.end()) {
    removed = std::move(*it);
    x->observations.erase(it);
    x->observationCount.fetch_sub(1, std::memory_order_release);
  }
}

void dropForwarders(Observation& o, Object* target);

void detachChild(Observation& o) {
  std::shared_ptr<Observation> child;
  std::weak_ptr<Object> childTarget;
  {
    std::lock_guard lock(o.childMutex);
    child = std::move(o.child);
    childTarget = std::move(o.childTarget);
  }
  if (!child) return;
  detachChild(*child);
  ObjectPtr target = childTarget.lock();
  if (target) removeFromTable(*target, child.get());
  dropForwarders(*child, target.get());
}

// --- Dependent keys --------------------------------------------------------------------------------

std::string capitalized(std::string_view key) {
  std::string out(key);
  if (!out.empty()) out[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(out[0])));
  return out;
}

// The root class's answer to the general form: the class's "keyPathsForValuesAffecting<Key>".
Value defaultKeyPathsForValuesAffecting(const Class& cls, const std::vector<Value>& args) {
  if (args.size() != 1 || !args[0].isString()) return Value();
  const std::string& key = args[0].asString();
  if (key.empty() || key.find(':') != std::string::npos) return Value();
  std::string selector = "keyPathsForValuesAffecting" + capitalized(key);
  if (!cls.respondsToSelector(selector)) return Value();
  return cls.perform(selector, {});
}

bool registerDefaultKeyPathsForValuesAffecting() {
  static const bool registered = [] {
    Object::staticClass().addClassMethod(std::string(kKeyPathsForValuesAffectingValueForKeySelector),
                                         defaultKeyPathsForValuesAffecting);
    return true;
  }();
  return registered;
}
[[maybe_unused]] const bool kDefaultKeyPathsRegistered = registerDefaultKeyPathsForValuesAffecting();

struct Dependents {
  std::vector<std::string> keys;   // plain keys, matched by name
  std::vector<std::string> paths;  // dotted key paths, followed by forwarders
};

// Everything that affects `key` of `cls`, following plain keys transitively (each name once, so
// cycles end).
Dependents dependentsOf(const Class& cls, const std::string& key) {
  Dependents out;
  std::set<std::string, std::less<>> seen{key};
  std::vector<std::string> pending{key};
  while (!pending.empty()) {
    std::string next = std::move(pending.back());
    pending.pop_back();
    for (const Value& path : keyPathsForValuesAffectingValueForKey(cls, next)) {
      const std::string& text = path.asString();
      if (text.empty() || !seen.insert(text).second) continue;
      if (text.find('.') == std::string::npos) {
        out.keys.push_back(text);
        pending.push_back(text);
      } else {
        out.paths.push_back(text);
      }
    }
  }
  return out;
}

// Takes one registration off the object's table without raising when it is not there, and
// detaches everything made for it.
void unregister(Object& object, const KeyValueObserver* observer, std::string_view keyPath);

void dropForwarders(Observation& o, Object* target) {
  std::vector<std::pair<std::string, std::shared_ptr<KeyValueObserver>>> forwarders;
  {
    std::lock_guard lock(o.childMutex);
    o.forwardersDropped = true;
    forwarders.swap(o.forwarders);
  }
  if (!target) return;  // the object is gone, and its table with it
  for (const auto& [path, forwarder] : forwarders) unregister(*target, forwarder.get(), path);
}

struct PendingEntry;
bool beginEntry(const std::shared_ptr<Observation>& o, KeyValueChangeKind kind, const IndexSet& indexes,
                PendingEntry& entry);
void finishEntry(PendingEntry& entry);

// Observes one dotted key path affecting an observation's key, and turns each change of it into
// a change of that key for that observation alone (so two observers of the key still hear once).
// The first half of a change waits here, per thread, for its second half; a forwarder dropped in
// between takes it along.
class DependentPathForwarder final : public KeyValueObserver {
 public:
  explicit DependentPathForwarder(std::weak_ptr<Observation> owner) : owner_(std::move(owner)) {}
  void observeValueForKeyPath(std::string_view, Object&, const KeyValueChange& change, void*) override;

 private:
  std::weak_ptr<Observation> owner_;
  std::mutex mutex_;
  std::vector<std::pair<std::thread::id, std::shared_ptr<PendingEntry>>> pending_;  // innermost last
};

// The (object, key) pairs whose forwarders this thread is registering: an affecting path that
// leads back to one of them is not followed again, so cyclic declarations end.
thread_local std::vector<std::pair<const Object*, std::string>> tRegisteringForwarders;

void attachForwarders(const std::shared_ptr<Observation>& o, Object& target, const std::vector<std::string>& paths) {
  if (paths.empty()) return;
  std::pair<const Object*, std::string> marker{&target, o->first};
  if (std::find(tRegisteringForwarders.begin(), tRegisteringForwarders.end(), marker) != tRegisteringForwarders.end())
    return;
  tRegisteringForwarders.push_back(marker);
  std::vector<std::pair<std::string, std::shared_ptr<KeyValueObserver>>> made;
  try {
    for (const std::string& path : paths) {
      auto forwarder = std::make_shared<DependentPathForwarder>(o);
      target.addObserver(forwarder, path, ObservePrior);
      made.emplace_back(path, std::move(forwarder));
    }
  } catch (...) {
    tRegisteringForwarders.pop_back();
    for (const auto& [path, forwarder] : made) unregister(target, forwarder.get(), path);
    throw;
  }
  tRegisteringForwarders.pop_back();
  bool dropped;
  {
    std::lock_guard lock(o->childMutex);
    dropped = o->forwardersDropped;
    if (!dropped) o->forwarders = std::move(made);
  }
  // Removed meanwhile by another thread: take back what was just registered.
  if (dropped)
    for (const auto& [path, forwarder] : made) unregister(target, forwarder.get(), path);
}

void attachChild(const std::shared_ptr<Observation>& o) {
  if (o->rest.empty()) return;
  Value head = o->target->valueForKey(o->first);
  ObjectPtr next = head.isObject() ? head.asObject() : nullptr;
  std::shared_ptr<Observation> root = rootOf(o);
  if (!next || !root) return;

  auto child = std::make_shared<Observation>();
  child->target = next.get();
  child->path = o->rest;
  std::size_t dot = child->path.find('.');
  child->first = child->path.substr(0, dot);
  child->rest = dot == std::string::npos ? std::string() : child->path.substr(dot + 1);
  child->options = o->options & ~static_cast<unsigned>(ObserveInitial);
  child->root = root;
  Dependents dependents = dependentsOf(next->actualClass(), child->first);
  child->affectingKeys = std::move(dependents.keys);

  std::shared_ptr<Observation> replaced;
  std::weak_ptr<Object> replacedTarget;
  {
    std::lock_guard lock(o->childMutex);
    if (!root->active.load(std::memory_order_acquire)) return;
    replaced = std::exchange(o->child, child);
    replacedTarget = std::exchange(o->childTarget, next);
    addToTable(*next, child);
  }
  if (replaced) {
    detachChild(*replaced);
    ObjectPtr t = replacedTarget.lock();
    if (t) removeFromTable(*t, replaced.get());
    dropForwarders(*replaced, t.get());
  }
  attachForwarders(child, *next, dependents.paths);
  attachChild(child);
}

Value nilAsNull(Value v) { return v.isNil() ? Value::null() : v; }

Value elementsAt(const Value& array, const IndexSet& indexes) {
  ValueArray out;
  for (std::size_t i : indexes)
    if (i < array.count()) out.push_back(array[i]);
  return Value(std::move(out));
}

// The value an observation reports for its level: the whole remaining path for settings, the
// affected elements for indexed changes of its last component.
Value observedValue(const Observation& o, KeyValueChangeKind kind, const IndexSet& indexes) {
  if (kind != KeyValueChangeKind::Setting && o.rest.empty()) return elementsAt(o.target->valueForKey(o.first), indexes);
  return nilAsNull(o.target->valueForKeyPath(o.path));
}

struct PendingEntry {
  std::shared_ptr<Observation> observation;
  KeyValueChange change;
};
// One will-change waiting for its did-change.
struct PendingChange {
  const Object* object;
  std::string key;
  std::vector<PendingEntry> entries;
};
thread_local std::vector<PendingChange> tPending;

// The first half of a change for one observation: the old value, the prior notification, and
// the child let go until the change is done. Dependent keys change as a whole (kind Setting).
bool beginEntry(const std::shared_ptr<Observation>& o, KeyValueChangeKind kind, const IndexSet& indexes,
                PendingEntry& entry) {
  std::shared_ptr<Observation> root = rootOf(o);
  if (!root || !root->active.load(std::memory_order_acquire)) return false;
  KeyValueChange change;
  change.kind = kind;
  change.indexes = indexes;
  if (kind != KeyValueChangeKind::Insertion && (o->options & ObserveOld))
    change.oldValue = observedValue(*o, kind, indexes);
  if (o->options & ObservePrior) {
    KeyValueChange prior = change;
    prior.isPrior = true;
    deliver(o, prior);
  }
  detachChild(*o);
  entry = {o, std::move(change)};
  return true;
}

void finishEntry(PendingEntry& entry) {
  const std::shared_ptr<Observation>& o = entry.observation;
  std::shared_ptr<Observation> root = rootOf(o);
  if (!root || !root->active.load(std::memory_order_acquire)) return;
  attachChild(o);
  KeyValueChange& change = entry.change;
  if (change.kind != KeyValueChangeKind::Removal && (o->options & ObserveNew))
    change.newValue = observedValue(*o, change.kind, change.indexes);
  deliver(o, change);
}

// The (object, key) pairs whose announcements this thread does not pass on.
thread_local std::vector<std::pair<const Object*, std::string>> tAbsorbed;

bool absorbed(const Object& object, std::string_view key) {
  for (const auto& [o, k] : tAbsorbed)
    if (o == &object && k == key) return true;
  return false;
}

void willChangeImpl(Object& object, std::string_view key, KeyValueChangeKind kind, const IndexSet& indexes) {
  if (!tAbsorbed.empty() && absorbed(object, key)) return;
  ObjectExtras* x = ObjectAccess::extrasIfAny(object);
  if (!x || x->observationCount.load(std::memory_order_acquire) == 0) return;
  std::vector<std::pair<std::shared_ptr<Observation>, bool>> matching;  // (observation, dependent)
  {
    std::lock_guard lock(x->mutex);
    for (const auto& o : x->observations) {
      if (o->first == key)
        matching.emplace_back(o, false);
      else if (std::find(o->affectingKeys.begin(), o->affectingKeys.end(), key) != o->affectingKeys.end())
        matching.emplace_back(o, true);
    }
  }
  if (matching.empty()) return;
  PendingChange pending{&object, std::string(key), {}};
  for (auto& [o, dependent] : matching) {
    PendingEntry entry;
    if (beginEntry(o, dependent ? KeyValueChangeKind::Setting : kind, dependent ? IndexSet{} : indexes, entry))
      pending.entries.push_back(std::move(entry));
  }
  tPending.push_back(std::move(pending));
}

void didChangeImpl(Object& object, std::string_view key, KeyValueChangeKind kind, const IndexSet& indexes) {
  if (tPending.empty()) return;
  if (!tAbsorbed.empty() && absorbed(object, key)) return;
  auto it = std::find_if(tPending.rbegin(), tPending.rend(),
                         [&](const PendingChange& p) { return p.object == &object && p.key == key; });
  if (it == tPending.rend()) return;
  PendingChange pending = std::move(*it);
  tPending.erase(std::next(it).base());
  for (auto& entry : pending.entries) {
    // The did-change names the kind and indexes; a dependent key still changed as a whole.
    if (entry.observation->first == key) {
      entry.change.kind = kind;
      entry.change.indexes = indexes;
    }
    finishEntry(entry);
  }
}

void DependentPathForwarder::observeValueForKeyPath(std::string_view, Object&, const KeyValueChange& change, void*) {
  const std::thread::id thread = std::this_thread::get_id();
  if (change.isPrior) {
    std::shared_ptr<Observation> o = owner_.lock();
    auto entry = std::make_shared<PendingEntry>();
    if (!o || !beginEntry(o, KeyValueChangeKind::Setting, {}, *entry)) entry.reset();
    std::lock_guard lock(mutex_);
    pending_.emplace_back(thread, std::move(entry));
    return;
  }
  std::shared_ptr<PendingEntry> entry;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(pending_.rbegin(), pending_.rend(), [&](const auto& p) { return p.first == thread; });
    if (it == pending_.rend()) return;
    entry = std::move(it->second);
    pending_.erase(std::next(it).base());
  }
  if (entry) finishEntry(*entry);
}

std::string observerText(const KeyValueObserver* observer) {
  if (auto* object = dynamic_cast<const Object*>(observer))
    return "<" + object->objectClass().name() + " " + addressText(object) + ">";
  return "<KeyValueObserver " + addressText(observer) + ">";
}

}  // namespace

KeyValueChangeAbsorber::KeyValueChangeAbsorber(const Object& object, std::string key) {
  tAbsorbed.emplace_back(&object, std::move(key));
}

KeyValueChangeAbsorber::~KeyValueChangeAbsorber() { tAbsorbed.pop_back(); }

void detachAllObservations(ObjectExtras& extras) {
  std::vector<std::shared_ptr<Observation>> observations;
  {
    std::lock_guard lock(extras.mutex);
    observations.swap(extras.observations);
    extras.observationCount.store(0, std::memory_order_release);
  }
  for (auto& o : observations) {
    if (o->isRoot) o->active.store(false, std::memory_order_release);
    detachChild(*o);
    dropForwarders(*o, nullptr);  // they are registered on this same object, listed above
  }
}

}  // namespace detail

// --- Object: key-value observing ------------------------------------------------------------------

void Object::addObserver(const std::shared_ptr<KeyValueObserver>& observer, std::string_view keyPath, unsigned options,
                         void* context) {
  if (!observer) Exception::raise(kInvalidArgumentException, "addObserver: the observer is nil");
  if (keyPath.empty()) Exception::raise(kInvalidArgumentException, "addObserver: the key path is empty");
  auto o = std::make_shared<detail::Observation>();
  o->target = this;
  o->path = std::string(keyPath);
  std::size_t dot = o->path.find('.');
  o->first = o->path.substr(0, dot);
  o->rest = dot == std::string::npos ? std::string() : o->path.substr(dot + 1);
  o->options = options;
  o->isRoot = true;
  o->rootKeyPath = o->path;
  o->observerId = observer.get();
  o->observer = observer;
  o->context = context;
  o->rootTarget = this;
  o->rootTargetWeak = weak_from_this();
  o->rootTargetShared = !o->rootTargetWeak.expired();
  detail::Dependents dependents = detail::dependentsOf(actualClass(), o->first);
  o->affectingKeys = std::move(dependents.keys);
  detail::addToTable(*this, o);
  detail::attachForwarders(o, *this, dependents.paths);
  detail::attachChild(o);
  if (options & ObserveInitial) {
    KeyValueChange change;
    if (options & ObserveNew) change.newValue = detail::nilAsNull(valueForKeyPath(keyPath));
    detail::deliver(o, change);
  }
}

namespace detail {
namespace {
// Removes the most recent root registration matching observer, key path and (unless any) context.
std::shared_ptr<Observation> takeRegistration(ObjectExtras* x, const KeyValueObserver* observer,
                                              std::string_view keyPath, void* context, bool anyContext) {
  if (!x) return nullptr;
  std::lock_guard lock(x->mutex);
  for (auto it = x->observations.rbegin(); it != x->observations.rend(); ++it) {
    const auto& o = *it;
    if (o->isRoot && o->observerId == observer && o->rootKeyPath == keyPath && (anyContext || o->context == context)) {
      std::shared_ptr<Observation> removed = *it;
      x->observations.erase(std::next(it).base());
      x->observationCount.fetch_sub(1, std::memory_order_release);
      return removed;
    }
  }
  return nullptr;
}

void unregister(Object& object, const KeyValueObserver* observer, std::string_view keyPath) {
  std::shared_ptr<Observation> removed =
      takeRegistration(ObjectAccess::extrasIfAny(object), observer, keyPath, nullptr, true);
  if (!removed) return;
  removed->active.store(false, std::memory_order_release);
  detachChild(*removed);
  dropForwarders(*removed, &object);
}
}  // namespace
}  // namespace detail

ValueSet keyPathsForValuesAffectingValueForKey(const Class& cls, std::string_view key) {
  detail::registerDefaultKeyPathsForValuesAffecting();
  Value answer = cls.perform(kKeyPathsForValuesAffectingValueForKeySelector, {Value(key)});
  ValueSet paths;
  auto add = [&](const Value& v) {
    if (v.isString()) paths.insert(v);
  };
  if (answer.type() == Value::Type::Set) {
    for (const Value& v : answer.asSet()) add(v);
  } else if (answer.type() == Value::Type::Array) {
    for (const Value& v : answer.asArray()) add(v);
  }
  return paths;
}

void Object::removeObserver(const KeyValueObserver* observer, std::string_view keyPath, void* context) {
  removeObserverMatching(observer, keyPath, context, false);
}

void Object::removeObserver(const KeyValueObserver* observer, std::string_view keyPath) {
  removeObserverMatching(observer, keyPath, nullptr, true);
}

void Object::removeObserverMatching(const KeyValueObserver* observer, std::string_view keyPath, void* context,
                                    bool anyContext) {
  std::shared_ptr<detail::Observation> removed =
      detail::takeRegistration(extrasIfAny(), observer, keyPath, context, anyContext);
  if (!removed)
    Exception::raise(kRangeException, "Cannot remove an observer " + detail::observerText(observer) +
                                          " for the key path \"" + std::string(keyPath) + "\" from " +
                                          shortDescription() + " because it is not registered as an observer.");
  removed->active.store(false, std::memory_order_release);
  detail::detachChild(*removed);
  detail::dropForwarders(*removed, this);
}

bool Object::automaticallyNotifiesObserversForKey(std::string_view) const { return true; }

void Object::willChangeValueForKey(std::string_view key) {
  detail::willChangeImpl(*this, key, KeyValueChangeKind::Setting, {});
}

void Object::didChangeValueForKey(std::string_view key) {
  detail::didChangeImpl(*this, key, KeyValueChangeKind::Setting, {});
}

void Object::willChange(KeyValueChangeKind kind, const IndexSet& indexes, std::string_view key) {
  detail::willChangeImpl(*this, key, kind, indexes);
}

void Object::didChange(KeyValueChangeKind kind, const IndexSet& indexes, std::string_view key) {
  detail::didChangeImpl(*this, key, kind, indexes);
}

}  // namespace platform
