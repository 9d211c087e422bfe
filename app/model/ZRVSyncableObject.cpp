#include "app/model/ZRVSyncableObject.h"

#include <algorithm>
#include <unordered_map>

#include "platform/runtime/kvo.h"
#include "platform/system/locks.h"

using platform::Class;
using platform::Value;
using platform::ValueDictionary;

struct ZRVSyncableObject::ClassInfo {
  const Class* cls = nullptr;
  NameSet monitored;
  KeyMapping localToCloud;
  KeyMapping cloudToLocal;
  NameSet cloudProperties;
};

namespace {

// Observers of "isImmutable" hear of every change of a monitored property.
bool declareImmutabilityDependencies() {
  ZRVSyncableObject::staticClass().addClassMethod(
      "keyPathsForValuesAffectingIsImmutable", [](const Class& cls, const std::vector<Value>&) {
        platform::ValueSet paths;
        for (const std::string& name : ZRVSyncableObject::monitoredPropertiesOfClass(cls)) paths.insert(Value(name));
        return Value(std::move(paths));
      });
  return true;
}
[[maybe_unused]] const bool kImmutabilityDependenciesDeclared = declareImmutabilityDependencies();

}  // namespace

// --- Immutability ----------------------------------------------------------------------------------

void ZRVSyncableObject::makeImmutable() { setAndNotify("isImmutable", immutable_, true); }

platform::Exception ZRVSyncableObject::immutableExceptionForKey(std::optional<std::string_view> key) const {
  std::string reason = "Attempting to mutate immutable object. Class = " + objectClass().name();
  if (key) reason += ", property = " + std::string(*key);
  Value userInfo = Value::dictionary(
      {{std::string(platform::kLocalizedRecoverySuggestionErrorKey),
        Value("To make modifications you should create a copy via [object copy]. You may then make changes to the "
              "copy before saving it back to the database.")}});
  return platform::Exception(std::string(ZRVDatabaseObjectException), std::move(reason), std::move(userInfo));
}

// --- Class-level answers ---------------------------------------------------------------------------

ZRVSyncableObject::NameSet ZRVSyncableObject::monitoredPropertiesOfClass(const Class& cls) {
  NameSet names;
  const Class& base = ZRVSyncableObject::staticClass();
  if (!cls.isSubclassOf(base)) return names;
  for (const Class* c = &cls; c && c != &base; c = c->superclass()) {
    for (const platform::Property* property : c->ownProperties()) names.insert(property->name());
  }
  return names;
}

ZRVSyncableObject::KeyMapping ZRVSyncableObject::buildLocalKeyToCloudKeyMappings() const {
  KeyMapping mapping;
  for (const std::string& name : monitoredPropertiesOfClass(objectClass())) mapping.emplace(name, name);
  return mapping;
}

std::vector<std::string> ZRVSyncableObject::propertyKeys() const {
  std::vector<std::string> keys = MFModel::propertyKeys();
  std::erase(keys, "isImmutable");
  return keys;
}

// Built by an instance whose dynamic type is the class asked about (objectClass() and the virtual
// functions agree, also inside constructors), and kept for the life of the process.
const ZRVSyncableObject::ClassInfo& ZRVSyncableObject::classInfoOf(const ZRVSyncableObject& instance) {
  // Never destroyed: instances may outlive static destruction.
  static platform::Mutex& mutex = *new platform::Mutex;
  static auto& infos ZORVEL_GUARDED_BY(mutex) = *new std::unordered_map<const Class*, std::unique_ptr<const ClassInfo>>;
  const Class* cls = &instance.objectClass();
  {
    platform::MutexLock lock(mutex);
    auto it = infos.find(cls);
    if (it != infos.end()) return *it->second;
  }
  // Built outside the lock: a subclass's mapping may ask for other classes' values.
  auto info = std::make_unique<ClassInfo>();
  info->cls = cls;
  info->monitored = monitoredPropertiesOfClass(*cls);
  info->localToCloud = instance.buildLocalKeyToCloudKeyMappings();
  for (const auto& [local, cloud] : info->localToCloud) {
    info->cloudToLocal[cloud] = local;
    info->cloudProperties.insert(cloud);
  }
  platform::MutexLock lock(mutex);
  auto [it, inserted] = infos.try_emplace(cls, std::move(info));
  return *it->second;  // entries are never replaced, so the reference stays valid
}

// While a subclass's constructor runs, the instance first has the classes of its ancestors: the
// kept pointer is used only while it is of the class the instance has now.
const ZRVSyncableObject::ClassInfo& ZRVSyncableObject::classInfo() const {
  const ClassInfo* info = classInfo_.load(std::memory_order_acquire);
  if (info && info->cls == &objectClass()) return *info;
  info = &classInfoOf(*this);
  classInfo_.store(info, std::memory_order_release);
  return *info;
}

const ZRVSyncableObject::NameSet& ZRVSyncableObject::monitoredProperties() const { return classInfo().monitored; }
const ZRVSyncableObject::KeyMapping& ZRVSyncableObject::mappings_localKeyToCloudKey() const {
  return classInfo().localToCloud;
}
const ZRVSyncableObject::KeyMapping& ZRVSyncableObject::mappings_cloudKeyToLocalKey() const {
  return classInfo().cloudToLocal;
}
const ZRVSyncableObject::NameSet& ZRVSyncableObject::allCloudProperties() const { return classInfo().cloudProperties; }

