#pragma once

// DZCKChangeQueue: the change sets that are committed but not yet uploaded, oldest first. One
// master queue per cloud sync extension; the first change set is the only one that can be in
// flight (being uploaded).
//
// A read-write transaction that flushes its cloud changes, or records the outcome of an upload,
// works on a pending queue (DZCKPendingChangeQueue): newPendingQueue() takes the master's lock and
// makes an empty copy of every queued change set; the per-record updates fold each change into the
// copies (copy on first write) and into the change sets of the current commit, one per database;
// mergePendingQueue() writes the changed collections back, appends the new change sets and releases
// the lock. Per-record rules:
//
//   inserted record      a new change record in the current commit (earlier change sets untouched)
//   modified record      a new change record with its original values; older change records of the
//                        record whose changed keys intersect the new ones are marked to be stored
//                        whole (their values can no longer be rebuilt from the row)
//   detached record ID   older change records of it are marked whole; nothing is queued
//   deleted record ID    older ones marked whole; the current commit drops its change record for
//                        it and lists the deletion (an insert followed by a delete queues the
//                        deletion only)
//   merged record        a downloaded record merged locally: queued local values equal to the
//                        remote ones stay (rebased on the remote system fields), others leave the
//                        older change sets; the merged record's remaining keys go with this commit
//   remote-deleted ID    every older change record and deletion of it is dropped
//   saved record         an upload succeeded: later change sets take its new system fields (a
//                        partial completion also drops it from the in-flight change set)
//   saved deleted ID     a partial completion drops the deletion from the in-flight change set
//
// Threads: every master query and mutation takes the master lock, except the per-record updates,
// which require it held by the pending queue (from newPendingQueue to mergePendingQueue, on one
// thread, with no other master call in between: the lock is not recursive). A pending queue belongs
// to the thread that made it.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeSet.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

class DZCKChangeQueue;

class DZCKPendingChangeQueue {
 public:
  bool isMasterQueue() const { return false; }
  bool isPendingQueue() const { return true; }
  const std::string& lockUUID() const { return lockUUID_; }

  // The copies of the master's change sets as this operation changed them (copies of the array).
  std::vector<DZCKChangeSetPtr> changeSetsFromPreviousCommits() const { return oldChangeSets_; }
  // The change sets this operation created, in upload order, chained after the master's last
  // (identifiers "<UUID>@0", "<UUID>@1", ...); empty when none. Built once.
  const std::vector<DZCKChangeSetPtr>& changeSetsFromCurrentCommit();

 private:
  friend class DZCKChangeQueue;
  DZCKChangeSet& currentChangeSet(const DZCKDatabaseIdentifier& databaseIdentifier);
  DZCKChangeSet::ModifiedRecords& currentModified(const DZCKDatabaseIdentifier& databaseIdentifier);
  std::vector<platform::CloudRecordIDPtr>& currentDeleted(const DZCKDatabaseIdentifier& databaseIdentifier);

  std::vector<DZCKChangeSetPtr> oldChangeSets_;
  // In first-use order.
  std::vector<std::pair<DZCKDatabaseIdentifier, DZCKChangeSetPtr>> newChangeSetsByDatabase_;
  std::optional<std::vector<DZCKChangeSetPtr>> newChangeSets_;
  std::string lockUUID_;
};

class DZCKChangeQueue {
 public:
  DZCKChangeQueue() = default;
  DZCKChangeQueue(const DZCKChangeQueue&) = delete;
  DZCKChangeQueue& operator=(const DZCKChangeQueue&) = delete;

  bool isMasterQueue() const { return true; }
  bool isPendingQueue() const { return false; }
  std::string lockUUID() const;

  // Forgets every change set (a new, empty queue).
  void removeAllChangeSets() ZORVEL_EXCLUDES(lock_);
  // Appends the restored change sets, oldest first (once, at start).
  void restoreOldChangeSets(const std::vector<DZCKChangeSetPtr>& changeSets) ZORVEL_EXCLUDES(lock_);
  // A full copy of the first change set, now marked in flight; null when the queue is empty or the
  // first is already in flight (then *alreadyInFlight is true).
  DZCKChangeSetPtr makeInFlightChangeSet(bool* alreadyInFlight = nullptr) ZORVEL_EXCLUDES(lock_);
  // If the first change set is in flight: removes it.
  void removeCompletedInFlightChangeSet() ZORVEL_EXCLUDES(lock_);
  // If the first change set is in flight: clears the mark (it stays first).
  void resetFailedInFlightChangeSet() ZORVEL_EXCLUDES(lock_);

  // What a merge replaced, so that a transaction that rolls back after its merge can take it back.
  struct MergeUndo {
    std::vector<std::pair<std::size_t, DZCKChangeSetPtr>> replaced;  // position, the collections before
    std::size_t appendedFrom = 0;                                    // the first appended position
  };

