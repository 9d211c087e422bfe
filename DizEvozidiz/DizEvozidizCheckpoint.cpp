// WAL checkpointing of the database object. SQLite's automatic checkpoints are off on every
// handle; the database checkpoints its own handle on its checkpoint queue instead: a passive pass
// that never blocks anybody and, when the WAL has grown past the configured size, a truncating
// pass that resets the WAL file to zero length.

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizLog.h"
#include "platform/thread.h"

void DizEvozidiz::asyncCheckpoint(std::uint64_t /*snapshot*/) {
  std::weak_ptr<DizEvozidiz> weakSelf = weak_from_this();
  checkpointQueue_->async([weakSelf] {
    if (auto self = weakSelf.lock()) self->runCheckpointPass();
  });
}

// On the checkpoint queue.
void DizEvozidiz::runCheckpointPass() {
  if (!db_) return;
  int walFrames = 0;
  int checkpointedFrames = 0;
  const int rc = sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, &walFrames, &checkpointedFrames);
  if (rc == SQLITE_BUSY) return;
  if (rc != SQLITE_OK) {
    DIZ_LOG_WARN("%@: sqlite3_wal_checkpoint_v2 returned error code: %d", rc);
    return;
  }

  const std::uint64_t walBytes = static_cast<std::uint64_t>(walFrames < 0 ? 0 : walFrames) * pageSize_;
  const bool large = walBytes >= options_.aggressiveWALTruncationSize;

  if (walFrames == checkpointedFrames) {
    // A large WAL waits for the nudge, so the truncation that follows finds the readers moved.
    std::weak_ptr<DizEvozidiz> weakSelf = weak_from_this();
    if (large) {
      snapshotQueue_->sync([this] { nudgeLongLivedReaders(); });
    } else {
      snapshotQueue_->async([weakSelf] {
        if (auto self = weakSelf.lock()) self->nudgeLongLivedReaders();
      });
    }
  }

  if (large) aggressiveTryTruncateLargeWAL();
}

// On the snapshot queue.
void DizEvozidiz::nudgeLongLivedReaders() {
  for (const auto& state : connectionStates_) {
    if (!state->longLivedReadTransaction || state->lastTransactionSnapshot != snapshot_) continue;
    if (auto connection = state->connection.lock()) connection->maybeResetLongLivedReadTransaction();
  }
}

void DizEvozidiz::aggressiveTryTruncateLargeWAL() {
  // Write queue first (no read-write transaction of any connection runs meanwhile), then the
  // checkpoint queue: always in that order.
  std::weak_ptr<DizEvozidiz> weakSelf = weak_from_this();
  writeQueue_->async([weakSelf] {
    auto self = weakSelf.lock();
    if (!self) return;
    self->checkpointQueue_->sync([&] {
      if (!self->db_) return;
      sqlite3_busy_timeout(self->db_, 2000);
      sqlite3_wal_checkpoint_v2(self->db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
      // A busy timeout replaces the busy handler: put the handle's own handling back.
      if (self->options_.enableMultiProcessSupport)
        sqlite3_busy_handler(self->db_, &DizEvozidiz::connectionBusyHandler, self.get());
      else
        sqlite3_busy_timeout(self->db_, 0);
    });
  });
}

// SQLite busy handler of the database's own handle in multi-process mode: never gives up.
int DizEvozidiz::connectionBusyHandler(void* context, int count) {
  platform::sleepFor(0.050);
  if (count % 4 == 1)
    DIZ_LOG_WARN(
        "%@: Cannot obtain busy lock on SQLite from database (%p), is another process locking the database? "
        "Retrying in 50ms...",
        context);
  return 1;
}
