#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"

namespace {
constexpr const char* kConnectionLogFile = "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.cpp";
}

DizEvozidizViewConnection::DizEvozidizViewConnection(DizEvozidizViewPtr view, DizEvozidizConnection* connection)
    : DizEvozidizExtensionConnection(view, connection),
      view_(std::move(view)),
      working_(std::make_unique<DizViewWorkingSet>()) {}

DizEvozidizViewConnectionPtr DizEvozidizViewConnection::make(DizEvozidizViewPtr view,
                                                             DizEvozidizConnection* connection) {
  return platform::make<DizEvozidizViewConnection>(std::move(view), connection);
}

DizEvozidizViewConnection::~DizEvozidizViewConnection() { flushStatements(); }

DizEvozidizExtensionTransactionPtr DizEvozidizViewConnection::newReadTransaction(
    DizEvozidizReadTransaction& transaction) {
  return DizEvozidizViewTransaction::make(std::static_pointer_cast<DizEvozidizViewConnection>(shared_from_this()),
                                          &transaction);
}

DizEvozidizExtensionTransactionPtr DizEvozidizViewConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction) {
  auto t = DizEvozidizViewTransaction::make(std::static_pointer_cast<DizEvozidizViewConnection>(shared_from_this()),
                                            &transaction);
  prepareForReadWriteTransaction();
  return t;
}

void DizEvozidizViewConnection::_flushMemoryWithFlags(unsigned flags) {
  if (flags & 1) {
    working_->mapCache.removeAllObjects();
    working_->pageCache.removeAllObjects();
  }
  if (flags & 9) {
    working_->pagePositions.clear();
    working_->pagePositionsState.reset();
  }
  if (flags & 2) flushStatements();
  if (flags & 8) working_->state.reset();
}

// ---- Blocks ----

void DizEvozidizViewConnection::setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr grouping,
                                                             DizEvozidizViewSorting::Ptr sorting,
                                                             std::string versionTag) {
  grouping_ = std::move(grouping);
  sorting_ = std::move(sorting);
  versionTag_ = std::move(versionTag);
  groupingChanged_ = sortingChanged_ = versionTagChanged_ = true;
}

void DizEvozidizViewConnection::setGroupingSorting(DizEvozidizViewGrouping::Ptr grouping,
                                                   DizEvozidizViewSorting::Ptr sorting) {
  grouping_ = std::move(grouping);
  sorting_ = std::move(sorting);
  groupingChanged_ = sortingChanged_ = true;
}

void DizEvozidizViewConnection::getGroupingSorting(DizEvozidizViewGrouping::Ptr* grouping,
                                                   DizEvozidizViewSorting::Ptr* sorting) {
  if (!grouping_ || !sorting_) {
    DizEvozidizViewGrouping::Ptr g;
    DizEvozidizViewSorting::Ptr s;
    view_->getGroupingSorting(&g, &s);
    if (!grouping_) grouping_ = std::move(g);
    if (!sorting_) sorting_ = std::move(s);
  }
  if (grouping) *grouping = grouping_;
  if (sorting) *sorting = sorting_;
}

// ---- Transaction bracket ----

void DizEvozidizViewConnection::prepareForReadWriteTransaction() {
  if (working_->state && working_->state->isImmutable()) working_->state = working_->state->mutableCopy();
}

void DizEvozidizViewConnection::postCommitCleanup() {
  working_->clearTransactionChanges();
  grouping_.reset();
  sorting_.reset();
  versionTag_.clear();
  groupingChanged_ = sortingChanged_ = versionTagChanged_ = false;
}

DizEvozidizViewStatePtr DizEvozidizViewConnection::committedStateCopy(bool mutableCopy) {
  DizEvozidizViewStatePtr state;
  if (!view_->getState(&state, databaseConnection()->snapshot()) || !state) return nullptr;
  return mutableCopy ? state->mutableCopy() : state->copy();
}

void DizEvozidizViewConnection::postRollbackCleanup() {
  // The pages, maps and state may hold this transaction's changes: back to what was committed.
  working_->state = committedStateCopy(false);
  working_->mapCache.removeAllObjects();
  working_->pageCache.removeAllObjects();
  working_->clearTransactionChanges();
  grouping_.reset();
  sorting_.reset();
  versionTag_.clear();
  groupingChanged_ = sortingChanged_ = versionTagChanged_ = false;
}

// ---- Changesets ----

