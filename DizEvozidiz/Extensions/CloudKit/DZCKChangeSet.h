#pragma once

// The value classes of the cloud sync extension:
//
//   DZCKChangeRecord   one record to save inside a change set (archived short or whole)
//   DZCKChangeSet      one batch of saves and deletions bound for one cloud database; one row of the
//                      queue table
//   DZCKRecord         the record table's archive of a record's system fields
//   DZCKRecordInfo     what the record handler is told and may set
//   DZCKMergeInfo      what the merge closure is handed
//   DZCKAttachRequest  a record waiting for its row to be inserted
//   mapping-table and record-table rows, clean (as stored) and dirty (as this transaction leaves them)
//
// Stored formats (keyed archives, platform/codecs/keyed_archiver.h):
//   queue "deletedRecordIDs"  NULL without deletions; else the array of CloudRecordID, in order.
//   queue "modifiedRecords"   NULL without modified records; else the array of DZCKChangeRecord.
//   DZCKChangeRecord          keys "record" (the whole CloudRecord) when it must be stored whole;
//                             otherwise "recordID" and "changedKeys" (the values are rebuilt from
//                             the record table and the record handler when the queue is restored);
//                             always "originalValues" (nil when none).
//   record table "record"     a CloudRecord archived with its system fields only.
// A damaged archive decodes as nothing (no deletions, no modified records, no record).
//
// Threads: none of these objects locks. A change set, change record or table row belongs to
// whoever holds it: the master change queue (under its lock, DZCKChangeQueue.h), one connection's
// transaction, or one upload. Copies (fullCopy, emptyCopy, copyRecord) are what cross threads.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/cloud/cloud_record.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/crypto.h"

using DZCKDatabaseIdentifier = std::optional<std::string>;

// A record ID as a map key: record name, zone name, owner name.
using DZCKRecordIDKey = std::tuple<std::string, std::string, std::string>;
DZCKRecordIDKey DZCKKeyForRecordID(const platform::CloudRecordID& recordID);

// ---- Records ----

struct DZCKRecord {
  // The record's system fields archived; empty bytes for a null record.
  static platform::Bytes serializeRecord(const platform::CloudRecordPtr& record);
  // A record carrying system fields only; null for empty or damaged bytes.
  static platform::CloudRecordPtr deserializeRecord(platform::ByteSpan data);
  // A new record with the same system fields, no values and no changed keys.
  static platform::CloudRecordPtr sanitizedCopy(const platform::CloudRecordPtr& record);
  // A copy with the same system fields, values and changed keys.
  static platform::CloudRecordPtr safeCopy(const platform::CloudRecordPtr& record);
};

// For every changed key of `from`, its value is set into `into` (a missing value removes it).
void DZCKMergeChangedValues(const platform::CloudRecord& from, platform::CloudRecord& into);

// ---- Change records ----

class DZCKChangeRecord;
using DZCKChangeRecordPtr = std::shared_ptr<DZCKChangeRecord>;

class DZCKChangeRecord : public platform::Object {
  ZORVEL_CLASS(DZCKChangeRecord, platform::Object)

 public:
  DZCKChangeRecord() = default;  // for decoding only
  static DZCKChangeRecordPtr make(platform::CloudRecordPtr record);

  const platform::CloudRecordPtr& record() const { return record_; }
  // Drops what was decoded: the record ID and changed keys follow the new record.
  void setRecord(platform::CloudRecordPtr record);
  platform::CloudRecordIDPtr recordID() const;
  std::vector<std::string> changedKeys() const;
  const std::set<std::string>& changedKeysSet() const;

  bool needsStoreFullRecord() const { return needsStoreFullRecord_; }
  void setNeedsStoreFullRecord(bool value) { needsStoreFullRecord_ = value; }
  // Field name -> value before the change; nil or a dictionary.
  const platform::Value& originalValues() const { return originalValues_; }
  void setOriginalValues(platform::Value values) { originalValues_ = std::move(values); }

  // The record safe-copied; the flag, original values and decoded ID and keys carried over.
  DZCKChangeRecordPtr copyChangeRecord() const;
  platform::ObjectPtr copy() const override { return copyChangeRecord(); }

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(platform::KeyedArchiver& coder) const override;
  bool initWithCoder(platform::KeyedUnarchiver& coder) override;
  std::string description() const override;

