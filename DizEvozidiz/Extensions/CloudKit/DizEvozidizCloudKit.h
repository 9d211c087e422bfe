#pragma once

// DizEvozidizCloudKit: the store extension that mirrors stored rows to records of the cloud record
// database (platform/cloud). For every committed change of a row in an allowed collection it asks
// the application's record handler which record the row maps to; the differences are kept in three
// tables per registered name N and queued as change sets that are uploaded one at a time, oldest
// first:
//
//   "cloudKit_mapping_N"  rowid -> record hash
//   "cloudKit_record_N"   record hash -> database identifier, owner count, system fields
//   "cloudKit_queue_N"    the change sets not yet uploaded, chained by "prev"
//
// Record hash: Base64 of SHA-1 over record name, zone name and owner name (UTF-8, no separators),
// followed by "_" and the database identifier when there is one.
//
// The extension object owns what its connections share: the closures, the options, the master
// change queue (DZCKChangeQueue.h), the suspend count, the upload pipeline and the connection
// through which upload outcomes are written. Uploads run only while the suspend count is 0; every
// failed or partly failed upload raises it by one and calls the operation error closure (on the
// main queue), so the application decides when to try again by resuming. Notifications (default
// centre, object: the extension, on the main thread): DZCK_SuspendCountChanged, and
// DZCK_InFlightChangeSetChanged with {"uuid": identifier} when one is known.
//
// Misuse (a change set for a database identifier without a database identifier closure, or a
// closure that returns no database) raises platform::Exception "DizEvozidizCloudKit".
//
// Threads: everything public may be called from any thread. The suspend count is kept under a spin
// lock, the change queue under its own lock. Upload decisions run on the default global queue,
// uploads on the extension's own operation queue (one at a time), their outcomes in read-write
// transactions of the extension's completion connection. The closures are called on the threads
// named with them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizEvozidizBlockTypes.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeQueue.h"
#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeSet.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"
#include "platform/cloud/cloud_database.h"
#include "platform/runtime/error.h"
#include "platform/services/operation_queue.h"
#include "platform/system/locks.h"

inline constexpr std::string_view DizEvozidizCloudKitExceptionName = "DizEvozidizCloudKit";
inline constexpr std::string_view DZCKSuspendCountChangedNotification = "DZCK_SuspendCountChanged";
inline constexpr std::string_view DZCKInFlightChangeSetChangedNotification = "DZCK_InFlightChangeSetChanged";

struct DizEvozidizCloudKitOptions {
  // Null: every collection takes part.
  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections;
};

// The closure that turns a row into a record. It gets the transaction, the record by reference
// (the row's current record, or null), the record info, the collection and key, and the object and
// metadata when its block type reads them (nil otherwise). It may leave the record alone, set
// values on it, replace it (setting info.databaseIdentifier) or set it to null (no record).
class DizEvozidizCloudKitRecordHandler {
 public:
  using Ptr = std::shared_ptr<const DizEvozidizCloudKitRecordHandler>;
  using Block = std::function<void(DizEvozidizReadWriteTransaction& transaction, platform::CloudRecordPtr& record,
                                   DZCKRecordInfo& info, const std::string& collection, const std::string& key,
                                   const platform::Value& object, const platform::Value& metadata)>;
  using KeyBlock = std::function<void(DizEvozidizReadWriteTransaction&, platform::CloudRecordPtr&, DZCKRecordInfo&,
                                      const std::string& collection, const std::string& key)>;
  using ObjectBlock =
      std::function<void(DizEvozidizReadWriteTransaction&, platform::CloudRecordPtr&, DZCKRecordInfo&,
                         const std::string& collection, const std::string& key, const platform::Value& object)>;
  using MetadataBlock = ObjectBlock;  // the value slot carries the metadata
  using RowBlock = Block;

  // Default invoke options of the type (key 0, object 5, metadata 10, row 15); null for an empty block.
  static Ptr withKeyBlock(KeyBlock block);
  static Ptr withObjectBlock(ObjectBlock block);
  static Ptr withMetadataBlock(MetadataBlock block);
  static Ptr withRowBlock(RowBlock block);
  static Ptr withOptionsKeyBlock(std::uint64_t options, KeyBlock block);
  static Ptr withOptionsObjectBlock(std::uint64_t options, ObjectBlock block);
  static Ptr withOptionsMetadataBlock(std::uint64_t options, MetadataBlock block);
  static Ptr withOptionsRowBlock(std::uint64_t options, RowBlock block);

