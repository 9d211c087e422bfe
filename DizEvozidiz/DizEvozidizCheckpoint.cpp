// WAL checkpointing of the database object. SQLite's automatic checkpoints are off on every
// handle; the database checkpoints its own handle on its checkpoint queue instead: a passive pass
// that never blocks anybody and, when the WAL has grown past the configured size, a truncating
// pass that resets the WAL file to zero length. The passes hold the database's shared state, not
// the database: one that runs after the release finds the handle closed and does nothing.
//
// Requests that arrive while a pass is still waiting to start join that pass (it checkpoints
// whatever has been committed by the time it runs), and a truncation waiting on the write queue
// takes the place of any later one: commits never queue up behind a burst of passes or of
// truncations.
//
// A truncation holds the write queue while it waits for readers to leave the WAL. Readers in a
// plain read transaction leave within moments; a long-lived reader leaves only when its owner moves
// it (or when the reader nudge has moved it onto the checkpointed file). So while a long-lived read
// transaction is open the truncation does not wait at all: it succeeds at once or gives up, and
// after giving up it is not tried again until a long-lived reader has begun or ended (which also
// asks for a pass). Writers never sit out a busy time-out behind a reader that holds its snapshot.

#include <algorithm>

#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "platform/runtime/thread.h"
#include "platform/system/date.h"

namespace {
constexpr int kTruncationBusyTimeoutMilliseconds = 2000;
}  // namespace

void DizEvozidizInternal::asyncCheckpoint(std::uint64_t /*snapshot*/) { queueCheckpointPass(shared_); }

void DizEvozidizInternal::queueCheckpointPass(const std::shared_ptr<Shared>& shared) {
  if (shared->checkpointPassQueued.exchange(true, std::memory_order_acq_rel)) return;
  shared->checkpointQueue->async([shared] { runCheckpointPass(shared); });
}

// On the checkpoint queue.
void DizEvozidizInternal::runCheckpointPass(const std::shared_ptr<Shared>& shared) {
  // From here on a new request queues a new pass: this one may miss what is committed next.
  shared->checkpointPassQueued.store(false, std::memory_order_release);
  int walFrames = 0;
  int checkpointedFrames = 0;
  {
    platform::MutexLock lock(shared->handleMutex);
    if (!shared->db) return;
    const int rc =
        sqlite3_wal_checkpoint_v2(shared->db, "main", SQLITE_CHECKPOINT_PASSIVE, &walFrames, &checkpointedFrames);
    if (rc == SQLITE_BUSY) return;
    if (rc != SQLITE_OK) {
      DIZ_DB_LOG_WARN("%@: sqlite3_wal_checkpoint_v2 returned error code: %d", rc);
      return;
    }
  }

  // The page size is set once, at start-up, which the checkpoint queue waited for.
  const std::uint64_t walBytes = static_cast<std::uint64_t>(walFrames < 0 ? 0 : walFrames) * shared->pageSize;
  const bool large = walBytes >= shared->options.aggressiveWALTruncationSize;

  bool nudged = false;
  if (walFrames == checkpointedFrames) {
    // A large WAL waits for the nudge, so the truncation that follows finds the readers moved.
    // With no long-lived reader the nudge would find nobody: skip the trip to the snapshot queue
    // (a block queued there per pass makes the next commit's syncs wait their turn).
    const bool anyLongLived = shared->longLivedReaders.load(std::memory_order_relaxed) > 0;
    if (anyLongLived && large)
      shared->snapshotQueue->sync([&] { nudged = nudgeLongLivedReaders(*shared); });
    else if (anyLongLived)
      shared->snapshotQueue->async([shared] { nudgeLongLivedReaders(*shared); });
  }

  // A truncation that gave up because of a long-lived reader waits for that reader to move; a
  // reader nudged just now moves before the truncation runs (both go through the write queue).
  if (large && (nudged || shared->truncationBlockedAt.load(std::memory_order_acquire) !=
                              shared->longLivedMoves.load(std::memory_order_acquire)))
    aggressiveTryTruncateLargeWAL(shared);
}

