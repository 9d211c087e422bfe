#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeQueue.h"

#include <algorithm>

#include "platform/system/crypto.h"

using platform::CloudRecordIDPtr;
using platform::CloudRecordPtr;
using platform::MutexLock;
using platform::Value;

namespace {

const DZCKChangeRecordPtr* findChangeRecord(const DZCKChangeSet& changeSet, const DZCKRecordIDKey& key) {
  if (!changeSet.modifiedRecords()) return nullptr;
  auto it = changeSet.modifiedRecords()->find(key);
  return it == changeSet.modifiedRecords()->end() ? nullptr : &it->second;
}

bool listsDeletion(const DZCKChangeSet& changeSet, const DZCKRecordIDKey& key) {
  if (!changeSet.deletedRecordIDs()) return false;
  return std::any_of(changeSet.deletedRecordIDs()->begin(), changeSet.deletedRecordIDs()->end(),
                     [&](const CloudRecordIDPtr& id) { return id && DZCKKeyForRecordID(*id) == key; });
}

}  // namespace

// ---- Pending queue ----

DZCKChangeSet& DZCKPendingChangeQueue::currentChangeSet(const DZCKDatabaseIdentifier& databaseIdentifier) {
  for (auto& [database, changeSet] : newChangeSetsByDatabase_)
    if (database == databaseIdentifier) return *changeSet;
  newChangeSetsByDatabase_.emplace_back(databaseIdentifier, std::make_shared<DZCKChangeSet>(databaseIdentifier));
  newChangeSets_.reset();
  return *newChangeSetsByDatabase_.back().second;
}

DZCKChangeSet::ModifiedRecords& DZCKPendingChangeQueue::currentModified(
    const DZCKDatabaseIdentifier& databaseIdentifier) {
  auto& records = currentChangeSet(databaseIdentifier).modifiedRecords();
  if (!records) records.emplace();
  return *records;
}

std::vector<CloudRecordIDPtr>& DZCKPendingChangeQueue::currentDeleted(
    const DZCKDatabaseIdentifier& databaseIdentifier) {
  auto& ids = currentChangeSet(databaseIdentifier).deletedRecordIDs();
  if (!ids) ids.emplace();
  return *ids;
}

const std::vector<DZCKChangeSetPtr>& DZCKPendingChangeQueue::changeSetsFromCurrentCommit() {
  if (newChangeSets_) return *newChangeSets_;
  static const std::vector<DZCKChangeSetPtr> kNone;
  if (newChangeSetsByDatabase_.empty()) return kNone;
  const std::string uuid = platform::newUUIDString();
  std::optional<std::string> prev = oldChangeSets_.empty() ? std::nullopt : oldChangeSets_.back()->uuid();
  std::vector<DZCKChangeSetPtr> changeSets;
  for (auto& [database, changeSet] : newChangeSetsByDatabase_) {
    changeSet->setUUID(uuid + "@" + std::to_string(changeSets.size()));
    changeSet->setPrev(prev);
    prev = changeSet->uuid();
    changeSets.push_back(changeSet);
  }
  newChangeSets_ = std::move(changeSets);
  return *newChangeSets_;
}

// ---- Master queue ----

std::string DZCKChangeQueue::lockUUID() const {
  MutexLock lock(lockUUIDLock_);
  return lockUUID_;
}

void DZCKChangeQueue::removeAllChangeSets() {
  MutexLock lock(lock_);
  oldChangeSets_.clear();
}

void DZCKChangeQueue::restoreOldChangeSets(const std::vector<DZCKChangeSetPtr>& changeSets) {
  MutexLock lock(lock_);
  oldChangeSets_.insert(oldChangeSets_.end(), changeSets.begin(), changeSets.end());
}

DZCKChangeSetPtr DZCKChangeQueue::makeInFlightChangeSet(bool* alreadyInFlight) {
  MutexLock lock(lock_);
  if (alreadyInFlight) *alreadyInFlight = false;
  if (oldChangeSets_.empty()) return nullptr;
  DZCKChangeSet& first = *oldChangeSets_.front();
  if (first.isInFlight()) {
    if (alreadyInFlight) *alreadyInFlight = true;
    return nullptr;
  }
  first.setIsInFlight(true);
  return first.fullCopy();
}