  DizEvozidizCloudKitRecordHandler(Block block, std::uint64_t blockType, std::uint64_t options)
      : block_(std::move(block)), blockType_(blockType), blockInvokeOptions_(options) {}

  const Block& block() const { return block_; }
  std::uint64_t blockType() const { return blockType_; }
  std::uint64_t blockInvokeOptions() const { return blockInvokeOptions_; }
  bool needsObject() const { return blockType_ & DizBlockTypeNeedsObject; }
  bool needsMetadata() const { return blockType_ & DizBlockTypeNeedsMetadata; }

 private:
  Block block_;
  std::uint64_t blockType_;
  std::uint64_t blockInvokeOptions_;
};

class DizEvozidizCloudKit;
using DizEvozidizCloudKitPtr = std::shared_ptr<DizEvozidizCloudKit>;

class DizEvozidizCloudKit : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(DizEvozidizCloudKit, DizEvozidizExtension)

 public:
  // A downloaded record merged into local rows: collection and key are nullopt when no row owns
  // the record but local changes to it are still queued.
  using MergeBlock = std::function<void(
      DizEvozidizReadWriteTransaction& transaction, const std::optional<std::string>& collection,
      const std::optional<std::string>& key, const platform::CloudRecordPtr& remoteRecord, DZCKMergeInfo& info)>;
  // After every failed upload, on the main queue.
  using OperationErrorBlock =
      std::function<void(const DZCKDatabaseIdentifier& databaseIdentifier, const platform::ErrorPtr& error)>;
  // The database of a (non-nil) database identifier.
  using DatabaseIdentifierBlock = std::function<platform::CloudDatabasePtr(const std::string& databaseIdentifier)>;

  // Null (logged) without a record handler or an operation error closure. A missing tag is "".
  static DizEvozidizCloudKitPtr make(DizEvozidizCloudKitRecordHandler::Ptr recordHandler, MergeBlock mergeBlock,
                                     OperationErrorBlock operationErrorBlock,
                                     DatabaseIdentifierBlock databaseIdentifierBlock = {},
                                     std::optional<std::string> versionTag = std::nullopt,
                                     platform::Value versionInfo = {},
                                     std::optional<DizEvozidizCloudKitOptions> options = std::nullopt);
  ~DizEvozidizCloudKit() override;

  const DizEvozidizCloudKitRecordHandler::Ptr& recordHandler() const { return recordHandler_; }
  const MergeBlock& mergeBlock() const { return mergeBlock_; }
  const OperationErrorBlock& operationErrorBlock() const { return operationErrorBlock_; }
  const std::string& versionTag() const { return versionTag_; }
  const platform::Value& versionInfo() const { return versionInfo_; }
  DizEvozidizCloudKitOptions options() const { return options_; }

  // ---- Suspension (any thread) ----
  // Each returns the new count. The count saturates at its largest value and never goes below 0
  // (both logged); reaching 0 on resume starts the next upload.
  std::uint64_t suspend() { return suspendWithCount(1); }
  std::uint64_t suspendWithCount(std::uint64_t count);
  std::uint64_t resume();
  std::uint64_t suspendCount() const;
  bool isSuspended() const { return suspendCount() != 0; }

  // ---- The queue (any thread) ----
  DZCKChangeSetPtr currentChangeSet() { return masterQueue_->currentChangeSet(); }
  // Full copies, oldest first; empty when none.
  std::vector<DZCKChangeSetPtr> pendingChangeSets() { return masterQueue_->changeSetsFromPreviousCommits(); }
  std::size_t numberOfInFlightChangeSets() { return masterQueue_->numberOfInFlightChangeSets(); }
  std::size_t numberOfQueuedChangeSets() { return masterQueue_->numberOfQueuedChangeSets(); }
  std::size_t numberOfPendingChangeSets() { return masterQueue_->numberOfPendingChangeSets(); }
  void getNumberOfInFlightChangeSets(std::size_t* inFlight, std::size_t* queued) {
    masterQueue_->getNumberOfInFlightChangeSets(inFlight, queued);
  }
  DZCKChangeQueue& masterQueue() { return *masterQueue_; }
  // Empties the master queue (set-up of a first registration, before any upload).
  void createNewMasterChangeQueue() { masterQueue_->removeAllChangeSets(); }

  // ---- Tables ----
  static std::string mappingTableNameForRegisteredName(const std::string& name) { return "cloudKit_mapping_" + name; }
  static std::string recordTableNameForRegisteredName(const std::string& name) { return "cloudKit_record_" + name; }
  static std::string queueTableNameForRegisteredName(const std::string& name) { return "cloudKit_queue_" + name; }
  std::string mappingTableName() const { return mappingTableNameForRegisteredName(registeredName()); }
  std::string recordTableName() const { return recordTableNameForRegisteredName(registeredName()); }
  std::string queueTableName() const { return queueTableNameForRegisteredName(registeredName()); }
  static void dropTablesForRegisteredName(const std::string& registeredName,
                                          DizEvozidizReadWriteTransaction& transaction, bool wasPersistent);

  // ---- Store calls ----
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;

  // ---- Upload pipeline ----
  // Queued on the default global queue: uploads the oldest change set unless the extension is
  // suspended or one is in flight; `forceNotification` posts DZCK_InFlightChangeSetChanged even
  // then.
  void asyncMaybeDispatchNextOperation(bool forceNotification);
  // The database of an identifier (nullopt: the default container's private database); raises on
  // misuse (see the banner).
  platform::CloudDatabasePtr databaseForIdentifier(const DZCKDatabaseIdentifier& databaseIdentifier);

 protected:
  DizEvozidizCloudKit(DizEvozidizCloudKitRecordHandler::Ptr recordHandler, MergeBlock mergeBlock,
                      OperationErrorBlock operationErrorBlock, DatabaseIdentifierBlock databaseIdentifierBlock,
                      std::string versionTag, platform::Value versionInfo, DizEvozidizCloudKitOptions options);

 private:
  void maybeDispatchNextOperation(bool forceNotification);
  void queueOperationForChangeSet(const DZCKChangeSetPtr& changeSet);
  void handleFailedOperation(const DZCKChangeSetPtr& changeSet, const platform::ErrorPtr& error);
  void handlePartiallyFailedOperation(const DZCKChangeSetPtr& changeSet,
                                      const std::vector<platform::CloudRecordPtr>& savedRecords,
                                      const std::vector<platform::CloudRecordIDPtr>& deletedRecordIDs,
                                      const platform::ErrorPtr& error);
  void handleCompletedOperation(const DZCKChangeSetPtr& changeSet,
                                const std::vector<platform::CloudRecordPtr>& savedRecords,
                                const std::vector<platform::CloudRecordIDPtr>& deletedRecordIDs);
  // The connection upload outcomes are written through, made on first use; null once the database
  // is gone. It is let go when no outcome is being written, so that it never keeps the database
  // open (a connection holds its database).
  std::shared_ptr<DizEvozidizConnection> beginCompletionTransaction();
  void endCompletionTransaction();
  void postNotification(std::string_view name, const std::optional<std::string>& uuid);
  std::shared_ptr<DizEvozidizCloudKit> self();

  const DizEvozidizCloudKitRecordHandler::Ptr recordHandler_;
  const MergeBlock mergeBlock_;
  const OperationErrorBlock operationErrorBlock_;
  const DatabaseIdentifierBlock databaseIdentifierBlock_;
  const std::string versionTag_;
  const platform::Value versionInfo_;
  const DizEvozidizCloudKitOptions options_;
  const std::unique_ptr<DZCKChangeQueue> masterQueue_;

  mutable platform::SpinLock suspendCountLock_;
  std::uint64_t suspendCount_ ZORVEL_GUARDED_BY(suspendCountLock_) = 0;

  const platform::OperationQueuePtr masterOperationQueue_;

  platform::Mutex completionLock_;
  std::shared_ptr<DizEvozidizConnection> completionDatabaseConnection_ ZORVEL_GUARDED_BY(completionLock_);
  int completionTransactions_ ZORVEL_GUARDED_BY(completionLock_) = 0;

  platform::Mutex databaseCacheLock_;
  std::unique_ptr<DizCache<std::string, platform::CloudDatabasePtr>> databaseCache_
      ZORVEL_GUARDED_BY(databaseCacheLock_);
};
