#pragma once

#ifndef ZORVEL_INTERNAL_model
#error "model/MFModelInternal.h is internal to the model framework"
#endif

// What the model framework's sources share and nobody else needs: the per-class caches (entries
// are made once per class, filled on first use and never invalidated; any thread may read and fill
// them) and the test of a value's class.

#include <memory>
#include <string>
#include <vector>

#include "model/MFModel.h"
#include "platform/system/locks.h"

namespace mf_detail {

struct StorageSets {
  std::vector<std::string> transitory;
  std::vector<std::string> permanent;
  std::vector<std::string> valueKeys;  // transitory and permanent, in property-key order
};

// One cached value, computed by whichever thread asks first (outside the lock, since computing may
// ask other class-level questions) and kept by the first to store it. A mutex rather than an atomic
// shared_ptr: the library's lock-free form hands references between threads without the ordering
// a reader needs to see the value it points to.
template <class T>
class CachedValue {
 public:
  std::shared_ptr<const T> get() const {
    platform::MutexLock lock(mutex_);
    return value_;
  }
  // Stores the value unless one is there already; returns the one kept.
  std::shared_ptr<const T> keepFirst(std::shared_ptr<const T> value) {
    platform::MutexLock lock(mutex_);
    if (!value_) value_ = std::move(value);
    return value_;
  }

 private:
  mutable platform::Mutex mutex_;
  std::shared_ptr<const T> value_ ZORVEL_GUARDED_BY(mutex_);
};

struct ModelClassCache {
  CachedValue<MFModel> prototype;
  CachedValue<std::vector<std::string>> propertyKeys;
  CachedValue<StorageSets> storage;
  CachedValue<MFAllowedClassesByKey> allowedSecureCodingClasses;
};

ModelClassCache& cacheFor(const platform::Class& cls);

}  // namespace mf_detail

// True when a value is an instance of `cls`: objects by class, plain values by the class of their
// kind (NSString, NSNumber...; numbers are also NSValue, see MFValueClass).
bool mf_valueIsKindOfClass(const platform::Value& value, const platform::Class& cls);