void DZCKChangeQueue::removeCompletedInFlightChangeSet() {
  MutexLock lock(lock_);
  if (!oldChangeSets_.empty() && oldChangeSets_.front()->isInFlight()) {
    oldChangeSets_.front()->setIsInFlight(false);
    oldChangeSets_.erase(oldChangeSets_.begin());
  }
}

void DZCKChangeQueue::resetFailedInFlightChangeSet() {
  MutexLock lock(lock_);
  if (!oldChangeSets_.empty() && oldChangeSets_.front()->isInFlight()) oldChangeSets_.front()->setIsInFlight(false);
}

std::unique_ptr<DZCKPendingChangeQueue> DZCKChangeQueue::newPendingQueue() {
  // The lock is taken before the copies are made: the in-flight marks that the copies carry change
  // outside transactions (upload dispatch), always under the lock.
  lock_.lock();
  auto pending = std::unique_ptr<DZCKPendingChangeQueue>(new DZCKPendingChangeQueue());
  pending->oldChangeSets_.reserve(oldChangeSets_.size() + 1);
  for (const auto& changeSet : oldChangeSets_) pending->oldChangeSets_.push_back(changeSet->emptyCopy());
  const std::string uuid = platform::newUUIDString();
  pending->lockUUID_ = uuid;
  MutexLock uuidLock(lockUUIDLock_);
  lockUUID_ = uuid;
  return pending;
}

DZCKChangeQueue::MergeUndo DZCKChangeQueue::mergePendingQueue(DZCKPendingChangeQueue& pending) {
  MergeUndo undo;
  const std::size_t count = std::min(oldChangeSets_.size(), pending.oldChangeSets_.size());
  for (std::size_t i = 0; i < count; ++i) {
    DZCKChangeSet& copy = *pending.oldChangeSets_[i];
    DZCKChangeSet& master = *oldChangeSets_[i];
    if (!copy.hasChangesToDeletedRecordIDs() && !copy.hasChangesToModifiedRecords()) continue;
    auto before = std::make_shared<DZCKChangeSet>(master.databaseIdentifier());
    before->deletedRecordIDs() = master.deletedRecordIDs();
    before->modifiedRecords() = master.modifiedRecords();
    undo.replaced.emplace_back(i, std::move(before));
    if (copy.hasChangesToDeletedRecordIDs()) master.deletedRecordIDs() = copy.deletedRecordIDs();
    if (copy.hasChangesToModifiedRecords()) master.modifiedRecords() = copy.modifiedRecords();
  }
  undo.appendedFrom = oldChangeSets_.size();
  for (const auto& changeSet : pending.changeSetsFromCurrentCommit()) {
    changeSet->setHasChangesToDeletedRecordIDs(false);
    changeSet->setHasChangesToModifiedRecords(false);
    oldChangeSets_.push_back(changeSet);
  }
  {
    MutexLock uuidLock(lockUUIDLock_);
    lockUUID_.clear();
  }
  lock_.unlock();
  return undo;
}

void DZCKChangeQueue::undoMerge(const MergeUndo& undo) {
  MutexLock lock(lock_);
  if (undo.appendedFrom < oldChangeSets_.size())
    oldChangeSets_.erase(oldChangeSets_.begin() + static_cast<std::ptrdiff_t>(undo.appendedFrom), oldChangeSets_.end());
  for (const auto& [index, before] : undo.replaced) {
    if (index >= oldChangeSets_.size()) continue;
    oldChangeSets_[index]->deletedRecordIDs() = before->deletedRecordIDs();
    oldChangeSets_[index]->modifiedRecords() = before->modifiedRecords();
  }
}

std::optional<std::string> DZCKChangeQueue::currentChangeSetUUID() {
  MutexLock lock(lock_);
  if (oldChangeSets_.empty()) return std::nullopt;
  return oldChangeSets_.front()->uuid();
}

DZCKChangeSetPtr DZCKChangeQueue::currentChangeSet() {
  MutexLock lock(lock_);
  return oldChangeSets_.empty() ? nullptr : oldChangeSets_.front()->fullCopy();
}