bool ZRVSyncableObject::isMonitored(std::string_view key) const { return classInfo().monitored.contains(key); }

// --- Change records --------------------------------------------------------------------------------

std::optional<ZRVSyncableObject::NameSet> ZRVSyncableObject::changedProperties() const {
  if (!changed_) return std::nullopt;
  NameSet names;
  const NameSet& monitored = monitoredProperties();
  std::copy_if(changed_->begin(), changed_->end(), std::inserter(names, names.end()),
               [&](const std::string& name) { return monitored.contains(name); });
  return names;
}

bool ZRVSyncableObject::hasChangedProperties() const { return changed_ && !changed_->empty(); }

void ZRVSyncableObject::clearChangedProperties() {
  changed_.reset();
  if (originals_) originals_.emplace();
}

std::optional<ZRVSyncableObject::NameSet> ZRVSyncableObject::changedCloudProperties() const {
  if (!changed_) return std::nullopt;
  NameSet fields;
  for (const std::string& name : *changed_) {
    if (auto cloud = cloudKeyForLocalKey(name)) fields.insert(*cloud);
  }
  return fields;
}

bool ZRVSyncableObject::hasChangedCloudProperties() const {
  if (!changed_) return false;
  return std::any_of(changed_->begin(), changed_->end(),
                     [&](const std::string& name) { return cloudKeyForLocalKey(name).has_value(); });
}

std::optional<ValueDictionary> ZRVSyncableObject::originalCloudValues() const {
  if (!storesOriginalCloudValues()) return std::nullopt;
  ValueDictionary values;
  if (originals_) {
    for (const auto& [field, value] : *originals_)
      if (!value.isNull()) values.set(field, value);
  }
  return values;
}

// --- Cloud fields ----------------------------------------------------------------------------------

std::optional<std::string> ZRVSyncableObject::cloudKeyForLocalKey(std::string_view localKey) const {
  const KeyMapping& mapping = mappings_localKeyToCloudKey();
  auto it = mapping.find(localKey);
  if (it == mapping.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> ZRVSyncableObject::localKeyForCloudKey(std::string_view cloudKey) const {
  const KeyMapping& mapping = mappings_cloudKeyToLocalKey();
  auto it = mapping.find(cloudKey);
  if (it == mapping.end()) return std::nullopt;
  return it->second;
}

Value ZRVSyncableObject::cloudValueForCloudKey(std::string_view cloudKey) const {
  return localValueForCloudKey(cloudKey);
}

Value ZRVSyncableObject::cloudValueForLocalKey(std::string_view localKey) const {
  std::optional<std::string> cloudKey = cloudKeyForLocalKey(localKey);
  return cloudKey ? cloudValueForCloudKey(*cloudKey) : Value();
}

Value ZRVSyncableObject::localValueForCloudKey(std::string_view cloudKey) const {
  std::optional<std::string> localKey = localKeyForCloudKey(cloudKey);
  return localKey ? valueForKey(*localKey) : Value();
}

Value ZRVSyncableObject::localValueForLocalKey(std::string_view localKey) const { return valueForKey(localKey); }

void ZRVSyncableObject::setLocalValueFromCloudValue(const Value& value, std::string_view cloudKey) {
  std::optional<std::string> localKey = localKeyForCloudKey(cloudKey);
  if (!localKey) return;
  Value local = value.isNull() ? Value() : value;
  // A number field that the record lacks leaves the property as it is (a scalar cannot be nil).
  const platform::Property* property = objectClass().property(*localKey);
  if (local.isNil() && property && property->isScalar()) return;
  setValueForKey(local, *localKey);
}

// --- Model framework -------------------------------------------------------------------------------

platform::ObjectPtr ZRVSyncableObject::copy() const {
  auto copy = std::static_pointer_cast<ZRVSyncableObject>(MFModel::copy());
  copy->immutable_ = false;
  copy->changed_ = changed_;
  copy->originals_ = originals_;
  return copy;
}

bool ZRVSyncableObject::initWithCoder(platform::KeyedUnarchiver& coder) {
  bool decoded = MFModel::initWithCoder(coder);
  changed_.reset();
  return decoded;
}

void ZRVSyncableObject::willChangeValueForKey(std::string_view key) {
  if (isMonitored(key)) {
    if (immutable_) throw immutableExceptionForKey(key);
    if (storesOriginalCloudValues()) {
      if (!originals_) originals_.emplace();
      std::optional<std::string> cloudKey = cloudKeyForLocalKey(key);
      if (cloudKey && allCloudProperties().contains(*cloudKey) && !originals_->contains(*cloudKey)) {
        // An empty value is remembered as the null marker (and never reported), so that a later
        // change does not take an intermediate local value for the cloud's original one.
        Value current = cloudValueForCloudKey(*cloudKey);
        originals_->set(*cloudKey, current.isNil() ? Value::null() : std::move(current));
      }
    }
  }
  MFModel::willChangeValueForKey(key);
}

void ZRVSyncableObject::didChangeValueForKey(std::string_view key) {
  if (isMonitored(key)) {
    if (!changed_) changed_.emplace();
    changed_->emplace(key);
  }
  MFModel::didChangeValueForKey(key);
}
