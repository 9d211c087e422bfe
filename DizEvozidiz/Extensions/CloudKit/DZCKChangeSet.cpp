#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeSet.h"

#include <limits>

#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/format.h"

using platform::Bytes;
using platform::CloudRecord;
using platform::CloudRecordID;
using platform::CloudRecordIDPtr;
using platform::CloudRecordPtr;
using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

namespace {

// What the queue table's and record table's archives may hold.
const platform::AllowedClasses& archiveClasses() {
  static const platform::AllowedClasses allowed = [] {
    platform::AllowedClasses a = platform::AllowedClasses::plainValues();
    a.addClass(DZCKChangeRecord::staticClass());
    a.addClass(CloudRecord::staticClass());
    a.addClass(CloudRecordID::staticClass());
    return a;
  }();
  return allowed;
}

}  // namespace

DZCKRecordIDKey DZCKKeyForRecordID(const CloudRecordID& recordID) {
  return {recordID.recordName(), recordID.zoneID().zoneName, recordID.zoneID().ownerName};
}

// ---- Records ----

Bytes DZCKRecord::serializeRecord(const CloudRecordPtr& record) {
  if (!record) return {};
  return platform::KeyedArchiver::archivedData(Value(record->copyWithSystemFieldsOnly()));
}

CloudRecordPtr DZCKRecord::deserializeRecord(platform::ByteSpan data) {
  if (data.empty()) return nullptr;
  static const platform::AllowedClasses allowed{&CloudRecord::staticClass(), &CloudRecordID::staticClass()};
  Value root = platform::KeyedUnarchiver::unarchivedObjectOfClasses(allowed, data);
  auto record = root.as<CloudRecord>();
  // Only the system fields are ever kept.
  return record ? record->copyWithSystemFieldsOnly() : nullptr;
}

CloudRecordPtr DZCKRecord::sanitizedCopy(const CloudRecordPtr& record) {
  return record ? record->copyWithSystemFieldsOnly() : nullptr;
}

CloudRecordPtr DZCKRecord::safeCopy(const CloudRecordPtr& record) { return record ? record->copyRecord() : nullptr; }

void DZCKMergeChangedValues(const CloudRecord& from, CloudRecord& into) {
  for (const std::string& key : from.changedKeys()) into.setObject(from.objectForKey(key), key);
}

void DZCKMergeOriginalValues(Value& into, const Value& newer) {
  if (!newer.isDictionary()) return;
  if (!into.isDictionary()) {
    into = newer;
    return;
  }
  for (const auto& [key, value] : newer.asDictionary())
    if (!into.asDictionary().contains(key)) into.set(key, value);
}

// ---- Change records ----

DZCKChangeRecordPtr DZCKChangeRecord::make(CloudRecordPtr record) {
  auto changeRecord = platform::make<DZCKChangeRecord>();
  changeRecord->record_ = std::move(record);
  return changeRecord;
}

void DZCKChangeRecord::setRecord(CloudRecordPtr record) {
  record_ = std::move(record);
  decodedRecordID_.reset();
  decodedChangedKeys_.reset();
  changedKeysSet_.reset();
}

CloudRecordIDPtr DZCKChangeRecord::recordID() const {
  if (decodedRecordID_) return decodedRecordID_;
  return record_ ? record_->recordID() : nullptr;
}

std::vector<std::string> DZCKChangeRecord::changedKeys() const {
  if (decodedChangedKeys_) return *decodedChangedKeys_;
  return record_ ? record_->changedKeys() : std::vector<std::string>{};
}

const std::set<std::string>& DZCKChangeRecord::changedKeysSet() const {
  if (!changedKeysSet_) {
    auto keys = changedKeys();
    changedKeysSet_.emplace(keys.begin(), keys.end());
  }
  return *changedKeysSet_;
}

DZCKChangeRecordPtr DZCKChangeRecord::copyChangeRecord() const {
  auto copy = platform::make<DZCKChangeRecord>();
  copy->record_ = DZCKRecord::safeCopy(record_);
  copy->needsStoreFullRecord_ = needsStoreFullRecord_;
  copy->originalValues_ = originalValues_;
  copy->decodedRecordID_ = decodedRecordID_;
  copy->decodedChangedKeys_ = decodedChangedKeys_;
  return copy;
}

void DZCKChangeRecord::encodeWithCoder(platform::KeyedArchiver& coder) const {
  if (needsStoreFullRecord_ && record_) {
    coder.encodeObject(record_, "record");
  } else {
    coder.encodeObject(recordID(), "recordID");
    ValueArray keys;
    for (const std::string& key : changedKeys()) keys.emplace_back(key);
    coder.encodeValue(Value(std::move(keys)), "changedKeys");
  }
  coder.encodeValue(originalValues_, "originalValues");
}

