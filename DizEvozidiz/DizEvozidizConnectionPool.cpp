// The database's side of connections: making them, the changesets they exchange, and the pool of
// SQLite handles that released connections leave behind.

#include <algorithm>
#include <limits>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "platform/system/date.h"

std::shared_ptr<DizEvozidizConnection> DizEvozidizInternal::newConnection() {
  return DizEvozidizConnectionInternal::make(self());
}

// ---------------------------------------------------------------------------------------------
// Changesets (snapshot queue)

void DizEvozidizInternal::notePendingChangeset(const platform::Value& changeset) {
  assertOnSnapshotQueue();
  shared_->changesets.push_back(DizPublishedChangeset{changeset, changeset["snapshot"].asUInt64()});
}

std::optional<platform::ValueArray> DizEvozidizInternal::pendingAndCommittedChangesetsSince(std::uint64_t since,
                                                                                            std::uint64_t until) {
  assertOnSnapshotQueue();
  platform::ValueArray found;
  for (const auto& published : shared_->changesets) {
    if (published.snapshot > since && published.snapshot <= until) found.push_back(published.changeset);
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
  noteCommittedChangesetForExtensions(changeset);

  // Its pending entry, made just before the commit (the newest but for pseudo commits' order).
  auto& changesets = shared_->changesets;
  auto published = std::find_if(changesets.rbegin(), changesets.rend(),
                                [&](const DizPublishedChangeset& p) { return p.snapshot == snapshot; });
  DizPublishedChangeset* entry = nullptr;
  if (published != changesets.rend()) {
    entry = &*published;
  } else {
    changesets.push_back(DizPublishedChangeset{changeset, snapshot});
    entry = &changesets.back();
  }
  entry->committed = true;
  entry->retained = fromConnection == nullptr;

  std::shared_ptr<platform::DispatchGroup> group;
  for (const auto& state : shared_->connectionStates) {
    auto hooks = state->connection.lock();
    if (!hooks) continue;
    auto connection = std::dynamic_pointer_cast<DizEvozidizConnectionInternal>(hooks);
    if (!connection || connection.get() == fromConnection) continue;
    if (state->activeReadTransaction && !state->longLivedReadTransaction) {
      // Busy with a plain read transaction: it takes the changeset itself when that ends.
      if (!state->changesetsOwedFrom) state->changesetsOwedFrom = snapshot;
      ++entry->receiversLeft;
      continue;
    }
    if (!group) group = platform::DispatchGroup::create();
    group->async(connection->connectionQueue(),
                 [connection, changeset] { connection->noteCommittedChangeset(changeset); });
  }
  if (group) {
    ++entry->receiversLeft;
    // Keep the changeset until every receiver has run it, so a connection that catches up meanwhile
    // still finds it.
    group->notify(snapshotQueue_, [shared = shared_, snapshot] { changesetReceived(*shared, snapshot); });
  } else {
    dropDeliveredChangesets(*shared_);
  }
}

platform::ValueArray DizEvozidizInternal::takeOwedChangesets(DizEvozidizConnectionState& state, std::uint64_t after) {
  assertOnSnapshotQueue();
  platform::ValueArray owed;
  if (!state.changesetsOwedFrom) return owed;
  for (auto& published : shared_->changesets) {
    if (!published.committed) continue;
    if (published.snapshot > after) owed.push_back(published.changeset);
    // Every commit since the first owed one was owed: this connection stayed in its transaction.
    if (published.snapshot >= state.changesetsOwedFrom && published.receiversLeft > 0) --published.receiversLeft;
  }
  state.changesetsOwedFrom = 0;
  dropDeliveredChangesets(*shared_);
  return owed;
}

void DizEvozidizInternal::withdrawPendingChangeset(std::uint64_t snapshot) {
  assertOnSnapshotQueue();
  auto& changesets = shared_->changesets;
  for (auto it = changesets.begin(); it != changesets.end(); ++it) {
    if (it->snapshot == snapshot && !it->committed) {
      changesets.erase(it);
      return;
    }
  }
}

void DizEvozidizInternal::changesetReceived(Shared& shared, std::uint64_t snapshot) {
  for (auto& published : shared.changesets) {
    if (published.snapshot != snapshot) continue;
    if (published.receiversLeft > 0) --published.receiversLeft;
    break;
  }
  dropDeliveredChangesets(shared);
}

void DizEvozidizInternal::dropDeliveredChangesets(Shared& shared) {
  std::erase_if(shared.changesets,
                [](const DizPublishedChangeset& p) { return p.committed && !p.retained && p.receiversLeft == 0; });
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