 private:
  platform::CloudRecordIDPtr decodedRecordID_;
  std::optional<std::vector<std::string>> decodedChangedKeys_;
  mutable std::optional<std::set<std::string>> changedKeysSet_;
  bool needsStoreFullRecord_ = false;
  platform::CloudRecordPtr record_;
  platform::Value originalValues_;
};

// ---- Change sets ----

class DZCKChangeSet;
using DZCKChangeSetPtr = std::shared_ptr<DZCKChangeSet>;

class DZCKChangeSet {
 public:
  using ModifiedRecords = std::map<DZCKRecordIDKey, DZCKChangeRecordPtr>;

  // Empty: no identifier, no collections, not in flight.
  explicit DZCKChangeSet(DZCKDatabaseIdentifier databaseIdentifier);
  // From a queue-table row; the two archives are decoded (null spans are NULL columns).
  static DZCKChangeSetPtr fromRow(std::string uuid, std::optional<std::string> prev,
                                  DZCKDatabaseIdentifier databaseIdentifier,
                                  std::optional<platform::Bytes> deletedRecordIDs,
                                  std::optional<platform::Bytes> modifiedRecords);

  // Same identifiers, database and in-flight mark; no collections, no change marks.
  DZCKChangeSetPtr emptyCopy() const;
  // emptyCopy plus copies of the deleted IDs and of each change record, where present.
  DZCKChangeSetPtr fullCopy() const;

  const std::optional<std::string>& uuid() const { return uuid_; }
  void setUUID(std::optional<std::string> uuid) { uuid_ = std::move(uuid); }
  const std::optional<std::string>& prev() const { return prev_; }
  void setPrev(std::optional<std::string> prev) { prev_ = std::move(prev); }
  const DZCKDatabaseIdentifier& databaseIdentifier() const { return databaseIdentifier_; }
  bool isInFlight() const { return isInFlight_; }
  void setIsInFlight(bool value) { isInFlight_ = value; }
  bool hasChangesToDeletedRecordIDs() const { return hasChangesToDeletedRecordIDs_; }
  void setHasChangesToDeletedRecordIDs(bool value) { hasChangesToDeletedRecordIDs_ = value; }
  bool hasChangesToModifiedRecords() const { return hasChangesToModifiedRecords_; }
  void setHasChangesToModifiedRecords(bool value) { hasChangesToModifiedRecords_ = value; }

  // nullopt: none (NULL column); the queue rules create them on first use.
  std::optional<std::vector<platform::CloudRecordIDPtr>>& deletedRecordIDs() { return deletedRecordIDs_; }
  const std::optional<std::vector<platform::CloudRecordIDPtr>>& deletedRecordIDs() const { return deletedRecordIDs_; }
  std::optional<ModifiedRecords>& modifiedRecords() { return modifiedRecords_; }
  const std::optional<ModifiedRecords>& modifiedRecords() const { return modifiedRecords_; }

  std::vector<platform::CloudRecordIDPtr> recordIDsToDelete() const;
  std::size_t recordIDsToDeleteCount() const { return deletedRecordIDs_ ? deletedRecordIDs_->size() : 0; }
  // Safe copies of the records to save / the records themselves / their IDs.
  std::vector<platform::CloudRecordPtr> recordsToSave() const;
  std::vector<platform::CloudRecordPtr> recordsToSave_noCopy() const;
  std::vector<platform::CloudRecordIDPtr> recordIDsToSave() const;
  std::size_t recordsToSaveCount() const { return modifiedRecords_ ? modifiedRecords_->size() : 0; }

  // The queue table's two archives (nullopt: NULL).
  std::optional<platform::Bytes> serializeDeletedRecordIDs() const;
  void deserializeDeletedRecordIDs(const std::optional<platform::Bytes>& data);
  std::optional<platform::Bytes> serializeModifiedRecords() const;
  void deserializeModifiedRecords(const std::optional<platform::Bytes>& data);

  // For every change record without a record: block(record ID, changed keys) gives its record.
  using MissingRecordBlock = std::function<platform::CloudRecordPtr(const platform::CloudRecordIDPtr& recordID,
                                                                    const std::vector<std::string>& changedKeys)>;
  void enumerateMissingRecordsWithBlock(const MissingRecordBlock& block);