void DizEvozidizViewConnection::getInternalChangeset(platform::Value& internal, platform::Value& external,
                                                     bool& hasDiskChanges) {
  std::shared_ptr<DizViewInternalChangeset> part;
  hasDiskChanges = false;
  if (working_->hasDirtyContent() || working_->reset) {
    part = platform::make<DizViewInternalChangeset>();
    part->dirtyMaps = working_->dirtyMaps;
    for (const auto& [key, page] : working_->dirtyPages) part->dirtyPages.emplace(key, page ? page->copy() : nullptr);
    part->reset = working_->reset;
    part->state = working_->state ? working_->state->copy() : nullptr;
    hasDiskChanges = isPersistentView();
  }
  if (groupingChanged_ || sortingChanged_ || versionTagChanged_) {
    if (!part) part = platform::make<DizViewInternalChangeset>();
    if (groupingChanged_) part->grouping = grouping_;
    if (sortingChanged_) part->sorting = sorting_;
    if (versionTagChanged_) {
      part->versionTag = versionTag_;
      if (isPersistentView()) hasDiskChanges = true;
    }
  }
  internal = part ? platform::Value(part) : platform::Value();
  if (!working_->changes.empty()) {
    platform::ValueArray log;
    log.reserve(working_->changes.size());
    for (const auto& change : working_->changes) log.push_back(platform::Value(change));
    external = platform::Value::dictionary({{"changes", platform::Value(std::move(log))}});
  } else {
    external = platform::Value();
  }
}

namespace {

// Another connection's commit, applied to a cache: only entries the cache holds change (to their
// new value, or out when the commit removed them); with a reset, entries the commit does not name
// go too. `value` gives what to cache for a dirty entry, nullopt for "remove".
template <class Cache, class Dirty, class Transform>
void applyToCache(Cache& cache, const Dirty& dirty, bool reset, Transform value) {
  if (dirty.empty()) {
    if (reset) cache.removeAllObjects();
    return;
  }
  using Key = typename Dirty::key_type;
  std::vector<Key> keys;
  cache.enumerateKeysWithBlock([&](const Key& key, bool&) { keys.push_back(key); });
  for (const Key& key : keys) {
    auto it = dirty.find(key);
    if (it == dirty.end()) {
      if (reset) cache.removeObjectForKey(key);
    } else if (auto v = value(it->second)) {
      cache.setObject(std::move(*v), key);
    } else {
      cache.removeObjectForKey(key);
    }
  }
}

}  // namespace

void DizEvozidizViewConnection::processChangeset(const platform::Value& extensionChangeset) {
  const auto part = extensionChangeset.as<DizViewInternalChangeset>();
  if (!part) return;
  if (part->state) working_->state = part->state->copy();

  applyToCache(working_->mapCache, part->dirtyMaps, part->reset, [](const std::optional<std::string>& key) {
    return key;  // a rowid that left the view (nullopt) is dropped from the cache
  });
  applyToCache(working_->pageCache, part->dirtyPages, part->reset,
               [](const DizEvozidizViewPagePtr& page) { return page ? std::optional(page->copy()) : std::nullopt; });
}

// ---- Statements ----

sqlite3_stmt* DizEvozidizViewConnection::prepareStatement(const std::string& sql, const char* caller) {
  sqlite3* db = DizInternal(*databaseConnection()).db;
  sqlite3_stmt* statement = nullptr;
  const int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &statement, nullptr);
  if (status != SQLITE_OK) {
    DIZ_LOG_IN(kDizLogFlagError, kConnectionLogFile, "%@: %@: Error creating prepared statement: %d %s", caller, status,
               sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    return nullptr;
  }
  return statement;
}

