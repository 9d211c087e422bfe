#pragma once

// DizEvozidizCloudKitConnection: the cloud sync extension's part of one database connection. It
// keeps the clean caches of mapping-table and record-table rows (100 each; a null entry is a row
// known to be absent), the dirty rows of the read-write transaction under way, the changes that a
// commit tells the other connections of, the marks of an upload-completion transaction, and the
// prepared statements on the three cloud tables (made on first use).
//
// Internal changeset of a commit (other connections update the entries they already cache):
//   "deletedRowids"     array of rowids whose mapping rows were removed
//   "deletedHashes"     array of record hashes whose record rows were removed
//   "mappingTableInfo"  dictionary rowid (decimal text) -> record hash
//   "recordTableInfo"   dictionary record hash -> {"databaseIdentifier", "ownerCount", "record"}
//   "reset"             true when the transaction emptied the tables
//
// After a commit: an upload completion drops the in-flight change set and starts the next upload; a
// partial completion resets the in-flight mark; any other commit that changed the cloud tables
// starts the next upload.
//
// Threads: only on the database connection's queue (no locks of its own); calls into the master
// change queue take its lock.

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.h"

class DizEvozidizCloudKitConnection;
using DizEvozidizCloudKitConnectionPtr = std::shared_ptr<DizEvozidizCloudKitConnection>;

class DizEvozidizCloudKitConnection : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizCloudKitConnection, DizEvozidizExtensionConnection)

 public:
  static constexpr std::uint64_t kCleanCacheLimit = 100;

  enum Statement {
    kMappingTableInsert,
    kMappingTableUpdateForRowid,
    kMappingTableGetInfoForRowid,
    kMappingTableEnumerateForHash,
    kMappingTableRemoveForRowid,
    kMappingTableRemoveAll,
    kRecordTableInsert,
    kRecordTableUpdateOwnerCount,
    kRecordTableUpdateRecord,
    kRecordTableGetInfoForHash,
    kRecordTableGetOwnerCountForHash,
    kRecordTableGetCountForHash,
    kRecordTableRemoveForHash,
    kRecordTableRemoveAll,
    kQueueTableInsert,
    kQueueTableUpdateDeletedRecordIDs,
    kQueueTableUpdateModifiedRecords,
    kQueueTableUpdateBoth,
    kQueueTableRemoveForUuid,
    kQueueTableRemoveAll,
    kStatementCount
  };

  static DizEvozidizCloudKitConnectionPtr make(DizEvozidizCloudKitPtr parent, DizEvozidizConnection* connection);
  ~DizEvozidizCloudKitConnection() override;

  const DizEvozidizCloudKitPtr& cloudKit() const { return parent_; }

  // ---- Store calls ----
  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override;
  // 1: empty both clean caches; 2: finalize every prepared statement.
  void _flushMemoryWithFlags(unsigned flags) override;
  void getInternalChangeset(platform::Value& internal, platform::Value& external, bool& hasDiskChanges) override;
  void processChangeset(const platform::Value& changeset) override;

  void prepareForReadWriteTransaction();
  void postCommitCleanup();
  void postRollbackCleanup();

  // The prepared statement (made on first use); null (logged) when it cannot be prepared.
  sqlite3_stmt* statement(Statement which);
  sqlite3* db() const;

  // ---- State the transactions share (connection queue) ----
  // A null value: the row / hash is known to have none.
  DizCache<std::int64_t, std::shared_ptr<DZCKCleanMappingTableInfo>> cleanMappingTableInfoCache{kCleanCacheLimit};
  DizCache<std::string, std::shared_ptr<DZCKCleanRecordTableInfo>> cleanRecordTableInfoCache{kCleanCacheLimit};
  std::unordered_map<std::int64_t, std::shared_ptr<DZCKDirtyMappingTableInfo>> dirtyMappingTableInfoDict;
  // Ordered, so that the flush visits records the same way every time.
  std::map<std::string, std::shared_ptr<DZCKDirtyRecordTableInfo>> dirtyRecordTableInfoDict;
  bool reset = false;
  bool isOperationCompletionTransaction = false;
  bool isOperationPartialCompletionTransaction = false;
  std::map<std::pair<std::string, std::string>, DZCKAttachRequest> pendingAttachRequests;

  // The queue merges this transaction made, taken back if it rolls back after them.
  std::vector<DZCKChangeQueue::MergeUndo> queueMerges;

  std::set<std::int64_t> changeset_deletedRowids;
  std::set<std::string> changeset_deletedHashes;
  std::map<std::int64_t, std::shared_ptr<DZCKCleanMappingTableInfo>> changeset_mappingTableInfo;
  std::map<std::string, std::shared_ptr<DZCKCleanRecordTableInfo>> changeset_recordTableInfo;

 protected:
  DizEvozidizCloudKitConnection(DizEvozidizCloudKitPtr parent, DizEvozidizConnection* connection);

 private:
  bool hasChangesetEntries() const;
  void clearTransactionState();
  void flushStatements();

  const DizEvozidizCloudKitPtr parent_;
  sqlite3_stmt* statements_[kStatementCount] = {};
};