  std::string description() const;

 private:
  std::vector<platform::CloudRecordIDPtr> copyOfDeleted() const;

  std::optional<std::vector<platform::CloudRecordIDPtr>> deletedRecordIDs_;
  std::optional<ModifiedRecords> modifiedRecords_;
  bool isInFlight_ = false;
  bool hasChangesToDeletedRecordIDs_ = false;
  bool hasChangesToModifiedRecords_ = false;
  std::optional<std::string> uuid_;
  std::optional<std::string> prev_;
  DZCKDatabaseIdentifier databaseIdentifier_;
};

// ---- What the application's closures are handed ----

struct DZCKRecordInfo {
  DZCKDatabaseIdentifier databaseIdentifier;
  platform::Value originalValues;                         // nil or a dictionary
  std::optional<std::vector<std::string>> keysToRestore;  // set while a restore rebuilds a record
  platform::Value versionInfo;
};

class DZCKMergeInfo {
 public:
  platform::Value& originalValues() { return originalValues_; }
  const platform::CloudRecordPtr& pendingLocalRecord() const { return pendingLocalRecord_; }
  void setPendingLocalRecord(platform::CloudRecordPtr record) { pendingLocalRecord_ = std::move(record); }
  const platform::CloudRecordPtr& updatedPendingLocalRecord() const { return updatedPendingLocalRecord_; }
  void setUpdatedPendingLocalRecord(platform::CloudRecordPtr record) { updatedPendingLocalRecord_ = std::move(record); }

  // Newer changed values overwrite older ones; the oldest original value of a key wins.
  void mergeNewerRecord(const platform::CloudRecordPtr& newerRecord, const platform::Value& newerOriginalValues);

 private:
  platform::Value originalValues_;
  platform::CloudRecordPtr pendingLocalRecord_;
  platform::CloudRecordPtr updatedPendingLocalRecord_;
};

struct DZCKAttachRequest {
  DZCKDatabaseIdentifier databaseIdentifier;
  platform::CloudRecordPtr record;
  bool shouldUploadRecord = false;
};

// Adds each key of `newer` not yet in `into` (which becomes a dictionary when nil).
void DZCKMergeOriginalValues(platform::Value& into, const platform::Value& newer);

// ---- Table rows ----

// A mapping-table row (rowid -> record hash), clean or dirty.
class DZCKMappingTableInfo {
 public:
  virtual ~DZCKMappingTableInfo() = default;
  virtual bool isDirty() const = 0;
  virtual std::optional<std::string> currentHash() const = 0;
};
using DZCKMappingTableInfoPtr = std::shared_ptr<DZCKMappingTableInfo>;

class DZCKDirtyMappingTableInfo;

class DZCKCleanMappingTableInfo final : public DZCKMappingTableInfo {
 public:
  explicit DZCKCleanMappingTableInfo(std::string hash) : hash_(std::move(hash)) {}
  bool isDirty() const override { return false; }
  std::optional<std::string> currentHash() const override { return hash_; }
  const std::string& recordTableHash() const { return hash_; }
  std::shared_ptr<DZCKDirtyMappingTableInfo> dirtyCopy() const;

 private:
  std::string hash_;
};

class DZCKDirtyMappingTableInfo final : public DZCKMappingTableInfo {
 public:
  DZCKDirtyMappingTableInfo(std::optional<std::string> clean, std::optional<std::string> dirty)
      : clean_(std::move(clean)), dirty_(std::move(dirty)) {}
  bool isDirty() const override { return true; }
  std::optional<std::string> currentHash() const override { return dirty_; }
  const std::optional<std::string>& cleanHash() const { return clean_; }
  const std::optional<std::string>& dirtyHash() const { return dirty_; }
  void setDirtyHash(std::optional<std::string> hash) { dirty_ = std::move(hash); }
  // Null when the row loses its record.
  std::shared_ptr<DZCKCleanMappingTableInfo> cleanCopy() const;

 private:
  std::optional<std::string> clean_;
  std::optional<std::string> dirty_;
};

