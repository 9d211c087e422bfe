#pragma once

#ifndef ZORVEL_INTERNAL_platform
#error "platform/object_internal.h is internal to the platform layer"
#endif

// Internal to the object runtime (object.cpp, properties.cpp, kvc.cpp, kvo.cpp, methods.cpp):
// the per-class tables and the per-object side table. Not for use elsewhere.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace platform::detail {

// What key-value coding uses for one key of one class: the nearest declaration (for reading)
// and the declarations that can write (setter, else storage), resolved once per class.
struct KeyAccess {
  const Property* getter = nullptr;
  const Property* setter = nullptr;   // nearest declaration with a setter
  const Property* storage = nullptr;  // nearest declaration with storage
};

struct ClassTables {
  mutable std::shared_mutex mutex;
  std::vector<std::unique_ptr<Property>> ownProperties;
  StringMap<std::shared_ptr<const MethodImp>> methods;
  StringMap<MethodSignature> signatures;
  std::vector<const Protocol*> protocols;
  StringMap<std::shared_ptr<const ClassMethodImp>> classMethods;
  StringMap<KeyValidator> validators;
  std::map<const void*, Value> associated;
  // Resolved key access, rebuilt when any class's properties change (propertyGeneration).
  StringMap<KeyAccess> keyCache;
  std::uint64_t keyCacheGeneration = 0;
  bool dynamic = false;
};

// Makes sure the root class and the classes of Value kinds are registered.
void registerBuiltinClasses();

// Bumped whenever a property is declared anywhere, so per-class caches know to rebuild.
std::uint64_t propertyGeneration();
void bumpPropertyGeneration();
// Key access for a key of a class (cached).
KeyAccess keyAccess(const Class& cls, std::string_view key);

struct Observation;

struct Association {
  Value strong;
  std::weak_ptr<Object> weak;
};

// Per-object state made on first need.
struct ObjectExtras {
  std::mutex mutex;  // guards everything below except the monitor
  std::vector<std::pair<DeallocHookToken, DeallocHook>> hooks;
  DeallocHookToken nextHookToken = 1;
  bool deallocating = false;
  std::map<const void*, Association> associations;
  std::recursive_mutex monitor;
  // Key-value observing: the registrations whose first key path component is observed on this
  // object (both the user's and those made for the rest of a dotted path).
  std::vector<std::shared_ptr<Observation>> observations;
  std::atomic<std::size_t> observationCount{0};
};

// Detaches every observation registered on the object (called as it goes away).
void detachAllObservations(ObjectExtras& extras);

// While it lives, announcements of changes of one key of one object made on this thread are not
// passed on (a mutable array proxy announces its own indexed change around the object's setter).
class KeyValueChangeAbsorber {
 public:
  KeyValueChangeAbsorber(const Object& object, std::string key);
  ~KeyValueChangeAbsorber();
  KeyValueChangeAbsorber(const KeyValueChangeAbsorber&) = delete;
  KeyValueChangeAbsorber& operator=(const KeyValueChangeAbsorber&) = delete;
};

}  // namespace platform::detail