  // Takes the lock (held until mergePendingQueue).
  std::unique_ptr<DZCKPendingChangeQueue> newPendingQueue() ZORVEL_ACQUIRE(lock_);
  MergeUndo mergePendingQueue(DZCKPendingChangeQueue& pending) ZORVEL_RELEASE(lock_);
  // Restores the queue as it was before the merge (nothing else may have changed it since: merges
  // and removals happen only inside read-write transactions, one at a time).
  void undoMerge(const MergeUndo& undo) ZORVEL_EXCLUDES(lock_);

  std::optional<std::string> currentChangeSetUUID() ZORVEL_EXCLUDES(lock_);
  DZCKChangeSetPtr currentChangeSet() ZORVEL_EXCLUDES(lock_);
  // Full copies of every queued change set, oldest first.
  std::vector<DZCKChangeSetPtr> changeSetsFromPreviousCommits() ZORVEL_EXCLUDES(lock_);

  std::size_t numberOfInFlightChangeSets() ZORVEL_EXCLUDES(lock_);
  std::size_t numberOfQueuedChangeSets() ZORVEL_EXCLUDES(lock_);
  std::size_t numberOfPendingChangeSets() ZORVEL_EXCLUDES(lock_);
  void getNumberOfInFlightChangeSets(std::size_t* inFlight, std::size_t* queued) ZORVEL_EXCLUDES(lock_);

  void getHasPendingModification(bool* hasPendingModification, bool* hasPendingDelete,
                                 const platform::CloudRecordID& recordID,
                                 const DZCKDatabaseIdentifier& databaseIdentifier) ZORVEL_EXCLUDES(lock_);
  // Hands every queued change record of the record (same database, oldest first) to the merge info;
  // true when there was at least one.
  bool mergeChangesForRecordID(const platform::CloudRecordID& recordID,
                               const DZCKDatabaseIdentifier& databaseIdentifier, DZCKMergeInfo& mergeInfo)
      ZORVEL_EXCLUDES(lock_);

  // ---- Per-record updates (between newPendingQueue and mergePendingQueue) ----
  void updatePendingQueueWithInsertedRecord(DZCKPendingChangeQueue& pending, const platform::CloudRecordPtr& record,
                                            const DZCKDatabaseIdentifier& databaseIdentifier) ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithModifiedRecord(DZCKPendingChangeQueue& pending, const platform::CloudRecordPtr& record,
                                            const DZCKDatabaseIdentifier& databaseIdentifier,
                                            const platform::Value& originalValues) ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithDetachedRecordID(DZCKPendingChangeQueue& pending,
                                              const platform::CloudRecordIDPtr& recordID,
                                              const DZCKDatabaseIdentifier& databaseIdentifier) ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithDeletedRecordID(DZCKPendingChangeQueue& pending,
                                             const platform::CloudRecordIDPtr& recordID,
                                             const DZCKDatabaseIdentifier& databaseIdentifier) ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithMergedRecord(DZCKPendingChangeQueue& pending, const platform::CloudRecordPtr& record,
                                          const DZCKDatabaseIdentifier& databaseIdentifier) ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithRemoteDeletedRecordID(DZCKPendingChangeQueue& pending,
                                                   const platform::CloudRecordIDPtr& recordID,
                                                   const DZCKDatabaseIdentifier& databaseIdentifier)
      ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithSavedRecord(DZCKPendingChangeQueue& pending, const platform::CloudRecordPtr& record,
                                         const DZCKDatabaseIdentifier& databaseIdentifier, bool isOpPartialCompletion)
      ZORVEL_REQUIRES(lock_);
  void updatePendingQueueWithSavedDeletedRecordID(DZCKPendingChangeQueue& pending,
                                                  const platform::CloudRecordIDPtr& recordID,
                                                  const DZCKDatabaseIdentifier& databaseIdentifier)
      ZORVEL_REQUIRES(lock_);

 private:
  DZCKChangeSet::ModifiedRecords& modifiedCopy(DZCKPendingChangeQueue& pending, std::size_t index)
      ZORVEL_REQUIRES(lock_);
  std::vector<platform::CloudRecordIDPtr>& deletedCopy(DZCKPendingChangeQueue& pending, std::size_t index,
                                                       bool markChanged) ZORVEL_REQUIRES(lock_);
  // Marks older change records of the record (same database) to be stored whole, where `keys` is
  // null or intersects their changed keys.
  void keepWhole(DZCKPendingChangeQueue& pending, const DZCKRecordIDKey& key,
                 const DZCKDatabaseIdentifier& databaseIdentifier, const std::set<std::string>* keys)
      ZORVEL_REQUIRES(lock_);

  mutable platform::Mutex lock_;
  std::vector<DZCKChangeSetPtr> oldChangeSets_ ZORVEL_GUARDED_BY(lock_);
  mutable platform::Mutex lockUUIDLock_;
  std::string lockUUID_ ZORVEL_GUARDED_BY(lockUUIDLock_);
};