// A record-table row (record hash -> database, owner count, system fields), clean or dirty.
class DZCKRecordTableInfo {
 public:
  virtual ~DZCKRecordTableInfo() = default;
  virtual bool isDirty() const = 0;
  virtual const DZCKDatabaseIdentifier& databaseIdentifier() const = 0;
  virtual platform::CloudRecordPtr currentRecord() const = 0;
  virtual std::int64_t currentOwnerCount() const = 0;
};
using DZCKRecordTableInfoPtr = std::shared_ptr<DZCKRecordTableInfo>;

class DZCKDirtyRecordTableInfo;

class DZCKCleanRecordTableInfo final : public DZCKRecordTableInfo {
 public:
  DZCKCleanRecordTableInfo(DZCKDatabaseIdentifier databaseIdentifier, std::int64_t ownerCount,
                           platform::CloudRecordPtr record)
      : databaseIdentifier_(std::move(databaseIdentifier)), ownerCount_(ownerCount), record_(std::move(record)) {}
  bool isDirty() const override { return false; }
  const DZCKDatabaseIdentifier& databaseIdentifier() const override { return databaseIdentifier_; }
  platform::CloudRecordPtr currentRecord() const override { return record_; }
  std::int64_t currentOwnerCount() const override { return ownerCount_; }
  const platform::CloudRecordPtr& record() const { return record_; }
  std::int64_t ownerCount() const { return ownerCount_; }

  std::shared_ptr<DZCKDirtyRecordTableInfo> dirtyCopy() const;
  std::shared_ptr<DZCKCleanRecordTableInfo> cleanCopyWithSanitizedRecord(platform::CloudRecordPtr record) const;

 private:
  DZCKDatabaseIdentifier databaseIdentifier_;
  std::int64_t ownerCount_;
  platform::CloudRecordPtr record_;
};

class DZCKDirtyRecordTableInfo final : public DZCKRecordTableInfo {
 public:
  DZCKDirtyRecordTableInfo(DZCKDatabaseIdentifier databaseIdentifier, platform::CloudRecordIDPtr recordID,
                           std::int64_t ownerCount)
      : databaseIdentifier_(std::move(databaseIdentifier)),
        recordID_(std::move(recordID)),
        cleanOwnerCount_(ownerCount),
        dirtyOwnerCount_(ownerCount) {}
  bool isDirty() const override { return true; }
  const DZCKDatabaseIdentifier& databaseIdentifier() const override { return databaseIdentifier_; }
  platform::CloudRecordPtr currentRecord() const override { return dirtyRecord_; }
  std::int64_t currentOwnerCount() const override { return dirtyOwnerCount_; }

  const platform::CloudRecordIDPtr& recordID() const { return recordID_; }
  std::int64_t cleanOwnerCount() const { return cleanOwnerCount_; }
  std::int64_t dirtyOwnerCount() const { return dirtyOwnerCount_; }
  const platform::CloudRecordPtr& dirtyRecord() const { return dirtyRecord_; }
  void setDirtyRecord(platform::CloudRecordPtr record) { dirtyRecord_ = std::move(record); }

  // Stops at 2^63 - 1.
  void incrementOwnerCount();
  // Stops at 0.
  void decrementOwnerCount();
  bool ownerCountChanged() const { return cleanOwnerCount_ != dirtyOwnerCount_; }
  bool hasNilRecordOrZeroOwnerCount() const { return !dirtyRecord_ || dirtyOwnerCount_ <= 0; }

  bool skipUploadRecord = false;
  bool skipUploadDeletion = false;
  bool remoteDeletion = false;
  bool remoteMerge = false;
  const platform::Value& originalValues() const { return originalValues_; }
  void mergeOriginalValues(const platform::Value& values) { DZCKMergeOriginalValues(originalValues_, values); }

  std::shared_ptr<DZCKCleanRecordTableInfo> cleanCopyWithSanitizedRecord(platform::CloudRecordPtr record) const;

 private:
  DZCKDatabaseIdentifier databaseIdentifier_;
  platform::CloudRecordIDPtr recordID_;
  std::int64_t cleanOwnerCount_;
  std::int64_t dirtyOwnerCount_;
  platform::CloudRecordPtr dirtyRecord_;
  platform::Value originalValues_;
};
