#include "platform/kvo.h"

#include <algorithm>
#include <cstdio>

#include "platform/error.h"
#include "platform/object_internal.h"

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
};

namespace {

std::string addressText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

std::shared_ptr<Observation> rootOf(const std::shared_ptr<Observation>& o) {
  return o->isRoot ? o : o->root.lock();
}

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
  if (ObjectPtr target = childTarget.lock()) removeFromTable(*target, child.get());
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
    if (ObjectPtr t = replacedTarget.lock()) removeFromTable(*t, replaced.get());
  }
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
  if (kind != KeyValueChangeKind::Setting && o.rest.empty())
    return elementsAt(o.target->valueForKey(o.first), indexes);
  return nilAsNull(o.target->valueForKeyPath(o.path));
}

struct PendingEntry {
  std::shared_ptr<Observation> observation;
  KeyValueChange change;
};
struct PendingChange {
  const Object* object;
  std::string key;
  std::vector<PendingEntry> entries;
};
thread_local std::vector<PendingChange> tPending;

void willChangeImpl(Object& object, std::string_view key, KeyValueChangeKind kind, const IndexSet& indexes) {
  ObjectExtras* x = ObjectAccess::extrasIfAny(object);
  if (!x || x->observationCount.load(std::memory_order_acquire) == 0) return;
  std::vector<std::shared_ptr<Observation>> matching;
  {
    std::lock_guard lock(x->mutex);
    for (const auto& o : x->observations)
      if (o->first == key) matching.push_back(o);
  }
  if (matching.empty()) return;
  PendingChange pending{&object, std::string(key), {}};
  for (auto& o : matching) {
    std::shared_ptr<Observation> root = rootOf(o);
    if (!root || !root->active.load(std::memory_order_acquire)) continue;
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
    pending.entries.push_back({o, std::move(change)});
  }
  tPending.push_back(std::move(pending));
}

void didChangeImpl(Object& object, std::string_view key, KeyValueChangeKind kind, const IndexSet& indexes) {
  if (tPending.empty()) return;
  auto it = std::find_if(tPending.rbegin(), tPending.rend(),
                         [&](const PendingChange& p) { return p.object == &object && p.key == key; });
  if (it == tPending.rend()) return;
  PendingChange pending = std::move(*it);
  tPending.erase(std::next(it).base());
  for (auto& [o, change] : pending.entries) {
    std::shared_ptr<Observation> root = rootOf(o);
    if (!root || !root->active.load(std::memory_order_acquire)) continue;
    attachChild(o);
    change.kind = kind;
    change.indexes = indexes;
    if (kind != KeyValueChangeKind::Removal && (o->options & ObserveNew))
      change.newValue = observedValue(*o, kind, indexes);
    deliver(o, change);
  }
}

std::string observerText(const KeyValueObserver* observer) {
  if (auto* object = dynamic_cast<const Object*>(observer))
    return "<" + object->objectClass().name() + " " + addressText(object) + ">";
  return "<KeyValueObserver " + addressText(observer) + ">";
}

}  // namespace

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
  }
}

}  // namespace detail

// --- Object: key-value observing ------------------------------------------------------------------

void Object::addObserver(const std::shared_ptr<KeyValueObserver>& observer, std::string_view keyPath,
                         unsigned options, void* context) {
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
  detail::addToTable(*this, o);
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
}  // namespace
}  // namespace detail

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
