#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.h"

#include <limits>
#include <set>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitConnection.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "platform/cloud/cloud_error.h"
#include "platform/cloud/cloud_operations.h"
#include "platform/dispatch/dispatch.h"
#include "platform/services/notification_center.h"
#include "platform/system/this_thread.h"

using platform::CloudDatabasePtr;
using platform::CloudRecordIDPtr;
using platform::CloudRecordPtr;
using platform::ErrorPtr;
using platform::Value;

namespace {

constexpr const char* kCloudKitLogFile = "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.cpp";
#define DZCK_LOG_ERROR(...) DIZ_LOG_IN(kDizLogFlagError, kCloudKitLogFile, __VA_ARGS__)
#define DZCK_LOG_WARN(...) DIZ_LOG_IN(kDizLogFlagWarning, kCloudKitLogFile, __VA_ARGS__)

using Handler = DizEvozidizCloudKitRecordHandler;

}  // namespace

// ---- Record handler ----

Handler::Ptr Handler::withKeyBlock(KeyBlock block) {
  return withOptionsKeyBlock(DizDefaultBlockInvokeOptions(DizBlockTypeKey), std::move(block));
}
Handler::Ptr Handler::withObjectBlock(ObjectBlock block) {
  return withOptionsObjectBlock(DizDefaultBlockInvokeOptions(DizBlockTypeObject), std::move(block));
}
Handler::Ptr Handler::withMetadataBlock(MetadataBlock block) {
  return withOptionsMetadataBlock(DizDefaultBlockInvokeOptions(DizBlockTypeMetadata), std::move(block));
}
Handler::Ptr Handler::withRowBlock(RowBlock block) {
  return withOptionsRowBlock(DizDefaultBlockInvokeOptions(DizBlockTypeRow), std::move(block));
}

Handler::Ptr Handler::withOptionsKeyBlock(std::uint64_t options, KeyBlock block) {
  if (!block) return nullptr;
  return std::make_shared<const Handler>(
      [block = std::move(block)](DizEvozidizReadWriteTransaction& t, CloudRecordPtr& r, DZCKRecordInfo& i,
                                 const std::string& c, const std::string& k, const Value&,
                                 const Value&) { block(t, r, i, c, k); },
      DizBlockTypeKey, options);
}

Handler::Ptr Handler::withOptionsObjectBlock(std::uint64_t options, ObjectBlock block) {
  if (!block) return nullptr;
  return std::make_shared<const Handler>(
      [block = std::move(block)](DizEvozidizReadWriteTransaction& t, CloudRecordPtr& r, DZCKRecordInfo& i,
                                 const std::string& c, const std::string& k, const Value& o,
                                 const Value&) { block(t, r, i, c, k, o); },
      DizBlockTypeObject, options);
}

Handler::Ptr Handler::withOptionsMetadataBlock(std::uint64_t options, MetadataBlock block) {
  if (!block) return nullptr;
  return std::make_shared<const Handler>(
      [block = std::move(block)](DizEvozidizReadWriteTransaction& t, CloudRecordPtr& r, DZCKRecordInfo& i,
                                 const std::string& c, const std::string& k, const Value&,
                                 const Value& m) { block(t, r, i, c, k, m); },
      DizBlockTypeMetadata, options);
}

Handler::Ptr Handler::withOptionsRowBlock(std::uint64_t options, RowBlock block) {
  if (!block) return nullptr;
  return std::make_shared<const Handler>(std::move(block), DizBlockTypeRow, options);
}

// ---- Construction ----

DizEvozidizCloudKit::DizEvozidizCloudKit(DizEvozidizCloudKitRecordHandler::Ptr recordHandler, MergeBlock mergeBlock,
                                         OperationErrorBlock operationErrorBlock,
                                         DatabaseIdentifierBlock databaseIdentifierBlock, std::string versionTag,
                                         Value versionInfo, DizEvozidizCloudKitOptions options)
    : recordHandler_(std::move(recordHandler)),
      mergeBlock_(std::move(mergeBlock)),
      operationErrorBlock_(std::move(operationErrorBlock)),
      databaseIdentifierBlock_(std::move(databaseIdentifierBlock)),
      versionTag_(std::move(versionTag)),
      versionInfo_(std::move(versionInfo)),
      options_(std::move(options)),
      masterQueue_(std::make_unique<DZCKChangeQueue>()),
      masterOperationQueue_(platform::OperationQueue::create("DizEvozidizCloudKit.masterOperationQueue")) {
  masterOperationQueue_->setMaxConcurrentOperationCount(1);
}