sqlite3_stmt* DizEvozidizViewConnection::statement(Statement which) {
  if (statements_[which]) return statements_[which];
  // Table names come from the registered name: always quoted as identifiers.
  const std::string map = DizEvozidiz::quotedIdentifier(view_->mapTableName());
  const std::string page = DizEvozidiz::quotedIdentifier(view_->pageTableName());
  struct Text {
    const char* caller;
    std::string sql;
  };
  const Text texts[kStatementCount] = {
      {"mapTable_getPageKeyForRowidStatement", "SELECT \"pageKey\" FROM " + map + " WHERE \"rowid\" = ?;"},
      {"mapTable_setPageKeyForRowidStatement",
       "INSERT OR REPLACE INTO " + map + " (\"rowid\", \"pageKey\") VALUES (?, ?);"},
      {"mapTable_removeForRowidStatement", "DELETE FROM " + map + " WHERE \"rowid\" = ?;"},
      {"mapTable_removeAllStatement", "DELETE FROM " + map + ";"},
      {"pageTable_getDataForPageKeyStatement", "SELECT \"data\" FROM " + page + " WHERE \"pageKey\" = ?;"},
      {"pageTable_insertForPageKeyStatement",
       "INSERT INTO " + page +
           " (\"pageKey\", \"group\", \"prevPageKey\", \"count\", \"data\") VALUES (?, ?, ?, ?, ?);"},
      {"pageTable_updateAllForPageKeyStatement",
       "UPDATE " + page + " SET \"prevPageKey\" = ?, \"count\" = ?, \"data\" = ? WHERE \"pageKey\" = ?;"},
      {"pageTable_updatePageForPageKeyStatement",
       "UPDATE " + page + " SET \"count\" = ?, \"data\" = ? WHERE \"pageKey\" = ?;"},
      {"pageTable_updateLinkForPageKeyStatement", "UPDATE " + page + " SET \"prevPageKey\" = ? WHERE \"pageKey\" = ?;"},
      {"pageTable_removeForPageKeyStatement", "DELETE FROM " + page + " WHERE \"pageKey\" = ?;"},
      {"pageTable_removeAllStatement", "DELETE FROM " + page + ";"},
  };
  statements_[which] = prepareStatement(texts[which].sql, texts[which].caller);
  return statements_[which];
}

sqlite3_stmt* DizEvozidizViewConnection::mapTable_getPageKeyForRowidStatement() { return statement(kMapGet); }
sqlite3_stmt* DizEvozidizViewConnection::mapTable_setPageKeyForRowidStatement() { return statement(kMapSet); }
sqlite3_stmt* DizEvozidizViewConnection::mapTable_removeForRowidStatement() { return statement(kMapRemove); }
sqlite3_stmt* DizEvozidizViewConnection::mapTable_removeAllStatement() { return statement(kMapRemoveAll); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_getDataForPageKeyStatement() { return statement(kPageGet); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_insertForPageKeyStatement() { return statement(kPageInsert); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_updateAllForPageKeyStatement() { return statement(kPageUpdateAll); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_updatePageForPageKeyStatement() { return statement(kPageUpdate); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_updateLinkForPageKeyStatement() {
  return statement(kPageUpdateLink);
}
sqlite3_stmt* DizEvozidizViewConnection::pageTable_removeForPageKeyStatement() { return statement(kPageRemove); }
sqlite3_stmt* DizEvozidizViewConnection::pageTable_removeAllStatement() { return statement(kPageRemoveAll); }

void DizEvozidizViewConnection::flushStatements() {
  for (auto& s : statements_) {
    if (s) sqlite3_finalize(s);
    s = nullptr;
  }
}

// ---- Notifications ----

const platform::ValueArray* DizEvozidizViewConnection::changeLog(const platform::NotificationPtr& notification) const {
  if (!notification) return nullptr;
  const platform::Value& log = notification->userInfo()["extensions"][view_->registeredName()]["changes"];
  return log.isArray() ? &log.asArray() : nullptr;
}

bool DizEvozidizViewConnection::hasChangesForNotifications(
    const std::vector<platform::NotificationPtr>& notifications) const {
  for (const auto& n : notifications)
    if (const auto* log = changeLog(n); log && !log->empty()) return true;
  return false;
}

bool DizEvozidizViewConnection::hasChangesForGroup(const std::optional<std::string>& group,
                                                   const std::vector<platform::NotificationPtr>& notifications) const {
  if (!group) return false;
  return hasChangesForAnyGroups({*group}, notifications);
}

bool DizEvozidizViewConnection::hasChangesForAnyGroups(
    const std::set<std::string>& groups, const std::vector<platform::NotificationPtr>& notifications) const {
  if (groups.empty()) return false;
  for (const auto& n : notifications) {
    const auto* log = changeLog(n);
    if (!log) continue;
    for (const auto& entry : *log) {
      if (auto s = entry.as<DizEvozidizViewSectionChange>()) {
        if (groups.contains(s->group())) return true;
      } else if (auto r = entry.as<DizEvozidizViewRowChange>()) {
        if ((r->originalGroup() && groups.contains(*r->originalGroup())) ||
            (r->finalGroup() && groups.contains(*r->finalGroup())))
          return true;
      }
    }
  }
  return false;
}

std::size_t DizEvozidizViewConnection::numberOfRawChangesForNotifications(
    const std::vector<platform::NotificationPtr>& notifications) const {
  std::size_t n = 0;
  for (const auto& notification : notifications)
    if (const auto* log = changeLog(notification)) n += log->size();
  return n;
}