// On the snapshot queue. Whether any reader was asked.
bool DizEvozidizInternal::nudgeLongLivedReaders(Shared& shared) {
  bool nudged = false;
  for (const auto& state : shared.connectionStates) {
    if (!state->longLivedReadTransaction || state->lastTransactionSnapshot != shared.snapshot) continue;
    if (auto connection = state->connection.lock()) {
      connection->maybeResetLongLivedReadTransaction();
      nudged = true;
    }
  }
  return nudged;
}

void DizEvozidizInternal::aggressiveTryTruncateLargeWAL(const std::shared_ptr<Shared>& shared) {
  // Write queue first (no read-write transaction of any connection runs meanwhile), then the
  // checkpoint queue: always in that order.
  if (shared->truncationQueued.exchange(true, std::memory_order_acq_rel)) return;
  shared->writeQueue->async([shared] {
    shared->truncationQueued.store(false, std::memory_order_release);
    shared->checkpointQueue->sync([&] {
      platform::MutexLock lock(shared->handleMutex);
      if (!shared->db) return;
      const std::uint64_t moves = shared->longLivedMoves.load(std::memory_order_acquire);
      sqlite3_busy_handler(shared->db, &DizEvozidizInternal::truncationBusyHandler, shared.get());
      const int rc = sqlite3_wal_checkpoint_v2(shared->db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
      installBusyHandling(*shared);
      const bool blockedByLongLivedReader =
          rc == SQLITE_BUSY && shared->longLivedReaders.load(std::memory_order_acquire) > 0;
      shared->truncationBlockedAt.store(blockedByLongLivedReader ? moves : Shared::kNoBlockedTruncation,
                                        std::memory_order_release);
    });
  });
}

// SQLite busy handler of the own handle during a truncation (checkpoint queue, under the handle
// mutex): waits for readers to leave the WAL up to kTruncationBusyTimeoutMilliseconds in all,
// unless a long-lived read transaction is open, which no wait ends. SQLite calls it from inside the
// truncating checkpoint, whose caller holds the handle mutex: the analysis cannot see through that.
int DizEvozidizInternal::truncationBusyHandler(void* context, int count) ZORVEL_NO_THREAD_SAFETY_ANALYSIS {
  auto& shared = *static_cast<Shared*>(context);
  if (shared.longLivedReaders.load(std::memory_order_acquire) > 0) return 0;
  const std::uint64_t now = platform::monotonicNanoseconds();
  if (count == 0) shared.truncationWaitStart = now;
  const std::uint64_t waitedMilliseconds = (now - shared.truncationWaitStart) / 1000000;
  if (waitedMilliseconds >= kTruncationBusyTimeoutMilliseconds) return 0;
  // Short pauses first: a plain read transaction usually ends within a millisecond or two.
  const int pauseMilliseconds = std::min(1 << std::min(count, 5), 25);
  platform::sleepFor(pauseMilliseconds / 1000.0);
  return 1;
}

// The own handle's way of waiting for locks, installed before its first statement and put back after
// the truncation's shorter timeout (a busy timeout replaces a busy handler): multi-process mode's
// handler, which never gives up, else a timeout, so that a lock held elsewhere is waited for and
// never taken for damage.
void DizEvozidizInternal::installBusyHandling(Shared& shared) {
  if (shared.options.enableMultiProcessSupport)
    sqlite3_busy_handler(shared.db, &DizEvozidizInternal::connectionBusyHandler,
                         const_cast<void*>(shared.databaseIdentity));
  else
    sqlite3_busy_timeout(shared.db, kOwnHandleBusyTimeoutMilliseconds);
}

// SQLite busy handler of the database's own handle in multi-process mode: never gives up. The
// context is the database's address, only printed.
int DizEvozidizInternal::connectionBusyHandler(void* context, int count) {
  platform::sleepFor(0.050);
  if (count % 4 == 1)
    DIZ_DB_LOG_WARN(
        "%@: Cannot obtain busy lock on SQLite from database (%p), is another process locking the database? "
        "Retrying in 50ms...",
        context);
  return 1;
}
