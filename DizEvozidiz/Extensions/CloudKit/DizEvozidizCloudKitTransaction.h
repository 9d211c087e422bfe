#pragma once

// DizEvozidizCloudKitTransaction: the cloud sync extension's part of one transaction.
//
// Set-up (createIfNeeded, in the registering transaction): creates the three tables on first
// registration ("classVersion" 3 and "versionTag" stored under the registered name) and offers every
// allowed row to the record handler; at every later start restores the master change queue from
// the queue table (change records stored without their values are rebuilt through the record
// handler), and offers every row again when the version tag changed. A stored class version other
// than 1 or 3, a broken queue chain or a table that cannot be made refuses the registration.
//
// Row hooks: every committed change of a row of an allowed collection asks the record handler for
// the row's record, when the handler's invoke options ask for that kind of change; the differences
// go into the connection's dirty dictionaries (mapping rowid -> record hash, record hash -> owner
// count and system fields). Removals release the row's record whatever its collection.
//
// Flush (before the commit): the dirty rows are written to the mapping and record tables and each
// dirty record becomes a change of the pending change queue: inserted, modified, merged, deleted,
// detached or remote-deleted record; the changed and new change sets are written to the queue table
// in the same transaction, and the pending queue is merged into the master.
//
// Upload outcomes (in transactions of the extension's completion connection): the saved records'
// new system fields are stored, later change sets take them, and the uploaded change set (or, after
// a partial failure, the items that succeeded) leaves the queue.
//
// A failing write of the cloud tables fails the whole read-write transaction (nothing of it is
// kept), so the tables, the queue and the rows never disagree.
//
// Threads: only on the store connection's queue, inside its transaction.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitConnection.h"

class DizEvozidizCloudKitTransaction;
using DizEvozidizCloudKitTransactionPtr = std::shared_ptr<DizEvozidizCloudKitTransaction>;

// The largest number of parameters one statement of the batch lookups binds (SQLite's default limit
// on older builds; newer ones allow more, but the lookups never need it).
inline constexpr std::size_t kDZCKMaxParametersPerStatement = 999;