std::vector<DZCKChangeSetPtr> DZCKChangeQueue::changeSetsFromPreviousCommits() {
  MutexLock lock(lock_);
  std::vector<DZCKChangeSetPtr> copies;
  copies.reserve(oldChangeSets_.size());
  for (const auto& changeSet : oldChangeSets_) copies.push_back(changeSet->fullCopy());
  return copies;
}

std::size_t DZCKChangeQueue::numberOfInFlightChangeSets() {
  std::size_t inFlight = 0;
  getNumberOfInFlightChangeSets(&inFlight, nullptr);
  return inFlight;
}

std::size_t DZCKChangeQueue::numberOfQueuedChangeSets() {
  std::size_t queued = 0;
  getNumberOfInFlightChangeSets(nullptr, &queued);
  return queued;
}

std::size_t DZCKChangeQueue::numberOfPendingChangeSets() {
  MutexLock lock(lock_);
  return oldChangeSets_.size();
}

void DZCKChangeQueue::getNumberOfInFlightChangeSets(std::size_t* inFlight, std::size_t* queued) {
  MutexLock lock(lock_);
  const std::size_t flying = !oldChangeSets_.empty() && oldChangeSets_.front()->isInFlight() ? 1 : 0;
  if (inFlight) *inFlight = flying;
  if (queued) *queued = oldChangeSets_.size() - flying;
}

void DZCKChangeQueue::getHasPendingModification(bool* hasPendingModification, bool* hasPendingDelete,
                                                const platform::CloudRecordID& recordID,
                                                const DZCKDatabaseIdentifier& databaseIdentifier) {
  const DZCKRecordIDKey key = DZCKKeyForRecordID(recordID);
  bool modification = false, deletion = false;
  {
    MutexLock lock(lock_);
    for (const auto& changeSet : oldChangeSets_) {
      if (changeSet->databaseIdentifier() != databaseIdentifier) continue;
      if (!modification && findChangeRecord(*changeSet, key)) modification = true;
      if (!deletion && listsDeletion(*changeSet, key)) deletion = true;
    }
  }
  if (hasPendingModification) *hasPendingModification = modification;
  if (hasPendingDelete) *hasPendingDelete = deletion;
}

bool DZCKChangeQueue::mergeChangesForRecordID(const platform::CloudRecordID& recordID,
                                              const DZCKDatabaseIdentifier& databaseIdentifier,
                                              DZCKMergeInfo& mergeInfo) {
  const DZCKRecordIDKey key = DZCKKeyForRecordID(recordID);
  MutexLock lock(lock_);
  bool merged = false;
  for (const auto& changeSet : oldChangeSets_) {
    if (changeSet->databaseIdentifier() != databaseIdentifier) continue;
    if (const DZCKChangeRecordPtr* changeRecord = findChangeRecord(*changeSet, key)) {
      mergeInfo.mergeNewerRecord((*changeRecord)->record(), (*changeRecord)->originalValues());
      merged = true;
    }
  }
  return merged;
}

// ---- Copy on first write ----

DZCKChangeSet::ModifiedRecords& DZCKChangeQueue::modifiedCopy(DZCKPendingChangeQueue& pending, std::size_t index) {
  DZCKChangeSet& copy = *pending.oldChangeSets_[index];
  if (!copy.hasChangesToModifiedRecords()) {
    DZCKChangeSet::ModifiedRecords records;
    if (const auto& master = oldChangeSets_[index]->modifiedRecords())
      for (const auto& [key, changeRecord] : *master) records.emplace(key, changeRecord->copyChangeRecord());
    copy.modifiedRecords() = std::move(records);
    copy.setHasChangesToModifiedRecords(true);
  }
  return *copy.modifiedRecords();
}

std::vector<CloudRecordIDPtr>& DZCKChangeQueue::deletedCopy(DZCKPendingChangeQueue& pending, std::size_t index,
                                                            bool markChanged) {
  DZCKChangeSet& copy = *pending.oldChangeSets_[index];
  if (!copy.hasChangesToDeletedRecordIDs() && !copy.deletedRecordIDs()) {
    copy.deletedRecordIDs() = oldChangeSets_[index]->deletedRecordIDs().value_or(std::vector<CloudRecordIDPtr>{});
  }
  if (markChanged) copy.setHasChangesToDeletedRecordIDs(true);
  return *copy.deletedRecordIDs();
}