DizEvozidizCloudKitPtr DizEvozidizCloudKit::make(DizEvozidizCloudKitRecordHandler::Ptr recordHandler,
                                                 MergeBlock mergeBlock, OperationErrorBlock operationErrorBlock,
                                                 DatabaseIdentifierBlock databaseIdentifierBlock,
                                                 std::optional<std::string> versionTag, Value versionInfo,
                                                 std::optional<DizEvozidizCloudKitOptions> options) {
  if (!recordHandler || !recordHandler->block()) {
    DZCK_LOG_ERROR("%@: %@ - Invalid recordHandler: NULL",
                   "initWithRecordHandler:mergeBlock:operationErrorBlock:databaseIdentifierBlock:"
                   "versionTag:versionInfo:options:");
    return nullptr;
  }
  if (!operationErrorBlock) {
    DZCK_LOG_ERROR("%@: %@ - Invalid operationErrorBlock: NULL",
                   "initWithRecordHandler:mergeBlock:operationErrorBlock:databaseIdentifierBlock:"
                   "versionTag:versionInfo:options:");
    return nullptr;
  }
  return platform::make<DizEvozidizCloudKit>(std::move(recordHandler), std::move(mergeBlock),
                                             std::move(operationErrorBlock), std::move(databaseIdentifierBlock),
                                             versionTag.value_or(std::string()), std::move(versionInfo),
                                             options.value_or(DizEvozidizCloudKitOptions{}));
}

DizEvozidizCloudKit::~DizEvozidizCloudKit() = default;

std::shared_ptr<DizEvozidizCloudKit> DizEvozidizCloudKit::self() {
  return std::static_pointer_cast<DizEvozidizCloudKit>(shared_from_this());
}

// ---- Suspension ----

std::uint64_t DizEvozidizCloudKit::suspendWithCount(std::uint64_t count) {
  std::uint64_t now;
  bool saturated = false;
  {
    suspendCountLock_.lock();
    if (count > std::numeric_limits<std::uint64_t>::max() - suspendCount_) {
      suspendCount_ = std::numeric_limits<std::uint64_t>::max();
      saturated = true;
    } else {
      suspendCount_ += count;
    }
    now = suspendCount_;
    suspendCountLock_.unlock();
  }
  if (saturated)
    DZCK_LOG_WARN("%@: %@ - The suspendCount has reached NSUIntegerMax!", "suspendWithCount:");
  else if (count != 0)
    postNotification(DZCKSuspendCountChangedNotification, std::nullopt);
  return now;
}

std::uint64_t DizEvozidizCloudKit::resume() {
  std::uint64_t now;
  bool changed = false;
  {
    suspendCountLock_.lock();
    if (suspendCount_ > 0) {
      --suspendCount_;
      changed = true;
    }
    now = suspendCount_;
    suspendCountLock_.unlock();
  }
  if (!changed) {
    DZCK_LOG_WARN("%@: %@ - Attempting to resume with suspendCount already at zero.", "resume");
    return now;
  }
  postNotification(DZCKSuspendCountChangedNotification, std::nullopt);
  if (now == 0) asyncMaybeDispatchNextOperation(false);
  return now;
}

std::uint64_t DizEvozidizCloudKit::suspendCount() const {
  suspendCountLock_.lock();
  const std::uint64_t count = suspendCount_;
  suspendCountLock_.unlock();
  return count;
}

void DizEvozidizCloudKit::postNotification(std::string_view name, const std::optional<std::string>& uuid) {
  Value userInfo;
  if (uuid) userInfo = Value::dictionary({{"uuid", *uuid}});
  auto notification = platform::Notification::make(std::string(name), self(), std::move(userInfo));
  const auto& center = platform::NotificationCenter::defaultCenter();
  if (platform::isMainThread())
    center->post(notification);
  else
    center->postOnMainQueueAsync(std::move(notification));
}

// ---- Tables ----

void DizEvozidizCloudKit::dropTablesForRegisteredName(const std::string& registeredName,
                                                      DizEvozidizReadWriteTransaction& transaction, bool) {
  sqlite3* db = DizInternal(*transaction.connection()).db;
  for (const std::string& table :
       {mappingTableNameForRegisteredName(registeredName), recordTableNameForRegisteredName(registeredName),
        queueTableNameForRegisteredName(registeredName)}) {
    const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(table) + ";";
    const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (status != SQLITE_OK)
      DZCK_LOG_ERROR("%@: %@ - Failed dropping table (%@): %d %s",
                     "dropTablesForRegisteredName:withTransaction:wasPersistent:", table, status, sqlite3_errmsg(db));
  }
}

