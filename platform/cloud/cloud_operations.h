#pragma once

// Operations on the cloud record database: fetch and modify record zones, zone subscriptions and
// records, fetch a zone's changes since a change token, and fetch records by ID.
//
// Each is an Operation (operation_queue.h): give it to CloudDatabase::addOperation, or set its
// database and add it to any operation queue (without a database it uses the default container's
// private database). It runs one request on a connection of its own and calls its blocks on the
// thread that runs it, per-item blocks first, the completion block last, exactly once, before the
// operation finishes. Set the blocks before the operation starts.
//
// Errors (cloud_error.h): an operation that cannot reach the server, has no account, or was
// cancelled before it ran, hands that one error to its completion block (and to every zone's
// block for the zone-changes fetch). When only some items fail, the completion block gets a
// partial failure with one error per failed item and the items that succeeded:
//   - zones:          ZoneNotFound for a missing zone (fetch);
//   - subscriptions:  UnknownItem for a missing subscription (fetch), ZoneNotFound (save);
//   - records:        ServerRecordChanged when a save is based on another version than the
//                     server's (a stale change tag, or a new record over an existing one),
//                     UnknownItem for a save based on a record the server no longer has (its
//                     description names the record) or a fetch of one, ZoneNotFound,
//                     InvalidArguments, LimitExceeded.
// Deleting a zone, subscription or record that does not exist succeeds.
//
// Threads: set up an operation on one thread before it starts; its getters may be read from any
// thread.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_error.h"
#include "platform/cloud/cloud_record.h"
#include "platform/services/operation_queue.h"

namespace platform {

namespace detail {
class CloudSession;
}

class CloudDatabaseOperation : public Operation {
  ZORVEL_CLASS(CloudDatabaseOperation, Operation)

 public:
  void setDatabase(CloudDatabasePtr database);
  CloudDatabasePtr database() const;
  // Kept for callers that set it; this client has no metered links to spare.
  void setAllowsCellularAccess(bool allows);
  bool allowsCellularAccess() const;

  // A cancelled operation hands OperationCancelled to its completion block(s), then finishes.
  void start() override;
  void main() final;

 protected:
  CloudDatabaseOperation() = default;
  // Runs the request; a failure of the whole request is thrown as detail::CloudFailure.
  virtual void perform(detail::CloudSession&) {}
  // Reports a failure of the whole operation to the completion block(s).
  virtual void finishWithError(const ErrorPtr&) {}

  // Blocks and settings are set on one thread and read on the one that runs the operation.
  template <class T>
  void setGuarded(T& member, T value) {
    std::lock_guard lock(setupMutex_);
    member = std::move(value);
  }
  template <class T>
  T guarded(const T& member) const {
    std::lock_guard lock(setupMutex_);
    return member;
  }

  mutable std::mutex setupMutex_;

 private:
  CloudDatabasePtr database_;
  bool allowsCellularAccess_ = true;
  std::atomic<bool> cancelReported_{false};
};

class CloudFetchRecordZonesOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudFetchRecordZonesOperation, CloudDatabaseOperation)

 public:
  using CompletionBlock = std::function<void(const std::vector<CloudRecordZone>& zones, const ErrorPtr& error)>;

  CloudFetchRecordZonesOperation() = default;
  static std::shared_ptr<CloudFetchRecordZonesOperation> make(std::vector<CloudZoneID> zoneIDs);
  // Every zone of the user.
  static std::shared_ptr<CloudFetchRecordZonesOperation> fetchAllRecordZonesOperation();

  void setFetchRecordZonesCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudZoneID> zoneIDs_;
  bool all_ = false;
  CompletionBlock completion_;
};

class CloudModifyRecordZonesOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudModifyRecordZonesOperation, CloudDatabaseOperation)

 public:
  using CompletionBlock = std::function<void(const std::vector<CloudRecordZone>& saved,
                                             const std::vector<CloudZoneID>& deleted, const ErrorPtr& error)>;

  CloudModifyRecordZonesOperation() = default;
  static std::shared_ptr<CloudModifyRecordZonesOperation> make(std::vector<CloudRecordZone> zonesToSave,
                                                               std::vector<CloudZoneID> zoneIDsToDelete);
  void setModifyRecordZonesCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudRecordZone> save_;
  std::vector<CloudZoneID> delete_;
  CompletionBlock completion_;
};

class CloudFetchSubscriptionsOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudFetchSubscriptionsOperation, CloudDatabaseOperation)

 public:
  using CompletionBlock =
      std::function<void(const std::vector<CloudRecordZoneSubscription>& subscriptions, const ErrorPtr& error)>;

  CloudFetchSubscriptionsOperation() = default;
  static std::shared_ptr<CloudFetchSubscriptionsOperation> make(std::vector<std::string> subscriptionIDs);
  static std::shared_ptr<CloudFetchSubscriptionsOperation> fetchAllSubscriptionsOperation();

  void setFetchSubscriptionCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<std::string> ids_;
  bool all_ = false;
  CompletionBlock completion_;
};

class CloudModifySubscriptionsOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudModifySubscriptionsOperation, CloudDatabaseOperation)

 public:
  using CompletionBlock = std::function<void(const std::vector<CloudRecordZoneSubscription>& saved,
                                             const std::vector<std::string>& deleted, const ErrorPtr& error)>;

  CloudModifySubscriptionsOperation() = default;
  static std::shared_ptr<CloudModifySubscriptionsOperation> make(
      std::vector<CloudRecordZoneSubscription> subscriptionsToSave, std::vector<std::string> subscriptionIDsToDelete);
  void setModifySubscriptionsCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudRecordZoneSubscription> save_;
  std::vector<std::string> delete_;
  CompletionBlock completion_;
};

// How a save treats the server's record: only this policy exists.
enum class CloudRecordSavePolicy {
  IfServerRecordUnchanged = 0,  // save only when the server's record is the version the record came from
};

class CloudModifyRecordsOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudModifyRecordsOperation, CloudDatabaseOperation)

 public:
  // Saved: copies of the records that were stored, with the server's new system fields and no
  // changed keys. Deleted: the IDs whose deletion succeeded.
  using CompletionBlock = std::function<void(const std::vector<CloudRecordPtr>& saved,
                                             const std::vector<CloudRecordIDPtr>& deleted, const ErrorPtr& error)>;

  CloudModifyRecordsOperation() = default;
  // A record the server has stored (it has a change tag) sends its changed keys only, merged
  // into the server's values; a new record sends all its values. Null entries are ignored.
  static std::shared_ptr<CloudModifyRecordsOperation> make(std::vector<CloudRecordPtr> recordsToSave,
                                                           std::vector<CloudRecordIDPtr> recordIDsToDelete);
  void setSavePolicy(CloudRecordSavePolicy policy);
  CloudRecordSavePolicy savePolicy() const;
  void setModifyRecordsCompletionBlock(CompletionBlock block);
  const std::vector<CloudRecordPtr>& recordsToSave() const { return save_; }
  const std::vector<CloudRecordIDPtr>& recordIDsToDelete() const { return delete_; }

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudRecordPtr> save_;
  std::vector<CloudRecordIDPtr> delete_;
  CloudRecordSavePolicy policy_ = CloudRecordSavePolicy::IfServerRecordUnchanged;
  CompletionBlock completion_;
};

struct CloudFetchRecordZoneChangesOptions {
  CloudServerChangeTokenPtr previousServerChangeToken;  // null: from the beginning
  std::uint32_t resultsLimit = 0;  // changes per fetch; 0: the default page; at most the largest page
};

inline constexpr std::uint32_t kCloudDefaultChangesPageSize = 400;
inline constexpr std::uint32_t kCloudLargestChangesPageSize = 10000;

class CloudFetchRecordZoneChangesOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudFetchRecordZoneChangesOperation, CloudDatabaseOperation)

 public:
  using RecordChangedBlock = std::function<void(const CloudRecordPtr& record)>;
  using RecordDeletedBlock = std::function<void(const CloudRecordIDPtr& recordID, const std::string& recordType)>;
  // Per zone, after its records: the token to fetch from next time (null on error), and whether
  // more changes wait beyond this page (fetch again from the new token).
  using ZoneCompletionBlock = std::function<void(const CloudZoneID& zoneID, const CloudServerChangeTokenPtr& token,
                                                 bool moreComing, const ErrorPtr& error)>;
  // Last: null, or a partial failure keyed by the zone names that failed.
  using CompletionBlock = std::function<void(const ErrorPtr& error)>;

  CloudFetchRecordZoneChangesOperation() = default;
  // Zones without options fetch from the beginning, a default page at a time.
  static std::shared_ptr<CloudFetchRecordZoneChangesOperation> make(
      std::vector<CloudZoneID> zoneIDs, std::map<CloudZoneID, CloudFetchRecordZoneChangesOptions> optionsByZoneID = {});

  void setRecordChangedBlock(RecordChangedBlock block);
  void setRecordWithIDWasDeletedBlock(RecordDeletedBlock block);
  void setRecordZoneFetchCompletionBlock(ZoneCompletionBlock block);
  void setFetchRecordZoneChangesCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudZoneID> zoneIDs_;
  std::map<CloudZoneID, CloudFetchRecordZoneChangesOptions> options_;
  RecordChangedBlock changed_;
  RecordDeletedBlock deleted_;
  ZoneCompletionBlock zoneCompletion_;
  CompletionBlock completion_;
};

class CloudFetchRecordsOperation : public CloudDatabaseOperation {
  ZORVEL_CLASS(CloudFetchRecordsOperation, CloudDatabaseOperation)

 public:
  // Per requested ID, in order: the record, or null and its error.
  using PerRecordCompletionBlock =
      std::function<void(const CloudRecordPtr& record, const CloudRecordIDPtr& recordID, const ErrorPtr& error)>;
  // The records found, in the order asked for; a partial failure when some were not.
  using CompletionBlock = std::function<void(const std::vector<CloudRecordPtr>& records, const ErrorPtr& error)>;

  CloudFetchRecordsOperation() = default;
  static std::shared_ptr<CloudFetchRecordsOperation> make(std::vector<CloudRecordIDPtr> recordIDs);

  void setPerRecordCompletionBlock(PerRecordCompletionBlock block);
  void setFetchRecordsCompletionBlock(CompletionBlock block);

 protected:
  void perform(detail::CloudSession& session) override;
  void finishWithError(const ErrorPtr& error) override;

 private:
  std::vector<CloudRecordIDPtr> ids_;
  PerRecordCompletionBlock perRecord_;
  CompletionBlock completion_;
};

}  // namespace platform