void DZCKChangeQueue::keepWhole(DZCKPendingChangeQueue& pending, const DZCKRecordIDKey& key,
                                const DZCKDatabaseIdentifier& databaseIdentifier, const std::set<std::string>* keys) {
  for (std::size_t i = 0; i < oldChangeSets_.size(); ++i) {
    const DZCKChangeSet& master = *oldChangeSets_[i];
    if (master.databaseIdentifier() != databaseIdentifier) continue;
    const DZCKChangeRecordPtr* older = findChangeRecord(master, key);
    if (!older || (*older)->needsStoreFullRecord()) continue;
    if (keys) {
      const auto& olderKeys = (*older)->changedKeysSet();
      const bool intersects =
          std::any_of(olderKeys.begin(), olderKeys.end(), [&](const std::string& k) { return keys->count(k) > 0; });
      if (!intersects) continue;
    }
    auto& records = modifiedCopy(pending, i);
    auto it = records.find(key);
    if (it != records.end()) it->second->setNeedsStoreFullRecord(true);
  }
}

// ---- Per-record rules ----

void DZCKChangeQueue::updatePendingQueueWithInsertedRecord(DZCKPendingChangeQueue& pending,
                                                           const CloudRecordPtr& record,
                                                           const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!record || !record->recordID()) return;
  pending.currentModified(databaseIdentifier)[DZCKKeyForRecordID(*record->recordID())] = DZCKChangeRecord::make(record);
}

void DZCKChangeQueue::updatePendingQueueWithModifiedRecord(DZCKPendingChangeQueue& pending,
                                                           const CloudRecordPtr& record,
                                                           const DZCKDatabaseIdentifier& databaseIdentifier,
                                                           const Value& originalValues) {
  if (!record || !record->recordID()) return;
  auto changeRecord = DZCKChangeRecord::make(record);
  changeRecord->setOriginalValues(originalValues);
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*record->recordID());
  keepWhole(pending, key, databaseIdentifier, &changeRecord->changedKeysSet());
  pending.currentModified(databaseIdentifier)[key] = std::move(changeRecord);
}

void DZCKChangeQueue::updatePendingQueueWithDetachedRecordID(DZCKPendingChangeQueue& pending,
                                                             const CloudRecordIDPtr& recordID,
                                                             const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!recordID) return;
  keepWhole(pending, DZCKKeyForRecordID(*recordID), databaseIdentifier, nullptr);
}

void DZCKChangeQueue::updatePendingQueueWithDeletedRecordID(DZCKPendingChangeQueue& pending,
                                                            const CloudRecordIDPtr& recordID,
                                                            const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!recordID) return;
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*recordID);
  keepWhole(pending, key, databaseIdentifier, nullptr);
  DZCKChangeSet& current = pending.currentChangeSet(databaseIdentifier);
  if (current.modifiedRecords()) current.modifiedRecords()->erase(key);
  pending.currentDeleted(databaseIdentifier).push_back(recordID);
}