bool DZCKChangeRecord::initWithCoder(platform::KeyedUnarchiver& coder) {
  record_ = std::dynamic_pointer_cast<CloudRecord>(coder.decodeObjectOfClass(CloudRecord::staticClass(), "record"));
  needsStoreFullRecord_ = record_ != nullptr;
  decodedRecordID_ =
      std::dynamic_pointer_cast<CloudRecordID>(coder.decodeObjectOfClass(CloudRecordID::staticClass(), "recordID"));
  Value keys = coder.decodeValue("changedKeys");
  if (keys.isArray()) {
    std::vector<std::string> names;
    for (const Value& key : keys.asArray())
      if (key.isString()) names.push_back(key.asString());
    decodedChangedKeys_ = std::move(names);
  }
  Value original = coder.decodeValue("originalValues");
  if (original.isDictionary()) originalValues_ = std::move(original);
  return !coder.error();
}

std::string DZCKChangeRecord::description() const {
  auto id = recordID();
  return platform::format("<DZCKChangeRecord %@ needsStoreFullRecord=%d>", id ? id->description() : std::string("nil"),
                          needsStoreFullRecord_ ? 1 : 0);
}

// ---- Change sets ----

DZCKChangeSet::DZCKChangeSet(DZCKDatabaseIdentifier databaseIdentifier)
    : databaseIdentifier_(std::move(databaseIdentifier)) {}

DZCKChangeSetPtr DZCKChangeSet::fromRow(std::string uuid, std::optional<std::string> prev,
                                        DZCKDatabaseIdentifier databaseIdentifier,
                                        std::optional<Bytes> deletedRecordIDs, std::optional<Bytes> modifiedRecords) {
  auto changeSet = std::make_shared<DZCKChangeSet>(std::move(databaseIdentifier));
  changeSet->uuid_ = std::move(uuid);
  changeSet->prev_ = std::move(prev);
  changeSet->deserializeDeletedRecordIDs(deletedRecordIDs);
  changeSet->deserializeModifiedRecords(modifiedRecords);
  return changeSet;
}

DZCKChangeSetPtr DZCKChangeSet::emptyCopy() const {
  auto copy = std::make_shared<DZCKChangeSet>(databaseIdentifier_);
  copy->uuid_ = uuid_;
  copy->prev_ = prev_;
  copy->isInFlight_ = isInFlight_;
  return copy;
}

DZCKChangeSetPtr DZCKChangeSet::fullCopy() const {
  auto copy = emptyCopy();
  if (deletedRecordIDs_) copy->deletedRecordIDs_ = *deletedRecordIDs_;
  if (modifiedRecords_) {
    ModifiedRecords records;
    for (const auto& [key, changeRecord] : *modifiedRecords_) records.emplace(key, changeRecord->copyChangeRecord());
    copy->modifiedRecords_ = std::move(records);
  }
  return copy;
}

std::vector<CloudRecordIDPtr> DZCKChangeSet::recordIDsToDelete() const {
  return deletedRecordIDs_ ? *deletedRecordIDs_ : std::vector<CloudRecordIDPtr>{};
}

std::vector<CloudRecordPtr> DZCKChangeSet::recordsToSave() const {
  std::vector<CloudRecordPtr> records;
  if (modifiedRecords_)
    for (const auto& [key, changeRecord] : *modifiedRecords_)
      if (changeRecord->record()) records.push_back(DZCKRecord::safeCopy(changeRecord->record()));
  return records;
}

std::vector<CloudRecordPtr> DZCKChangeSet::recordsToSave_noCopy() const {
  std::vector<CloudRecordPtr> records;
  if (modifiedRecords_)
    for (const auto& [key, changeRecord] : *modifiedRecords_)
      if (changeRecord->record()) records.push_back(changeRecord->record());
  return records;
}

std::vector<CloudRecordIDPtr> DZCKChangeSet::recordIDsToSave() const {
  std::vector<CloudRecordIDPtr> ids;
  if (modifiedRecords_)
    for (const auto& [key, changeRecord] : *modifiedRecords_) ids.push_back(changeRecord->recordID());
  return ids;
}

std::optional<Bytes> DZCKChangeSet::serializeDeletedRecordIDs() const {
  if (!deletedRecordIDs_ || deletedRecordIDs_->empty()) return std::nullopt;
  ValueArray ids;
  for (const auto& id : *deletedRecordIDs_) ids.emplace_back(id);
  return platform::KeyedArchiver::archivedData(Value(std::move(ids)));
}