class DizEvozidizCloudKitTransaction : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(DizEvozidizCloudKitTransaction, DizEvozidizExtensionTransaction)

 public:
  static constexpr std::int32_t kClassVersion = 3;

  // Processing flags.
  enum : std::uint64_t {
    kFlagSkipUploadRecord = 1,
    kFlagSkipUploadDeletion = 2,
    kFlagRemoteDeletion = 4,
  };

  static DizEvozidizCloudKitTransactionPtr make(DizEvozidizCloudKitConnectionPtr connection,
                                                DizEvozidizReadTransaction* transaction);

  const DizEvozidizCloudKitConnectionPtr& cloudKitConnection() const { return connection_; }
  DizEvozidizCloudKit& cloudKit() const { return *connection_->cloudKit(); }

  // The record hash: 28 characters of Base64 (see DizEvozidizCloudKit.h).
  static std::string hashRecordID(const platform::CloudRecordID& recordID,
                                  const DZCKDatabaseIdentifier& databaseIdentifier);

  // ---- Lifecycle (store calls) ----
  bool createIfNeeded() override;
  bool prepareIfNeeded() override { return true; }
  // The master queue's lock is held from its pending queue's making to its merge, inside each.
  void flushPendingChangesToExtensionTables() ZORVEL_NO_THREAD_SAFETY_ANALYSIS override;
  void didCommitTransaction() override;
  void didRollbackTransaction() override;

  // ---- Row hooks ----
  void handleInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                           std::int64_t rowid) override;
  void handleReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                             std::int64_t rowid) override;
  void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                  const std::vector<std::int64_t>& rowids) override;
  void handleRemoveAllObjectsInAllCollections() override;

  // ---- Upload outcomes (read-write transactions of the completion connection) ----
  void handleCompletedOperationWithChangeSet(
      const DZCKChangeSetPtr& changeSet, const std::vector<platform::CloudRecordPtr>& savedRecords,
      const std::vector<platform::CloudRecordIDPtr>& deletedRecordIDs) ZORVEL_NO_THREAD_SAFETY_ANALYSIS;
  void handlePartiallyCompletedOperationWithChangeSet(
      const DZCKChangeSetPtr& changeSet, const std::vector<platform::CloudRecordPtr>& savedRecords,
      const std::vector<platform::CloudRecordIDPtr>& deletedRecordIDs) ZORVEL_NO_THREAD_SAFETY_ANALYSIS;

  // ---- Record processing and lookups (also for tests) ----
  void processRecord(platform::CloudRecordPtr record, const DZCKRecordInfo* recordInfo,
                     const std::optional<std::string>& preCalculatedHash, std::int64_t rowid,
                     const DZCKMappingTableInfoPtr& prevMappingTableInfo,
                     const DZCKRecordTableInfoPtr& prevRecordTableInfo, std::uint64_t flags);
  DZCKMappingTableInfoPtr mappingTableInfoForRowid(std::int64_t rowid, bool cacheResult);
  DZCKRecordTableInfoPtr recordTableInfoForHash(const std::optional<std::string>& hash, bool cacheResult);
  // Any number of ids (read in statements of at most kDZCKMaxParametersPerStatement parameters).
  std::map<std::int64_t, DZCKMappingTableInfoPtr> mappingTableInfoForRowids(const std::vector<std::int64_t>& rowids);
  std::map<std::string, DZCKRecordTableInfoPtr> recordTableInfoForHashes(const std::vector<std::string>& hashes);
  // The rows mapped to the hash as this transaction sees them.
  std::set<std::int64_t> mappingTableRowidsForRecordTableHash(const std::string& hash);
  // The record ID and database of the row's record; false when the row has none.
  bool getRecordID(platform::CloudRecordIDPtr* recordID, DZCKDatabaseIdentifier* databaseIdentifier,
                   std::string_view key, std::string_view collection);

 protected:
  DizEvozidizCloudKitTransaction(DizEvozidizCloudKitConnectionPtr connection, DizEvozidizReadTransaction* transaction);

 private:
  bool createTables();
  bool restoreMasterChangeQueue();
  bool populateTables();
  bool repopulateTables();
  bool isAllowed(const std::string& collection) const;
  void handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value& object,
                    const platform::Value& metadata, bool isInsert);
  // A hook that knows only part of the row: reads what the handler needs.
  void handleChangeFetching(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value* object,
                            const platform::Value* metadata);
  void callHandler(platform::CloudRecordPtr& record, DZCKRecordInfo& info, const std::string& collection,
                   const std::string& key, const platform::Value& object, const platform::Value& metadata);
  std::shared_ptr<DZCKDirtyRecordTableInfo> dirtyRecordEntry(const std::string& hash,
                                                             const DZCKRecordTableInfoPtr& entry);
  void applyOutcomes(DZCKPendingChangeQueue& pending) ZORVEL_NO_THREAD_SAFETY_ANALYSIS;
  void writeQueueRows(DZCKPendingChangeQueue& pending, bool includeCurrentCommit);
  void storeSavedRecords(const DZCKChangeSet& changeSet, const std::vector<platform::CloudRecordPtr>& savedRecords,
                         bool cacheDiskEntries);

  // Table writes; false (the transaction marked failed) when SQLite refused.
  bool stepWrite(sqlite3_stmt* statement, const char* step);
  platform::CloudRecordPtr insertRecordTableRow(const std::string& hash, const DZCKDirtyRecordTableInfo& info);
  platform::CloudRecordPtr updateRecordTableRow(const std::string& hash, const platform::CloudRecordPtr& record);
  bool getOwnerCountFromDisk(std::int64_t* count, const std::string& hash);
  void insertQueueTableRow(const DZCKChangeSet& changeSet);
  void updateQueueTableRow(const DZCKChangeSet& changeSet);
  void removeQueueTableRow(const std::string& uuid);
  void noteFailure(const std::string& step);

  const DizEvozidizCloudKitConnectionPtr connection_;
  std::optional<std::set<std::int64_t>> rowidsInMidMerge_;
};
