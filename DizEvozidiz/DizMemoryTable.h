#pragma once

// DizMemoryTable: an in-memory key-value table with snapshot isolation, for store data that lives
// only as long as the process: the values of non-persistent extensions (the core's table "diz")
// and the tables of views that are not persistent. It behaves like the store's SQL tables: a
// transaction at snapshot S sees exactly what was committed up to S, while one read-write
// transaction at a time writes new versions at the next snapshot.
//
// Data: per key a chain of versions, newest first, each with the snapshot of the transaction that
// wrote it and its value (nil: removed at that snapshot); snapshots strictly decrease along a
// chain. A transaction at S sees, per key, the newest version whose snapshot is <= S; the key is
// absent for it when there is none or that version is a removal. Keys are Values (the core table
// uses DizCollectionKey objects, views numbers and strings) compared by Value equality; the key
// class given at creation is recorded, not enforced.
//
// Lifecycle: transactions come from the core transaction (memoryTableTransaction), which passes
// its connection's snapshot for a read transaction and that snapshot + 1 for a read-write one.
// The core commits or rolls back the "diz" transaction with its own commit or rollback; other
// tables' transactions are their owner's to finish. commit() records which keys the snapshot
// changed; rollback() removes the snapshot's versions (asynchronously, ordered before any later
// use of the table by a barrier); asyncCheckpoint(M) later drops the versions no transaction at
// M or later can see. Nothing is persistent: every process starts with empty tables.
//
// Threads: one concurrent queue per table ("DizMemoryTable"). Reads run on it side by side
// (synchronously, or in place when the caller already runs on it); writes, the rollback and the
// clean-up run as barriers, alone. The commit lists are guarded by a mutex that is never held
// while versions are walked. A transaction object belongs to the connection queue that made it.
// Enumeration blocks and accessWithBlock blocks may read through the transaction but must not
// write; accessWithBlock and modifyWithBlock must not be called from a block already on the queue.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class DizMemoryTableTransaction;

using DizMemoryTableKeySet = std::unordered_set<platform::Value, platform::ValueHash>;

// One version of one key.
struct DizMemoryTableValue {
  std::uint64_t snapshot = 0;
  platform::Value object;  // nil: removed at this snapshot
  std::shared_ptr<DizMemoryTableValue> olderValue;

  // "<DizMemoryTableValue[0x...]: snapshot(5), olderValue(0x...), object(...)>"
  std::string description() const;
};

class DizMemoryTable final : public platform::Object {
  ZORVEL_CLASS(DizMemoryTable, platform::Object)

 public:
  using Ptr = std::shared_ptr<DizMemoryTable>;

  // An empty table whose keys are meant to be of the named class.
  static Ptr make(std::string keyClass);
  ~DizMemoryTable() override;

  const std::string& keyClass() const { return keyClass_; }

  std::shared_ptr<DizMemoryTableTransaction> newReadTransaction(std::uint64_t snapshot);
  std::shared_ptr<DizMemoryTableTransaction> newReadWriteTransaction(std::uint64_t snapshot);

  // Queues the clean-up for the oldest snapshot still in use and returns at once.
  void asyncCheckpoint(std::uint64_t oldestSnapshotInUse);
  // Queues the removal of that snapshot's versions of the keys and returns at once.
  void asyncRollback(std::uint64_t snapshot, DizMemoryTableKeySet keys);

  // For inspection (tests, diagnostics): the number of keys with an entry, the number of versions
  // kept over all keys, and the snapshots of commits not yet cleaned up. Each runs on the queue.
  std::size_t keyCount() const;
  std::size_t versionCount() const;
  std::vector<std::uint64_t> committedSnapshots() const;

 private:
  friend class DizMemoryTableTransaction;
  using Node = DizMemoryTableValue;
  using NodePtr = std::shared_ptr<Node>;

  explicit DizMemoryTable(std::string keyClass);

  bool isOnQueue() const;
  template <class F>
  void read(F&& f) const;
  template <class F>
  void write(F&& f);
  // The version a transaction at `snapshot` sees, or null.
  static const Node* visible(const Node* newest, std::uint64_t snapshot);
  // Releases a chain without recursing through it.
  static void releaseChain(NodePtr chain);
  void recordCommit(std::uint64_t snapshot, const DizMemoryTableKeySet& keys);
  void forgetCommit(std::uint64_t snapshot);
  void rollbackNow(std::uint64_t snapshot, const DizMemoryTableKeySet& keys);
  void checkpointNow(std::uint64_t oldestSnapshotInUse);

  std::string keyClass_;
  platform::DispatchQueuePtr queue_;
  char isOnQueueKey_ = 0;
  // Queue (reads concurrent, writes as barriers).
  std::unordered_map<platform::Value, NodePtr, platform::ValueHash> dict_;
  // Commit lists, in commit order (snapshots ascend).
  mutable std::mutex lock_;
  std::deque<std::uint64_t> snapshots_;
  std::deque<DizMemoryTableKeySet> changes_;
};

class DizMemoryTableTransaction {
 public:
  using Ptr = std::shared_ptr<DizMemoryTableTransaction>;
  using KeyBlock = std::function<void(const platform::Value& key, bool& stop)>;
  using KeyObjectBlock = std::function<void(const platform::Value& key, const platform::Value& object, bool& stop)>;

  DizMemoryTableTransaction(DizMemoryTable::Ptr table, std::uint64_t snapshot, bool isReadWriteTransaction);
  DizMemoryTableTransaction(const DizMemoryTableTransaction&) = delete;
  DizMemoryTableTransaction& operator=(const DizMemoryTableTransaction&) = delete;

  const DizMemoryTable::Ptr& table() const { return table_; }
  std::uint64_t snapshot() const { return snapshot_; }
  bool isReadWriteTransaction() const { return isReadWriteTransaction_; }

  // ---- Reads (any transaction) ----
  // The value visible at this snapshot, or nil.
  platform::Value objectForKey(const platform::Value& key) const;
  // Each key with a visible value, in no defined order, until stop.
  void enumerateKeysWithBlock(const KeyBlock& block) const;
  void enumerateKeysAndObjectsWithBlock(const KeyObjectBlock& block) const;

  // ---- Writes (read-write transactions only; ignored in a read transaction) ----
  // A nil object removes the key.
  void setObject(const platform::Value& object, const platform::Value& key);
  void removeObjectForKey(const platform::Value& key);
  void removeObjectsForKeys(const std::vector<platform::Value>& keys);
  void removeAllObjects();

  // Runs the block on the table's queue beside other readers / alone; see the banner.
  void accessWithBlock(const std::function<void()>& block) const;
  void modifyWithBlock(const std::function<void()>& block);

  // Records the changes (read-write only); true when the transaction changed any key.
  bool commit();
  // Undoes the writes (read-write only), also after commit() when the core's commit failed.
  void rollback();

  // Keys this transaction changed so far, and whether its commit has been recorded.
  const DizMemoryTableKeySet& changedKeys() const { return changedKeys_; }
  bool hasChanges() const { return !changedKeys_.empty(); }
  bool isCommitted() const { return committed_; }

 private:
  void removeOnQueue(const platform::Value& key);

  const DizMemoryTable::Ptr table_;
  const std::uint64_t snapshot_;
  const bool isReadWriteTransaction_;
  DizMemoryTableKeySet changedKeys_;
  bool committed_ = false;
  bool rolledBack_ = false;
};
