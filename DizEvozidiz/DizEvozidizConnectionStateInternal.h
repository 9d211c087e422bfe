#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizConnectionStateInternal.h is internal to the store and its extensions"
#endif

// The record the database keeps per live connection to coordinate readers and the single writer.
// Its fields are read and written only on the database's snapshot queue; the three semaphore
// operations run outside it (a writer waits for readers after leaving the snapshot queue).
//
// The write-lock handshake: a committing writer that finds another connection in a read
// transaction without SQLite's shared read lock yet marks its own state `waitingForWriteLock`, calls
// prepareWriteLock() on the snapshot queue, and waitForWriteLock() after leaving it. The last such
// reader, once it holds its lock or ends its transaction, calls signalWriteLock() on the writer's
// state, so a commit never overtakes a reader that has begun but not yet fixed its view. A reader
// that takes its lock while no writer is counting readers only sets its flag, without a trip onto
// the snapshot queue: the writer sets the database's writerCountingReaders flag before it reads the
// readers' flags, and the reader reads it after setting its own, so one of the two sees the other.

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"

// What the database object calls on its connections. The connection class implements it; the
// database keeps connections only weakly (through their DizEvozidizConnectionState).
class DizEvozidizConnectionHooks {
 public:
  virtual ~DizEvozidizConnectionHooks() = default;

  // Called on the database's snapshot queue after a checkpoint found every WAL frame checkpointed,
  // for a connection that holds a long-lived read transaction at the database's latest snapshot:
  // the connection should restart that read transaction so it stops pinning old WAL contents.
  // Must not wait for the snapshot queue.
  virtual void maybeResetLongLivedReadTransaction() = 0;
};

class DizEvozidizConnectionState {
 public:
  explicit DizEvozidizConnectionState(const std::shared_ptr<DizEvozidizConnectionHooks>& connection)
      : connection(connection), connectionIdentity(connection.get()) {}
  ~DizEvozidizConnectionState();
  DizEvozidizConnectionState(const DizEvozidizConnectionState&) = delete;
  DizEvozidizConnectionState& operator=(const DizEvozidizConnectionState&) = delete;

  const std::weak_ptr<DizEvozidizConnectionHooks> connection;
  // Which connection this is, also while it is being destroyed (never dereferenced).
  const DizEvozidizConnectionHooks* const connectionIdentity;

  bool activeReadTransaction = false;
  bool longLivedReadTransaction = false;
  // The read transaction really holds SQLite's shared lock. Its own reader may also set it outside
  // the snapshot queue (see DizEvozidizInternal::writerCountingReaders), hence atomic.
  std::atomic<bool> sqlLevelSharedReadLock{false};
  bool activeWriteTransaction = false;
  bool waitingForWriteLock = false;
  std::uint64_t lastTransactionSnapshot = 0;
  std::uint64_t lastTransactionTime = 0;  // platform::monotonicNanoseconds()
  // The first commit whose changeset this connection takes from the database itself when its read
  // transaction ends, rather than receiving it on its queue (0: none). Commits made while a plain
  // (not long-lived) read transaction runs are handed over that way: the connection's queue is
  // busy with the transaction, and a block queued there would only make the connection's next
  // transaction wait for a worker to run it.
  std::uint64_t changesetsOwedFrom = 0;

  // Creates the write semaphore (count 0) when there is none.
  void prepareWriteLock();
  // Waits on the semaphore without time limit; returns at once when there is none.
  void waitForWriteLock();
  // Signals the semaphore once when there is one.
  void signalWriteLock();

 private:
  // Made once, freed with the state; read outside the snapshot queue, hence atomic.
  std::atomic<platform::DispatchSemaphore*> writeSemaphore_{nullptr};
};
