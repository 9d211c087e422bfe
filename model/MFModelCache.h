#pragma once

// Per-class caches of the model framework (internal). Entries are made once per class, filled on
// first use and never invalidated; any thread may read and fill them.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "model/MFModel.h"

namespace mf_detail {

struct StorageSets {
  std::vector<std::string> transitory;
  std::vector<std::string> permanent;
  std::vector<std::string> valueKeys;  // transitory and permanent, in property-key order
};

struct ModelClassCache {
  std::atomic<std::shared_ptr<const MFModel>> prototype;
  std::atomic<std::shared_ptr<const std::vector<std::string>>> propertyKeys;
  std::atomic<std::shared_ptr<const StorageSets>> storage;
  std::atomic<std::shared_ptr<const MFAllowedClassesByKey>> allowedSecureCodingClasses;
};

ModelClassCache& cacheFor(const platform::Class& cls);

}  // namespace mf_detail