DizEvozidizExtensionConnectionPtr DizEvozidizCloudKit::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizCloudKitConnection::make(self(), &connection);
}

// ---- Upload pipeline ----

void DizEvozidizCloudKit::asyncMaybeDispatchNextOperation(bool forceNotification) {
  std::weak_ptr<DizEvozidizCloudKit> weak = self();
  platform::DispatchQueue::global()->async([weak, forceNotification] {
    if (auto extension = weak.lock()) extension->maybeDispatchNextOperation(forceNotification);
  });
}

void DizEvozidizCloudKit::maybeDispatchNextOperation(bool forceNotification) {
  if (isSuspended()) {
    if (forceNotification)
      postNotification(DZCKInFlightChangeSetChangedNotification, masterQueue_->currentChangeSetUUID());
    return;
  }
  DZCKChangeSetPtr changeSet = masterQueue_->makeInFlightChangeSet();
  if (changeSet) {
    if (changeSet->recordIDsToDeleteCount() > 0 || changeSet->recordsToSaveCount() > 0)
      queueOperationForChangeSet(changeSet);
    else
      handleCompletedOperation(changeSet, {}, {});
    postNotification(DZCKInFlightChangeSetChangedNotification, changeSet->uuid());
  } else if (forceNotification) {
    postNotification(DZCKInFlightChangeSetChangedNotification, masterQueue_->currentChangeSetUUID());
  }
}

CloudDatabasePtr DizEvozidizCloudKit::databaseForIdentifier(const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!databaseIdentifier) return platform::CloudContainer::defaultContainer()->privateCloudDatabase();
  {
    platform::MutexLock lock(databaseCacheLock_);
    if (databaseCache_)
      if (CloudDatabasePtr* cached = databaseCache_->objectForKey(*databaseIdentifier)) return *cached;
  }
  if (!databaseIdentifierBlock_)
    platform::Exception::raiseFormat(
        DizEvozidizCloudKitExceptionName,
        "The DizEvozidizCloudKit instance was not configured with a databaseIdentifierBlock. However, we "
        "encountered an object with a non-nil databaseIdentifier (%@). The databaseIdentifierBlock is required in "
        "order to discover the proper CKDatabase for the databaseIdentifier. Without the CKDatabase, we don't know "
        "where to send the corresponding CKRecord/CKRecordID.",
        *databaseIdentifier);
  CloudDatabasePtr database = databaseIdentifierBlock_(*databaseIdentifier);
  if (!database)
    platform::Exception::raiseFormat(
        DizEvozidizCloudKitExceptionName,
        "The databaseIdentifierBlock returned nil for databaseIdentifier (%@). The databaseIdentifierBlock is "
        "required to return the proper CKDatabase for the databaseIdentifier. Without the CKDatabase, we don't know "
        "where to send the corresponding CKRecord/CKRecordID.",
        *databaseIdentifier);
  platform::MutexLock lock(databaseCacheLock_);
  if (!databaseCache_) databaseCache_ = std::make_unique<DizCache<std::string, CloudDatabasePtr>>(4);
  databaseCache_->setObject(database, *databaseIdentifier);
  return database;
}

void DizEvozidizCloudKit::queueOperationForChangeSet(const DZCKChangeSetPtr& changeSet) {
  CloudDatabasePtr database = databaseForIdentifier(changeSet->databaseIdentifier());
  auto operation =
      platform::CloudModifyRecordsOperation::make(changeSet->recordsToSave_noCopy(), changeSet->recordIDsToDelete());
  operation->setDatabase(database);
  operation->setSavePolicy(platform::CloudRecordSavePolicy::IfServerRecordUnchanged);
  std::weak_ptr<DizEvozidizCloudKit> weak = self();
  operation->setModifyRecordsCompletionBlock([weak, changeSet](const std::vector<CloudRecordPtr>& saved,
                                                               const std::vector<CloudRecordIDPtr>& deleted,
                                                               const ErrorPtr& error) {
    auto extension = weak.lock();
    if (!extension) return;
    if (!error)
      extension->handleCompletedOperation(changeSet, saved, deleted);
    else if (platform::isCloudError(*error, platform::CloudErrorCode::PartialFailure))
      extension->handlePartiallyFailedOperation(changeSet, saved, deleted, error);
    else
      extension->handleFailedOperation(changeSet, error);
  });
  masterOperationQueue_->addOperation(operation);
}