void DZCKChangeSet::deserializeDeletedRecordIDs(const std::optional<Bytes>& data) {
  deletedRecordIDs_.reset();
  if (!data) return;
  Value root = platform::KeyedUnarchiver::unarchivedObjectOfClasses(archiveClasses(), *data);
  std::vector<CloudRecordIDPtr> ids;
  if (root.isArray())
    for (const Value& v : root.asArray())
      if (auto id = v.as<CloudRecordID>()) ids.push_back(id);
  deletedRecordIDs_ = std::move(ids);
}

std::optional<Bytes> DZCKChangeSet::serializeModifiedRecords() const {
  if (!modifiedRecords_ || modifiedRecords_->empty()) return std::nullopt;
  ValueArray records;
  for (const auto& [key, changeRecord] : *modifiedRecords_) records.emplace_back(changeRecord);
  return platform::KeyedArchiver::archivedData(Value(std::move(records)));
}

void DZCKChangeSet::deserializeModifiedRecords(const std::optional<Bytes>& data) {
  ModifiedRecords records;
  if (data) {
    Value root = platform::KeyedUnarchiver::unarchivedObjectOfClasses(archiveClasses(), *data);
    if (root.isArray())
      for (const Value& v : root.asArray()) {
        auto changeRecord = v.as<DZCKChangeRecord>();
        if (!changeRecord) continue;
        auto id = changeRecord->recordID();
        if (!id) continue;
        records[DZCKKeyForRecordID(*id)] = changeRecord;
      }
  }
  modifiedRecords_ = std::move(records);
}

void DZCKChangeSet::enumerateMissingRecordsWithBlock(const MissingRecordBlock& block) {
  if (!modifiedRecords_) return;
  for (auto& [key, changeRecord] : *modifiedRecords_) {
    if (changeRecord->record()) continue;
    auto changedKeys = changeRecord->changedKeys();
    if (auto record = block(changeRecord->recordID(), changedKeys)) changeRecord->setRecord(std::move(record));
  }
}

std::string DZCKChangeSet::description() const {
  return platform::format("<DZCKChangeSet uuid(%@) prev(%@) deleted(%lu) modified(%lu)>", uuid_.value_or("nil"),
                          prev_.value_or("nil"), static_cast<unsigned long>(recordIDsToDeleteCount()),
                          static_cast<unsigned long>(recordsToSaveCount()));
}

// ---- Merge info ----

void DZCKMergeInfo::mergeNewerRecord(const CloudRecordPtr& newerRecord, const Value& newerOriginalValues) {
  if (newerRecord && pendingLocalRecord_) DZCKMergeChangedValues(*newerRecord, *pendingLocalRecord_);
  DZCKMergeOriginalValues(originalValues_, newerOriginalValues);
}

// ---- Table rows ----

std::shared_ptr<DZCKDirtyMappingTableInfo> DZCKCleanMappingTableInfo::dirtyCopy() const {
  return std::make_shared<DZCKDirtyMappingTableInfo>(hash_, hash_);
}

std::shared_ptr<DZCKCleanMappingTableInfo> DZCKDirtyMappingTableInfo::cleanCopy() const {
  return dirty_ ? std::make_shared<DZCKCleanMappingTableInfo>(*dirty_) : nullptr;
}

std::shared_ptr<DZCKDirtyRecordTableInfo> DZCKCleanRecordTableInfo::dirtyCopy() const {
  auto dirty = std::make_shared<DZCKDirtyRecordTableInfo>(databaseIdentifier_, record_ ? record_->recordID() : nullptr,
                                                          ownerCount_);
  dirty->setDirtyRecord(DZCKRecord::safeCopy(record_));
  return dirty;
}

std::shared_ptr<DZCKCleanRecordTableInfo> DZCKCleanRecordTableInfo::cleanCopyWithSanitizedRecord(
    CloudRecordPtr record) const {
  return std::make_shared<DZCKCleanRecordTableInfo>(databaseIdentifier_, ownerCount_, std::move(record));
}

void DZCKDirtyRecordTableInfo::incrementOwnerCount() {
  if (dirtyOwnerCount_ < std::numeric_limits<std::int64_t>::max()) ++dirtyOwnerCount_;
}

void DZCKDirtyRecordTableInfo::decrementOwnerCount() {
  if (dirtyOwnerCount_ > 0) --dirtyOwnerCount_;
}

std::shared_ptr<DZCKCleanRecordTableInfo> DZCKDirtyRecordTableInfo::cleanCopyWithSanitizedRecord(
    CloudRecordPtr record) const {
  return std::make_shared<DZCKCleanRecordTableInfo>(databaseIdentifier_, dirtyOwnerCount_, std::move(record));
}
