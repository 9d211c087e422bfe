// The database's side of connections: making them, the changesets they exchange, and the pool of
// SQLite handles that released connections leave behind.

#include <limits>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "platform/date.h"

std::shared_ptr<DizEvozidizConnection> DizEvozidizInternal::newConnection() {
  return DizEvozidizConnectionInternal::make(self());
}

// ---------------------------------------------------------------------------------------------
// Changesets (snapshot queue)

void DizEvozidizInternal::notePendingChangeset(const platform::Value& changeset) {
  assertOnSnapshotQueue();
  shared_->changesets.push_back(changeset);
}

std::optional<platform::ValueArray> DizEvozidizInternal::pendingAndCommittedChangesetsSince(std::uint64_t since,
                                                                                            std::uint64_t until) {
  assertOnSnapshotQueue();
  platform::ValueArray found;
  for (const auto& changeset : shared_->changesets) {
    const std::uint64_t s = changeset["snapshot"].asUInt64();
    if (s > since && s <= until) found.push_back(changeset);
  }
  if (options_.enableMultiProcessSupport && until >= since && found.size() != until - since) return std::nullopt;
  return found;
}

void DizEvozidizInternal::noteCommittedChangeset(const platform::Value& changeset,
                                                 const DizEvozidizConnection* fromConnection) {
  assertOnSnapshotQueue();
  const std::uint64_t snapshot = changeset["snapshot"].asUInt64();
  if (snapshot <= shared_->snapshot)
    DIZ_DB_LOG_ERROR("%@: Core logic failure! Commit numbered %llu does not follow commit %llu",
                     static_cast<unsigned long long>(snapshot), static_cast<unsigned long long>(shared_->snapshot));
  else
    shared_->snapshot = snapshot;

  std::shared_ptr<platform::DispatchGroup> group;
  for (const auto& state : shared_->connectionStates) {
    auto hooks = state->connection.lock();
    if (!hooks) continue;
    auto connection = std::dynamic_pointer_cast<DizEvozidizConnectionInternal>(hooks);
    if (!connection || connection.get() == fromConnection) continue;
    if (!group) group = platform::DispatchGroup::create();
    group->async(connection->connectionQueue(), [connection, changeset] { connection->noteCommittedChangeset(changeset); });
  }
  if (!fromConnection) return;
  auto dropOldest = [](Shared& shared) {
    if (!shared.changesets.empty()) shared.changesets.erase(shared.changesets.begin());
  };
  if (!group) {
    dropOldest(*shared_);
    return;
  }
  // Keep the changeset until every receiver has run it, so a connection that catches up meanwhile
  // still finds it.
  group->notify(snapshotQueue_, [shared = shared_, dropOldest] { dropOldest(*shared); });
}

// ---------------------------------------------------------------------------------------------
// Connection pool (internal queue)

void DizEvozidizInternal::closePooledHandle(const PooledHandle& handle) {
  const int rc = sqlite3_close(handle.db);
  if (rc != SQLITE_OK) DIZ_DB_LOG_ERROR("%@: Error in sqlite_close: %d %s", rc, sqlite3_errmsg(handle.db));
}

void DizEvozidizInternal::closeAllPooledHandles() {
  internalQueue_->sync([&] {
    for (const auto& handle : connectionPool_) closePooledHandle(handle);
    connectionPool_.clear();
    if (connectionPoolTimer_) {
      connectionPoolTimer_->cancel();
      connectionPoolTimer_.reset();
    }
  });
}

bool DizEvozidizInternal::connectionPoolEnqueue(sqlite3* db, diz_file* mainFile, diz_file* walFile) {
  if (!db) return false;
  return internalQueue_->sync([&] {
    if (connectionPool_.size() >= maxConnectionPoolCount_) return false;
    connectionPool_.push_back({db, mainFile, walFile, platform::monotonicNanoseconds()});
    if (connectionPool_.size() == 1) connectionPoolResetTimer();
    return true;
  });
}

bool DizEvozidizInternal::connectionPoolDequeue(sqlite3*& db, diz_file*& mainFile, diz_file*& walFile) {
  db = nullptr;
  mainFile = walFile = nullptr;
  return internalQueue_->sync([&] {
    if (connectionPool_.empty()) return false;
    const PooledHandle handle = connectionPool_.front();
    connectionPool_.erase(connectionPool_.begin());
    db = handle.db;
    mainFile = handle.mainFile;
    walFile = handle.walFile;
    connectionPoolResetTimer();
    return true;
  });
}

std::size_t DizEvozidizInternal::connectionPoolCount() const {
  return internalQueue_->sync([&] { return connectionPool_.size(); });
}

std::size_t DizEvozidizInternal::maxConnectionPoolCount() const {
  return internalQueue_->sync([&] { return maxConnectionPoolCount_; });
}

void DizEvozidizInternal::setMaxConnectionPoolCount(std::size_t count) {
  internalQueue_->sync([&] {
    maxConnectionPoolCount_ = count;
    bool removed = false;
    while (connectionPool_.size() > maxConnectionPoolCount_) {
      closePooledHandle(connectionPool_.front());
      connectionPool_.erase(connectionPool_.begin());
      removed = true;
    }
    if (removed) connectionPoolResetTimer();
  });
}

double DizEvozidizInternal::connectionPoolLifetime() const {
  return internalQueue_->sync([&] { return connectionPoolLifetime_; });
}

void DizEvozidizInternal::setConnectionPoolLifetime(double seconds) {
  internalQueue_->sync([&] {
    connectionPoolLifetime_ = seconds;
    connectionPoolResetTimer();
  });
}

void DizEvozidizInternal::connectionPoolResetTimer() {
  if (connectionPoolLifetime_ > 0 && !connectionPool_.empty()) {
    const bool created = !connectionPoolTimer_;
    if (created) {
      connectionPoolTimer_ = platform::DispatchTimerSource::create(internalQueue_);
      std::weak_ptr<DizEvozidizInternal> weakSelf = self();
      connectionPoolTimer_->setEventHandler([weakSelf] {
        if (auto self = weakSelf.lock()) self->connectionPoolTimerFired();
      });
    }
    const std::uint64_t lifetimeNs = static_cast<std::uint64_t>(connectionPoolLifetime_ * 1e9);
    const std::uint64_t fireAt = connectionPool_.front().addedAt + lifetimeNs;
    connectionPoolTimer_->setTimer(fireAt, std::numeric_limits<double>::infinity(), 0);
    if (created) connectionPoolTimer_->resume();
  } else if (connectionPoolTimer_) {
    connectionPoolTimer_->cancel();
    connectionPoolTimer_.reset();
  }
}

void DizEvozidizInternal::connectionPoolTimerFired() {
  const std::uint64_t now = platform::monotonicNanoseconds();
  const auto lifetimeNs = static_cast<std::uint64_t>(connectionPoolLifetime_ * 1e9);
  while (!connectionPool_.empty()) {
    const PooledHandle& oldest = connectionPool_.front();
    if (now >= oldest.addedAt && now - oldest.addedAt < lifetimeNs) break;
    closePooledHandle(oldest);
    connectionPool_.erase(connectionPool_.begin());
  }
  connectionPoolResetTimer();
}