void DizEvozidizCloudKit::handleFailedOperation(const DZCKChangeSetPtr& changeSet, const ErrorPtr& error) {
  suspend();
  masterQueue_->resetFailedInFlightChangeSet();
  postNotification(DZCKInFlightChangeSetChangedNotification, changeSet->uuid());
  auto extension = self();
  platform::DispatchQueue::main()->async(
      [extension, changeSet, error] { extension->operationErrorBlock_(changeSet->databaseIdentifier(), error); });
}

void DizEvozidizCloudKit::handlePartiallyFailedOperation(const DZCKChangeSetPtr& changeSet,
                                                         const std::vector<CloudRecordPtr>& savedRecords,
                                                         const std::vector<CloudRecordIDPtr>& deletedRecordIDs,
                                                         const ErrorPtr& error) {
  suspend();
  std::set<DZCKRecordIDKey> failed;
  for (const platform::CloudItemError& item : platform::cloudPartialErrors(*error))
    if (auto id = item.itemID.as<platform::CloudRecordID>()) failed.insert(DZCKKeyForRecordID(*id));
  std::vector<CloudRecordPtr> saved;
  for (const auto& record : savedRecords)
    if (record && record->recordID() && !failed.count(DZCKKeyForRecordID(*record->recordID()))) saved.push_back(record);
  std::vector<CloudRecordIDPtr> deleted;
  for (const auto& id : deletedRecordIDs)
    if (id && !failed.count(DZCKKeyForRecordID(*id))) deleted.push_back(id);

  auto connection = beginCompletionTransaction();
  auto extension = self();
  auto reportError = [extension, changeSet, error] {
    platform::DispatchQueue::main()->async(
        [extension, changeSet, error] { extension->operationErrorBlock_(changeSet->databaseIdentifier(), error); });
  };
  if (!connection) {
    masterQueue_->resetFailedInFlightChangeSet();
    reportError();
    return;
  }
  const std::string name = registeredName();
  connection->asyncReadWriteWithBlock(
      [name, changeSet, saved, deleted](DizEvozidizReadWriteTransaction& t) {
        if (auto cloud = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(name)))
          cloud->handlePartiallyCompletedOperationWithChangeSet(changeSet, saved, deleted);
      },
      DizEvozidizConnection::ReadWriteCompletionBlock([extension, reportError](const ErrorPtr&) {
        extension->endCompletionTransaction();
        reportError();
      }),
      platform::DispatchQueue::global());
}

void DizEvozidizCloudKit::handleCompletedOperation(const DZCKChangeSetPtr& changeSet,
                                                   const std::vector<CloudRecordPtr>& savedRecords,
                                                   const std::vector<CloudRecordIDPtr>& deletedRecordIDs) {
  auto connection = beginCompletionTransaction();
  if (!connection) {
    masterQueue_->resetFailedInFlightChangeSet();
    return;
  }
  auto extension = self();
  const std::string name = registeredName();
  connection->asyncReadWriteWithBlock(
      [name, changeSet, savedRecords, deletedRecordIDs](DizEvozidizReadWriteTransaction& t) {
        if (auto cloud = std::dynamic_pointer_cast<DizEvozidizCloudKitTransaction>(t.ext(name)))
          cloud->handleCompletedOperationWithChangeSet(changeSet, savedRecords, deletedRecordIDs);
      },
      DizEvozidizConnection::ReadWriteCompletionBlock([extension, changeSet](const ErrorPtr& error) {
        extension->endCompletionTransaction();
        // The outcome could not be written: the change set stays first and is uploaded again
        // (saving it again is harmless only while the server's record is unchanged, which is the
        // save policy), after the application resumes.
        if (error) extension->handleFailedOperation(changeSet, error);
      }),
      platform::DispatchQueue::global());
}

std::shared_ptr<DizEvozidizConnection> DizEvozidizCloudKit::beginCompletionTransaction() {
  platform::MutexLock lock(completionLock_);
  if (!completionDatabaseConnection_) {
    auto database = registeredDatabase();
    if (!database) return nullptr;
    completionDatabaseConnection_ = database->newConnection();
    completionDatabaseConnection_->setObjectCacheEnabled(false);
    completionDatabaseConnection_->setMetadataCacheEnabled(false);
  }
  ++completionTransactions_;
  return completionDatabaseConnection_;
}

void DizEvozidizCloudKit::endCompletionTransaction() {
  platform::MutexLock lock(completionLock_);
  if (--completionTransactions_ == 0) completionDatabaseConnection_.reset();
}