void DZCKChangeQueue::updatePendingQueueWithMergedRecord(DZCKPendingChangeQueue& pending, const CloudRecordPtr& record,
                                                         const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!record || !record->recordID()) return;
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*record->recordID());
  const std::vector<std::string> mergedKeys = record->changedKeys();
  const std::set<std::string> k(mergedKeys.begin(), mergedKeys.end());
  std::set<std::string> z;
  for (std::size_t i = 0; i < oldChangeSets_.size(); ++i) {
    const DZCKChangeSet& master = *oldChangeSets_[i];
    if (master.databaseIdentifier() != databaseIdentifier) continue;
    const DZCKChangeRecordPtr* local = findChangeRecord(master, key);
    if (!local) continue;
    const CloudRecordPtr& localRecord = (*local)->record();
    const std::vector<std::string> localKeys = (*local)->changedKeys();
    std::set<std::string> dropped;
    for (const std::string& name : localKeys) {
      if (!k.count(name)) {
        dropped.insert(name);
        continue;
      }
      const Value localValue = localRecord ? localRecord->objectForKey(name) : Value();
      if (localValue == record->objectForKey(name))
        z.insert(name);
      else
        dropped.insert(name);
    }
    CloudRecordPtr rebased = DZCKRecord::sanitizedCopy(record);
    for (const std::string& name : localKeys)
      if (!dropped.count(name)) rebased->setObject(localRecord ? localRecord->objectForKey(name) : Value(), name);
    auto& records = modifiedCopy(pending, i);
    if (!rebased->changedKeys().empty()) {
      auto it = records.find(key);
      if (it != records.end()) it->second->setRecord(std::move(rebased));
    } else {
      records.erase(key);
    }
  }
  if (k.size() > z.size()) {
    CloudRecordPtr remaining = DZCKRecord::sanitizedCopy(record);
    for (const std::string& name : mergedKeys)
      if (!z.count(name)) remaining->setObject(record->objectForKey(name), name);
    pending.currentModified(databaseIdentifier)[key] = DZCKChangeRecord::make(std::move(remaining));
  }
}

void DZCKChangeQueue::updatePendingQueueWithRemoteDeletedRecordID(DZCKPendingChangeQueue& pending,
                                                                  const CloudRecordIDPtr& recordID,
                                                                  const DZCKDatabaseIdentifier& databaseIdentifier) {
  if (!recordID) return;
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*recordID);
  for (std::size_t i = 0; i < oldChangeSets_.size(); ++i) {
    const DZCKChangeSet& master = *oldChangeSets_[i];
    if (master.databaseIdentifier() != databaseIdentifier) continue;
    if (findChangeRecord(master, key)) modifiedCopy(pending, i).erase(key);
    if (listsDeletion(master, key)) {
      auto& ids = deletedCopy(pending, i, true);
      ids.erase(std::remove_if(ids.begin(), ids.end(),
                               [&](const CloudRecordIDPtr& id) { return id && DZCKKeyForRecordID(*id) == key; }),
                ids.end());
    }
  }
}

void DZCKChangeQueue::updatePendingQueueWithSavedRecord(DZCKPendingChangeQueue& pending, const CloudRecordPtr& record,
                                                        const DZCKDatabaseIdentifier& databaseIdentifier,
                                                        bool isOpPartialCompletion) {
  if (!record || !record->recordID() || oldChangeSets_.empty()) return;
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*record->recordID());
  if (isOpPartialCompletion && findChangeRecord(*oldChangeSets_.front(), key)) modifiedCopy(pending, 0).erase(key);
  for (std::size_t i = 1; i < oldChangeSets_.size(); ++i) {
    const DZCKChangeSet& master = *oldChangeSets_[i];
    if (master.databaseIdentifier() != databaseIdentifier) continue;
    const DZCKChangeRecordPtr* later = findChangeRecord(master, key);
    if (!later) continue;
    const CloudRecordPtr& old = (*later)->record();
    if (!old) continue;
    CloudRecordPtr rebased = DZCKRecord::safeCopy(DZCKRecord::sanitizedCopy(record));
    DZCKMergeChangedValues(*old, *rebased);
    auto& records = modifiedCopy(pending, i);
    auto it = records.find(key);
    if (it != records.end()) it->second->setRecord(std::move(rebased));
  }
}

void DZCKChangeQueue::updatePendingQueueWithSavedDeletedRecordID(DZCKPendingChangeQueue& pending,
                                                                 const CloudRecordIDPtr& recordID,
                                                                 const DZCKDatabaseIdentifier&) {
  if (!recordID || oldChangeSets_.empty()) return;
  const DZCKRecordIDKey key = DZCKKeyForRecordID(*recordID);
  auto& ids = deletedCopy(pending, 0, false);
  auto it = std::find_if(ids.begin(), ids.end(),
                         [&](const CloudRecordIDPtr& id) { return id && DZCKKeyForRecordID(*id) == key; });
  if (it != ids.end()) {
    ids.erase(it);
    pending.oldChangeSets_[0]->setHasChangesToDeletedRecordIDs(true);
  }
}
