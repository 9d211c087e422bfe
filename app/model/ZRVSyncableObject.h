#pragma once

// ZRVSyncableObject: base of every object the application keeps in its store. On top of MFModel:
//
//   - immutability: once makeImmutable() has run (the database manager calls it on every object
//     it stores or reads), a setter of a monitored property raises "STDatabaseObjectException"
//     and the property keeps its value. copy() gives a mutable object with the same values and
//     records; that is the only way back to a changeable object.
//   - a record of changed properties: the names of the monitored properties whose setters ran
//     (also setters that set the same value again, and those run by initialisers and copying).
//   - original cloud values, for classes that ask for them (storesOriginalCloudValues): the cloud
//     value of each cloud field before its first recorded change. A field that was empty then has
//     no original value, also after further changes.
//   - a property-to-cloud-field mapping, so an object is read from and written to a cloud record
//     field by field.
//
// Monitored properties are every property a class declares below ZRVSyncableObject (its own and
// its ancestors', read-only and computed ones included). They affect the key "isImmutable"
// (keyPathsForValuesAffectingIsImmutable), so an observer of "isImmutable" hears every change of
// them; the generated setters already pass through willChangeValueForKey/didChangeValueForKey,
// where the checks and records above are made.
//
// Stored form: the model framework's keyed archive; "isImmutable" is never archived, copied,
// compared or part of dictionaryValue().
//
// Per-class values (monitored properties, the two mappings, the cloud-field set) are computed once
// per concrete class and kept for the life of the process; each instance keeps a pointer to its
// class's values, so that a setter reaches them without a lock. Subclasses extend the mapping by
// overriding buildLocalKeyToCloudKeyMappings() and calling the inherited one.
//
// Threads: an immutable object may be read from any thread at once. A mutable one belongs to the
// code that made it until it is handed to a write. The per-class values may be built from any
// thread (the table of every class's values has a lock of its own, taken once per instance).

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "model/MFModel.h"
#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

inline constexpr std::string_view ZRVDatabaseObjectException = "STDatabaseObjectException";

class ZRVSyncableObject : public MFModel {
  ZORVEL_CLASS(ZRVSyncableObject, MFModel)

 public:
  using KeyMapping = std::map<std::string, std::string, std::less<>>;
  using NameSet = std::set<std::string, std::less<>>;

  ZRVSyncableObject() = default;

  // --- Immutability ------------------------------------------------------------------------------
  bool isImmutable() const { return immutable_; }
  ZORVEL_COMPUTED_PROPERTY(isImmutable, isImmutable)
  // Sets the flag for good on this instance (observers of "isImmutable" hear it).
  void makeImmutable();
  // "STDatabaseObjectException" naming the class and, when given, the property, with the
  // recovery suggestion to copy.
  platform::Exception immutableExceptionForKey(std::optional<std::string_view> key) const;

  // --- Class-level answers -----------------------------------------------------------------------
  // Monitored property names of a class (empty for ZRVSyncableObject itself).
  static NameSet monitoredPropertiesOfClass(const platform::Class& cls);
  // Every monitored property to itself; subclasses change entries.
  virtual KeyMapping buildLocalKeyToCloudKeyMappings() const;
  // Whether original cloud values are kept. Base: false.
  virtual bool storesOriginalCloudValues() const { return false; }
  // The model framework's keys without "isImmutable".
  std::vector<std::string> propertyKeys() const override;

  // The per-class values, cached.
  const NameSet& monitoredProperties() const;
  const KeyMapping& mappings_localKeyToCloudKey() const;
  const KeyMapping& mappings_cloudKeyToLocalKey() const;
  const NameSet& allCloudProperties() const;

  // --- Change records ----------------------------------------------------------------------------
  // nullopt when no change is recorded (never an empty set after a change).
  std::optional<NameSet> changedProperties() const;
  bool hasChangedProperties() const;
  // Forgets the changed properties and empties the original values.
  void clearChangedProperties();
  // Cloud field names of the recorded changes that have one; nullopt when nothing is recorded.
  std::optional<NameSet> changedCloudProperties() const;
  bool hasChangedCloudProperties() const;
  // Cloud field to its value before the first change; nullopt for classes that keep none.
  std::optional<platform::ValueDictionary> originalCloudValues() const;

  // --- Cloud fields ------------------------------------------------------------------------------
  std::optional<std::string> cloudKeyForLocalKey(std::string_view localKey) const;
  std::optional<std::string> localKeyForCloudKey(std::string_view cloudKey) const;
  // The field's value in the cloud's form (subclasses convert here); nil when unmapped or empty.
  virtual platform::Value cloudValueForCloudKey(std::string_view cloudKey) const;
  platform::Value cloudValueForLocalKey(std::string_view localKey) const;
  platform::Value localValueForCloudKey(std::string_view cloudKey) const;
  platform::Value localValueForLocalKey(std::string_view localKey) const;
  // Sets the mapped property through its setter (nil or the null marker clears it; a number
  // property keeps its value instead). An unmapped field is ignored; a value of the wrong kind
  // raises NSInvalidArgumentException and changes nothing.
  virtual void setLocalValueFromCloudValue(const platform::Value& value, std::string_view cloudKey);

  // --- Model framework ---------------------------------------------------------------------------
  // Mutable, same values, same change records.
  platform::ObjectPtr copy() const override;
  // Decoding starts with no changed properties.
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;

  void willChangeValueForKey(std::string_view key) override;
  void didChangeValueForKey(std::string_view key) override;

 private:
  struct ClassInfo;
  const ClassInfo& classInfo() const;
  // The values of the class this instance's constructors have reached (see classInfo()).
  static const ClassInfo& classInfoOf(const ZRVSyncableObject& instance);
  bool isMonitored(std::string_view key) const;

  bool immutable_ = false;
  std::optional<NameSet> changed_;
  // Made on first need, when the class keeps original values; the null marker stands for a field
  // that was empty before its first change.
  std::optional<platform::ValueDictionary> originals_;
  // The values of this instance's class, found on first need. Instances read from many threads at
  // once may each set it; they all set the same pointer.
  mutable std::atomic<const ClassInfo*> classInfo_{nullptr};
};
