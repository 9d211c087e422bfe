#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"

#include <sqlite3.h>

#include <algorithm>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizRowEnumeration.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"

using platform::Value;

namespace {

// Resets a kept statement and clears its bindings when leaving the scope.
struct StatementUse {
  sqlite3_stmt* s;
  ~StatementUse() {
    if (s) {
      sqlite3_clear_bindings(s);
      sqlite3_reset(s);
    }
  }
};

void bindText(sqlite3_stmt* s, int index, const std::string& text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

void bindOptionalText(sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
  if (text) bindText(s, index, *text);  // left unbound: NULL
}

void bindBlob(sqlite3_stmt* s, int index, const platform::Bytes& data) {
  sqlite3_bind_blob(s, index, data.empty() ? "" : static_cast<const void*>(data.data()), static_cast<int>(data.size()),
                    SQLITE_STATIC);
}

std::string columnText(sqlite3_stmt* s, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column))) : std::string();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Where the page operations read what is not in memory: the SQL tables or the memory tables.

class DizEvozidizViewTransaction::Storage final : public DizViewPageBackend {
 public:
  explicit Storage(DizEvozidizViewTransaction& t) : t_(t), name_(t.registeredName()) {}

  const std::string& registeredName() const override { return name_; }

  std::optional<std::string> storedPageKeyForRowid(std::int64_t rowid) override {
    if (!t_.isPersistentView()) {
      if (!t_.mapTableTransaction_) return std::nullopt;
      const Value v = t_.mapTableTransaction_->objectForKey(Value(rowid));
      return v.isString() ? std::optional<std::string>(v.asString()) : std::nullopt;
    }
    sqlite3_stmt* s = t_.viewConnection_->mapTable_getPageKeyForRowidStatement();
    if (!s) return readFailed("pageKeyForRowid"), std::nullopt;
    StatementUse use{s};
    sqlite3_bind_int64(s, 1, rowid);
    const int status = sqlite3_step(s);
    if (status == SQLITE_ROW) return columnText(s, 0);
    if (status != SQLITE_DONE) stepFailed("pageKeyForRowid", status);
    return std::nullopt;
  }

  std::unordered_map<std::int64_t, std::string> storedPageKeysForRowids(
      const std::vector<std::int64_t>& rowids) override {
    if (!t_.isPersistentView()) return DizViewPageBackend::storedPageKeysForRowids(rowids);
    std::unordered_map<std::int64_t, std::string> found;
    sqlite3* db = DizInternal(*t_.databaseTransaction()->connection()).db;
    const std::size_t limit =
        static_cast<std::size_t>(std::max(1, sqlite3_limit(db, SQLITE_LIMIT_VARIABLE_NUMBER, -1)));
    const std::string table = DizEvozidiz::quotedIdentifier(t_.view()->mapTableName());
    for (std::size_t start = 0; start < rowids.size(); start += limit) {
      const std::size_t n = std::min(limit, rowids.size() - start);
      std::string sql;
      sql.reserve(n * 3 + 50 + table.size());
      sql += "SELECT \"rowid\", \"pageKey\" FROM " + table + " WHERE \"rowid\" IN (?";
      for (std::size_t i = 1; i < n; ++i) sql += ", ?";
      sql += ");";
      sqlite3_stmt* s = nullptr;
      int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
      if (status != SQLITE_OK) {
        DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Error creating statement\n - status(%d), errmsg: %s\n - query: %@",
                           "pageKeysForRowids", name_, status, sqlite3_errmsg(db), sql);
        sqlite3_finalize(s);
        readFailed("pageKeysForRowids");
        return found;
      }
      for (std::size_t i = 0; i < n; ++i) sqlite3_bind_int64(s, static_cast<int>(i + 1), rowids[start + i]);
      while ((status = sqlite3_step(s)) == SQLITE_ROW) found.emplace(sqlite3_column_int64(s, 0), columnText(s, 1));
      if (status != SQLITE_DONE) stepFailed("pageKeysForRowids", status);
      sqlite3_finalize(s);
    }
    return found;
  }

  DizEvozidizViewPagePtr storedPage(const std::string& pageKey) override {
    if (!t_.isPersistentView()) {
      if (!t_.pageTableTransaction_) return nullptr;
      auto stored = t_.pageTableTransaction_->objectForKey(Value(pageKey)).as<DizViewPageValue>();
      return stored && stored->page ? stored->page->copy() : nullptr;
    }
    sqlite3_stmt* s = t_.viewConnection_->pageTable_getDataForPageKeyStatement();
    if (!s) return readFailed("pageForPageKey"), nullptr;
    StatementUse use{s};
    bindText(s, 1, pageKey);
    const int status = sqlite3_step(s);
    if (status == SQLITE_ROW)
      return DizEvozidizViewPage::deserialized(sqlite3_column_blob(s, 0),
                                               static_cast<std::size_t>(sqlite3_column_bytes(s, 0)));
    if (status != SQLITE_DONE) stepFailed("pageForPageKey", status);
    return nullptr;
  }

  void notePageUnavailable(const std::string& pageKey) override { t_.noteFailure("view page " + pageKey); }

 private:
  void stepFailed(const char* method, int status) {
    sqlite3* db = DizInternal(*t_.databaseTransaction()->connection()).db;
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Error executing statement: %d %s", method, name_, status, sqlite3_errmsg(db));
    readFailed(method);
  }
  // A lookup that could not be answered may place a row twice or lose one: not to be committed.
  void readFailed(const char* method) { t_.noteFailure(method); }

  DizEvozidizViewTransaction& t_;
  const std::string name_;
};

// ---------------------------------------------------------------------------------------------

DizEvozidizViewTransaction::DizEvozidizViewTransaction(DizEvozidizViewConnectionPtr connection,
                                                       DizEvozidizReadTransaction* transaction)
    : DizEvozidizExtensionTransaction(connection, transaction), viewConnection_(std::move(connection)) {
  storage_ = std::make_unique<Storage>(*this);
  if (!isPersistentView()) {
    mapTableTransaction_ = transaction->memoryTableTransaction(view()->mapTableName());
    pageTableTransaction_ = transaction->memoryTableTransaction(view()->pageTableName());
    pageMetadataTableTransaction_ = transaction->memoryTableTransaction(view()->pageMetadataTableName());
  }
}

DizEvozidizViewTransactionPtr DizEvozidizViewTransaction::make(DizEvozidizViewConnectionPtr connection,
                                                               DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizViewTransaction>(std::move(connection), transaction);
}

DizEvozidizViewTransaction::~DizEvozidizViewTransaction() = default;

DizViewPages DizEvozidizViewTransaction::pages() {
  if (!working().state) working().state = DizEvozidizViewState::make();
  return DizViewPages(working(), *storage_);
}

bool DizEvozidizViewTransaction::containsRowid(std::int64_t rowid) { return pages().containsRowid(rowid); }

void DizEvozidizViewTransaction::noteFailure(const std::string& step) {
  // Damaged pages of the view's own tables: the connection drops them and builds the view again
  // from the rows once this transaction has ended.
  if (isPersistentView()) {
    auto& connection = DizInternal(*databaseTransaction()->connection());
    if (connection.db && DizEvozidizConnectionInternal::isCorruptionResult(sqlite3_errcode(connection.db)))
      connection.noteDamagedExtensionTables(registeredName(), {view()->mapTableName(), view()->pageTableName()});
  }
  if (auto* rw = databaseReadWriteTransaction()) rw->noteFailedWrite("view " + registeredName() + ": " + step);
}

// ---- Creating and opening ----

bool DizEvozidizViewTransaction::createTables() {
  auto* rw = databaseReadWriteTransaction();
  if (!rw) return false;
  if (isPersistentView()) {
    sqlite3* db = DizInternal(*rw->connection()).db;
    struct Create {
      std::string table;
      const char* columns;
      const char* failure;
    } creates[] = {
        {view()->mapTableName(), " (\"rowid\" INTEGER PRIMARY KEY,  \"pageKey\" CHAR NOT NULL );",
         "%@: %@ - Failed creating map table (%@): %d %s"},
        {view()->pageTableName(),
         " (\"pageKey\" CHAR NOT NULL PRIMARY KEY,  \"group\" CHAR NOT NULL,  \"prevPageKey\" CHAR,  \"count\" "
         "INTEGER, "
         " \"data\" BLOB );",
         "%@: %@ - Failed creating page table (%@): %d %s"},
    };
    for (const auto& c : creates) {
      const std::string sql = "CREATE TABLE IF NOT EXISTS " + DizEvozidiz::quotedIdentifier(c.table) + c.columns;
      const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
      if (status != SQLITE_OK) {
        DIZ_VIEW_LOG_ERROR(c.failure, "createTables", c.table, status, sqlite3_errmsg(db));
        return false;
      }
    }
    return true;
  }
  DizEvozidizConnection* connection = rw->connection();
  struct Table {
    std::string name;
    const char* keyClass;
    const char* failure;
  } tables[] = {
      {view()->mapTableName(), "NSNumber", "%@: %@ - Failed registering map table"},
      {view()->pageTableName(), "NSString", "%@: %@ - Failed registering page table"},
      {view()->pageMetadataTableName(), "NSString", "%@: %@ - Failed registering pageMetadata table"},
  };
  for (const auto& table : tables) {
    if (!connection->registerMemoryTable(DizMemoryTable::make(table.keyClass), table.name)) {
      DIZ_VIEW_LOG_ERROR(table.failure, "createTables");
      return false;
    }
  }
  mapTableTransaction_ = rw->memoryTableTransaction(tables[0].name);
  pageTableTransaction_ = rw->memoryTableTransaction(tables[1].name);
  pageMetadataTableTransaction_ = rw->memoryTableTransaction(tables[2].name);
  return mapTableTransaction_ && pageTableTransaction_ && pageMetadataTableTransaction_;
}

void DizEvozidizViewTransaction::dropTablesForOldClassVersion(int classVersion) {
  auto* rw = databaseReadWriteTransaction();
  if (!rw || (classVersion != 1 && classVersion != 2)) return;
  sqlite3* db = DizInternal(*rw->connection()).db;
  auto drop = [&](const std::string& table, const char* failure) {
    const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(table) + ";";
    const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (status != SQLITE_OK)
      DIZ_VIEW_LOG_ERROR(failure, "dropTablesForOldClassVersion", table, status, sqlite3_errmsg(db));
  };
  if (classVersion == 1) {
    drop("view_" + registeredName() + "_key", "%@: %@ - Failed dropping key table (%@): %d %s");
    drop(view()->pageTableName(), "%@: %@ - Failed dropping old page table (%@): %d %s");
  } else {
    drop(view()->pageTableName(), "%@: %@ - Failed dropping old page table (%@): %d %s");
  }
}

bool DizEvozidizViewTransaction::createIfNeeded() {
  // Before version tags, a view stored a number under "version".
  return createIfNeeded(StoredDescription{{}, "version", true, {"classVersion", "versionTag", "version"}});
}

bool DizEvozidizViewTransaction::createIfNeeded(const StoredDescription& description) {
  const std::string currentTag = view()->versionTag();
  const bool skipPopulation = view()->options().skipInitialViewPopulation;
  if (!isPersistentView()) {
    if (!createTables()) return false;
    if (!skipPopulation && !populateView()) return false;
    setStringValue(currentTag, "versionTag", false);
    forgetFormerPersistentTables(description.formerPersistentKeys);
    return true;
  }

  std::int32_t classVersion = 0;
  const bool hasClassVersion = getIntValue(&classVersion, "classVersion", true);
  const std::optional<bool> mustFill = prepareTablesForClassVersion(hasClassVersion, classVersion, skipPopulation);
  if (!mustFill) return false;
  bool needsPopulation = *mustFill;

  std::vector<std::optional<std::string>> stored(description.matching.size());
  std::optional<std::string> storedTag;
  bool fromOldTagKey = false;
  if (hasClassVersion) {
    for (std::size_t i = 0; i < stored.size(); ++i) {
      stored[i] = stringValueForExtensionKey(description.matching[i].first, true);
      if (stored[i] != description.matching[i].second) needsPopulation = true;
    }
    storedTag = stringValueForExtensionKey("versionTag", true);
    if (!storedTag) {
      std::int32_t oldNumber = 0;
      if (!description.oldTagIsNumber)
        storedTag = stringValueForExtensionKey(description.oldTagKey, true);
      else if (getIntValue(&oldNumber, description.oldTagKey, true))
        storedTag = std::to_string(oldNumber);
      fromOldTagKey = storedTag.has_value();
    }
    if (storedTag != currentTag) needsPopulation = true;
  }

  if (needsPopulation && !populateView()) return false;
  // The stored pages are read now, so that damaged pages of the file are found, and the tables built
  // again, by the registration rather than met by the reads. (Pages that read but do not chain are
  // left to the first read-write transaction that needs them, as before.)
  if (!needsPopulation && !working().state) loadStateFromStorage();

  if (!hasClassVersion || classVersion != DizEvozidizView::kClassVersion)
    setIntValue(DizEvozidizView::kClassVersion, "classVersion", true);
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const auto& [key, current] = description.matching[i];
    if (stored[i] != current) setStringValue(current, key, true);
  }
  if (fromOldTagKey) {
    removeValueForExtensionKey(description.oldTagKey, true);
    setStringValue(currentTag, "versionTag", true);
  } else if (storedTag != currentTag) {
    setStringValue(currentTag, "versionTag", true);
  }
  return true;
}

std::optional<bool> DizEvozidizViewTransaction::prepareTablesForClassVersion(bool hasClassVersion,
                                                                             std::int32_t classVersion,
                                                                             bool skipPopulation) {
  if (hasClassVersion && classVersion == DizEvozidizView::kClassVersion) return false;
  if (hasClassVersion) dropTablesForOldClassVersion(classVersion);
  if (!createTables()) return std::nullopt;
  return hasClassVersion || !skipPopulation;
}

void DizEvozidizViewTransaction::forgetFormerPersistentTables(const std::vector<const char*>& keys) {
  std::int32_t storedVersion = 0;
  if (!getIntValue(&storedVersion, "classVersion", true)) return;
  DizEvozidizView::dropTablesForRegisteredName(registeredName(), *databaseReadWriteTransaction(), true);
  for (const char* key : keys) removeValueForExtensionKey(key, true);
}

bool DizEvozidizViewTransaction::prepareIfNeeded() {
  DizViewWorkingSet& w = working();
  if (w.state) return true;
  const bool readWrite = databaseTransaction()->isReadWriteTransaction();
  DizEvozidizViewStatePtr latest;
  if (view()->getState(&latest, databaseTransaction()->connection()->snapshot()) && latest) {
    w.state = readWrite ? latest->mutableCopy() : latest->copy();
    return true;
  }
  if (loadStateFromStorage()) return true;
  if (!readWrite) return false;
  // The stored pages cannot be trusted; they hold nothing the stored rows can't give again.
  DIZ_VIEW_LOG_WARN("%@: %@ (%@): Rebuilding the view from the stored rows", "prepareIfNeeded", registeredName());
  w.state = DizEvozidizViewState::make();
  if (!populateView()) {
    w.state.reset();
    return false;
  }
  return true;
}

bool DizEvozidizViewTransaction::loadStateFromStorage() {
  std::vector<DizEvozidizViewPageMetadataPtr> descriptors;
  bool failed = false;
  if (isPersistentView()) {
    sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
    // length("data") lets the load check every stored count against its page blob.
    const std::string sql = "SELECT \"pageKey\", \"group\", \"prevPageKey\", \"count\", length(\"data\") FROM " +
                            DizEvozidiz::quotedIdentifier(view()->pageTableName()) + ";";
    sqlite3_stmt* s = nullptr;
    const int status = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &s, nullptr);
    if (status != SQLITE_OK) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Cannot create 'enumerate_stmt': %d %s", "prepareIfNeeded", registeredName(),
                         status, sqlite3_errmsg(db));
      sqlite3_finalize(s);
      return false;
    }
    int step;
    while ((step = sqlite3_step(s)) == SQLITE_ROW) {
      const std::int32_t count = sqlite3_column_int(s, 3);
      if (count < 0) {
        DIZ_VIEW_LOG_WARN("%@: %@ (%@): Encountered invalid count: %d", "prepareIfNeeded", registeredName(), count);
        continue;
      }
      if (static_cast<std::int64_t>(count) * 8 != sqlite3_column_int64(s, 4)) {
        DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Encountered invalid count: %d", "prepareIfNeeded", registeredName(), count);
        failed = true;
        continue;
      }
      auto m = std::make_shared<DizEvozidizViewPageMetadata>();
      m->pageKey = columnText(s, 0);
      m->group = columnText(s, 1);
      std::string prev = columnText(s, 2);
      if (!prev.empty()) m->prevPageKey = std::move(prev);
      m->count = static_cast<std::uint64_t>(count);
      descriptors.push_back(std::move(m));
    }
    // A scan that ended early read only part of the pages: never a view to go on with.
    if (step != SQLITE_DONE) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Error reading the page table: %d %s", "prepareIfNeeded", registeredName(), step,
                         sqlite3_errmsg(db));
      if (DizEvozidizConnectionInternal::isCorruptionResult(step)) noteFailure("reading the page table");
      failed = true;
    }
    sqlite3_finalize(s);
  } else {
    if (!pageMetadataTableTransaction_) return false;
    pageMetadataTableTransaction_->enumerateKeysAndObjectsWithBlock([&](const Value&, const Value& object, bool&) {
      if (auto stored = object.as<DizViewPageMetadataValue>(); stored && stored->metadata)
        descriptors.push_back(stored->metadata->copy());
    });
  }
  auto state = DizViewPages::buildState(std::move(descriptors), registeredName());
  if (failed || !state) return false;
  working().state = databaseTransaction()->isReadWriteTransaction() ? state : state->copy();
  return true;
}

// ---- Populating ----

void DizEvozidizViewTransaction::removeAllRowids() {
  if (isPersistentView()) {
    sqlite3_stmt* mapStatement = viewConnection_->mapTable_removeAllStatement();
    sqlite3_stmt* pageStatement = viewConnection_->pageTable_removeAllStatement();
    if (!mapStatement || !pageStatement) {
      noteFailure("removeAllRowids");
      return;
    }
    sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
    int status = sqlite3_step(mapStatement);
    if (status != SQLITE_DONE) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Error in mapStatement: %d %s", "removeAllRowids", registeredName(), status,
                         sqlite3_errmsg(db));
      noteFailure("removeAllRowids map");
    }
    status = sqlite3_step(pageStatement);
    if (status != SQLITE_DONE) {
      DIZ_VIEW_LOG_ERROR("%@: %@ (%@): Error in pageStatement: %d %s", "removeAllRowids", registeredName(), status,
                         sqlite3_errmsg(db));
      noteFailure("removeAllRowids page");
    }
    sqlite3_reset(mapStatement);
    sqlite3_reset(pageStatement);
  } else {
    for (const auto& t : {mapTableTransaction_, pageTableTransaction_, pageMetadataTableTransaction_})
      if (t) t->removeAllObjects();
  }
  pages().removeAllRowidsInMemory(!isRepopulate_);
  storage_->didRemoveAllRowids();
}

bool DizEvozidizViewTransaction::populateView() {
  removeAllRowids();
  DizEvozidizViewGrouping::Ptr grouping;
  DizEvozidizViewSorting::Ptr sorting;
  viewConnection_->getGroupingSorting(&grouping, &sorting);
  if (!grouping || !sorting) {
    DIZ_VIEW_LOG_ERROR("%@: %@ (%@): The view has no grouping or no sorting", "populateView", registeredName());
    return false;
  }
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const bool needsObject = grouping->needsObject() || sorting->needsObject();
  const bool needsMetadata = grouping->needsMetadata() || sorting->needsMetadata();
  // The grouping runs in the filter, before anything is fetched, when it needs less than the sorting.
  const bool groupInFilter = (needsObject && !grouping->needsObject()) || (needsMetadata && !grouping->needsMetadata());
  static const Value nil{};
  std::optional<std::string> filteredGroup;

  auto groupOf = [&](const std::string& c, const std::string& k, const Value& o, const Value& m) {
    return grouping->block()(t, DizViewRow{c, k, o, m});
  };
  auto insert = [&](std::int64_t rowid, const std::string& c, const std::string& k, const Value& o, const Value& m) {
    auto group = groupInFilter ? std::move(filteredGroup) : groupOf(c, k, o, m);
    if (group) placeRow(rowid, DizCollectionKey::make(c, k), o, m, *group, 3, true);
  };
  DizEvozidizReadTransaction::RowidCollectionKeyFilter filter;
  if (groupInFilter)
    filter = [&](std::int64_t, const std::string& c, const std::string& k) {
      filteredGroup = groupOf(c, k, nil, nil);
      return filteredGroup.has_value();
    };

  DizEnumerateRowsForBlockType(
      t, (needsObject ? DizBlockTypeNeedsObject : 0) | (needsMetadata ? DizBlockTypeNeedsMetadata : 0),
      view()->allowedCollections().get(), filter, insert);
  return true;
}

void DizEvozidizViewTransaction::repopulateView() {
  DizEvozidizReadTransaction& t = *databaseTransaction();
  for (const auto& group : allGroups()) {
    enumerateRowidsInGroup(group, kDizViewEnumerationReverse, [&](std::int64_t rowid, std::uint64_t index, bool&) {
      working().changes.push_back(
          DizEvozidizViewRowChange::deleteCollectionKey(t.collectionKeyForRowid(rowid), group, index));
    });
    working().changes.push_back(DizEvozidizViewSectionChange::deleteGroup(group));
  }
  isRepopulate_ = true;
  populateView();
  isRepopulate_ = false;
}

// ---- Placement through the sorting in force ----

void DizEvozidizViewTransaction::placeRow(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                          const Value& object, const Value& metadata, const std::string& group,
                                          std::uint64_t changes, bool isNew) {
  DizEvozidizViewSorting::Ptr sorting;
  viewConnection_->getGroupingSorting(nullptr, &sorting);
  if (!sorting) return;
  DizEvozidizReadTransaction& t = *databaseTransaction();
  const DizViewRow row1{collectionKey->collection(), collectionKey->key(), object, metadata};
  const bool needObject = sorting->needsObject();
  const bool needMetadata = sorting->needsMetadata();
  auto compare = [&](std::int64_t other) {
    SortValues v;
    if (!sortValuesForRowid(other, needObject, needMetadata, &v)) return 0;
    return sorting->block()(t, group, row1,
                            DizViewRow{v.key->collection(), v.key->key(), needObject ? v.object : Value(),
                                       needMetadata ? v.metadata : Value()});
  };
  pages().insertRowid(rowid, collectionKey, group, compare, changes, isNew);
  // Later placements are likely to compare with this row.
  sortValues_.setObject(SortValues{collectionKey, object, metadata, needObject, needMetadata}, rowid);
}

bool DizEvozidizViewTransaction::sortValuesForRowid(std::int64_t rowid, bool needObject, bool needMetadata,
                                                    SortValues* values) {
  if (const SortValues* known = sortValues_.objectForKey(rowid)) {
    if ((known->hasObject || !needObject) && (known->hasMetadata || !needMetadata)) {
      *values = *known;
      return true;
    }
  }
  SortValues read;
  if (!readRow(rowid, needObject, needMetadata, &read.key, &read.object, &read.metadata) || !read.key) return false;
  read.hasObject = needObject;
  read.hasMetadata = needMetadata;
  *values = read;
  sortValues_.setObject(std::move(read), rowid);
  return true;
}

void DizEvozidizViewTransaction::recordUpdateInPlace(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                                     std::uint64_t changes) {
  auto p = pages();
  auto pageKey = p.pageKeyForRowid(rowid);
  if (!pageKey) return;
  const std::string* group = working().state->groupForPageKey(*pageKey);
  if (!group) return;
  const std::string g = *group;
  working().changes.push_back(
      DizEvozidizViewRowChange::updateCollectionKey(collectionKey, g, p.indexForRowid(rowid, g, *pageKey), changes));
}

// ---- Row hooks ----

void DizEvozidizViewTransaction::handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey,
                                              const KnownValues& known, std::uint64_t invokeMask, std::uint64_t changes,
                                              bool isInsert) {
  Value object = known.object;
  Value metadata = known.metadata;
  if (const auto& allowed = view()->allowedCollections(); allowed && !allowed->isAllowed(collectionKey->collection()))
    return;
  DizEvozidizViewGrouping::Ptr grouping;
  DizEvozidizViewSorting::Ptr sorting;
  viewConnection_->getGroupingSorting(&grouping, &sorting);
  if (!grouping || !sorting) return;
  const bool groupingRuns = isInsert || (grouping->blockInvokeOptions() & invokeMask);
  const bool sortingRuns = isInsert || (sorting->blockInvokeOptions() & invokeMask);
  if (!groupingRuns && !sortingRuns) {
    recordUpdateInPlace(rowid, collectionKey, changes);
    return;
  }
  DizEvozidizReadTransaction& t = *databaseTransaction();
  bool haveObject = known.hasObject, haveMetadata = known.hasMetadata;
  auto fetch = [&](bool wantObject, bool wantMetadata) {
    if (wantObject && !haveObject) {
      object = t.objectForCollectionKey(collectionKey, rowid);
      haveObject = true;
    }
    if (wantMetadata && !haveMetadata) {
      metadata = t.metadataForCollectionKey(collectionKey, rowid);
      haveMetadata = true;
    }
  };
  // Placing a row compares it by the sorting closure's values, also when only its group changed.
  auto place = [&](const std::string& group) {
    fetch(sorting->needsObject(), sorting->needsMetadata());
    placeRow(rowid, collectionKey, object, metadata, group, changes, false);
  };

  if (groupingRuns) {
    fetch(grouping->needsObject(), grouping->needsMetadata());
    const auto group =
        grouping->block()(t, DizViewRow{collectionKey->collection(), collectionKey->key(), object, metadata});
    if (!group) {
      if (!isInsert) pages().removeRowid(rowid, collectionKey);
      return;
    }
    if (sortingRuns) {
      place(*group);
    } else if (groupForRowid(rowid) == group) {
      recordUpdateInPlace(rowid, collectionKey, changes);
    } else {
      place(*group);
    }
    return;
  }
  if (auto current = groupForRowid(rowid)) place(*current);
}

void DizEvozidizViewTransaction::handleWillUpdateObject(const Value&, const DizCollectionKeyPtr&, const Value&,
                                                        std::int64_t rowid) {
  sortValues_.removeObjectForKey(rowid);
}

void DizEvozidizViewTransaction::handleWillReplaceObject(const Value&, const DizCollectionKeyPtr&, std::int64_t rowid) {
  sortValues_.removeObjectForKey(rowid);
}

void DizEvozidizViewTransaction::handleWillReplaceMetadata(const Value&, const DizCollectionKeyPtr&,
                                                           std::int64_t rowid) {
  sortValues_.removeObjectForKey(rowid);
}

void DizEvozidizViewTransaction::handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr&,
                                                                        std::int64_t rowid) {
  sortValues_.removeObjectForKey(rowid);
}

void DizEvozidizViewTransaction::handleWillRemoveObjectsForKeys(const std::vector<std::string>&, const std::string&,
                                                                const std::vector<std::int64_t>& rowids) {
  for (std::int64_t rowid : rowids) sortValues_.removeObjectForKey(rowid);
}

void DizEvozidizViewTransaction::handleWillRemoveAllObjectsInAllCollections() { sortValues_.removeAllObjects(); }

void DizEvozidizViewTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                    const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, collectionKey, {object, metadata, true, true}, 0, DizViewChangedObject | DizViewChangedMetadata,
               true);
}

void DizEvozidizViewTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                    const Value& metadata, std::int64_t rowid) {
  handleChange(rowid, collectionKey, {object, metadata, true, true},
               DizBlockInvokeOnObjectModified | DizBlockInvokeOnMetadataModified,
               DizViewChangedObject | DizViewChangedMetadata, false);
}

void DizEvozidizViewTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& collectionKey,
                                                     std::int64_t rowid) {
  handleChange(rowid, collectionKey, {object, Value(), true, false}, DizBlockInvokeOnObjectModified,
               DizViewChangedObject, false);
}

void DizEvozidizViewTransaction::handleReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& collectionKey,
                                                       std::int64_t rowid) {
  handleChange(rowid, collectionKey, {Value(), metadata, false, true}, DizBlockInvokeOnMetadataModified,
               DizViewChangedMetadata, false);
}

void DizEvozidizViewTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                   std::int64_t rowid) {
  handleChange(rowid, collectionKey, {}, DizBlockInvokeOnObjectTouched, DizViewChangedObject, false);
}

void DizEvozidizViewTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                     std::int64_t rowid) {
  handleChange(rowid, collectionKey, {}, DizBlockInvokeOnMetadataTouched, DizViewChangedMetadata, false);
}

void DizEvozidizViewTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                std::int64_t rowid) {
  handleChange(rowid, collectionKey, {}, DizBlockInvokeOnObjectTouched | DizBlockInvokeOnMetadataTouched,
               DizViewChangedObject | DizViewChangedMetadata, false);
}

void DizEvozidizViewTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey,
                                                                    std::int64_t rowid) {
  pages().removeRowid(rowid, collectionKey);
}

void DizEvozidizViewTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>& keys,
                                                            const std::string& collection,
                                                            const std::vector<std::int64_t>& rowids) {
  std::unordered_map<std::int64_t, DizCollectionKeyPtr> mappings;
  for (std::size_t i = 0; i < keys.size() && i < rowids.size(); ++i)
    mappings.emplace(rowids[i], DizCollectionKey::make(collection, keys[i]));
  std::vector<std::int64_t> found = rowids;
  auto p = pages();
  for (auto& [pageKey, inPage] : p.pageKeysForRowids(found, mappings)) {
    const std::string* group = working().state->groupForPageKey(pageKey);
    if (group) p.removeRowidsWithKeyMappings(inPage, pageKey, std::string(*group));
  }
  std::vector<DizCollectionKeyPtr> removedKeys;
  removedKeys.reserve(found.size());
  for (std::int64_t rowid : found) removedKeys.push_back(mappings[rowid]);
  storage_->didRemoveRowids(found, &removedKeys);
}

void DizEvozidizViewTransaction::handleRemoveAllObjectsInAllCollections() { removeAllRowids(); }

// ---- Commit ----

void DizEvozidizViewTransaction::flushPendingChangesToExtensionTables() {
  if (!working().state) return;
  auto p = pages();
  p.cleanupPages();
  if (isPersistentView())
    flushPersistent(p);
  else
    flushMemoryTables(p);
}

void DizEvozidizViewTransaction::flushPersistent(DizViewPages& p) {
  sqlite3* db = DizInternal(*databaseTransaction()->connection()).db;
  auto step = [&](sqlite3_stmt* s, const char* label) {
    const int status = sqlite3_step(s);
    if (status != SQLITE_DONE) {
      DIZ_VIEW_LOG_ERROR(std::string("%@: %@ (%@): Error executing statement[") + label + "]: %d %s",
                         "flushPendingChangesToExtensionTables", registeredName(), status, sqlite3_errmsg(db));
      noteFailure(std::string("flush ") + label);
    }
    sqlite3_clear_bindings(s);
    sqlite3_reset(s);
  };
  auto missing = [&](const char* label) { noteFailure(std::string("flush ") + label + ": no statement"); };

  p.enumeratePageWrites([&](const DizViewPages::PageWrite& w) {
    using W = DizViewPages::PageWrite;
    switch (w.kind) {
      case W::Remove: {
        sqlite3_stmt* s = viewConnection_->pageTable_removeForPageKeyStatement();
        if (!s) return missing("1a");
        bindText(s, 1, *w.pageKey);
        step(s, "1a");
        break;
      }
      case W::Insert: {
        sqlite3_stmt* s = viewConnection_->pageTable_insertForPageKeyStatement();
        if (!s) return missing("1b");
        const platform::Bytes data = w.page->serialize();
        bindText(s, 1, *w.pageKey);
        bindText(s, 2, w.metadata->group);
        bindOptionalText(s, 3, w.metadata->prevPageKey);
        sqlite3_bind_int(s, 4, static_cast<int>(w.metadata->count));
        bindBlob(s, 5, data);
        step(s, "1b");
        break;
      }
      case W::UpdateAll: {
        sqlite3_stmt* s = viewConnection_->pageTable_updateAllForPageKeyStatement();
        if (!s) return missing("1c");
        const platform::Bytes data = w.page->serialize();
        bindOptionalText(s, 1, w.metadata->prevPageKey);
        sqlite3_bind_int(s, 2, static_cast<int>(w.metadata->count));
        bindBlob(s, 3, data);
        bindText(s, 4, *w.pageKey);
        step(s, "1c");
        break;
      }
      case W::Update: {
        sqlite3_stmt* s = viewConnection_->pageTable_updatePageForPageKeyStatement();
        if (!s) return missing("1d");
        const platform::Bytes data = w.page->serialize();
        sqlite3_bind_int(s, 1, static_cast<int>(w.page->count()));
        bindBlob(s, 2, data);
        bindText(s, 3, *w.pageKey);
        step(s, "1d");
        break;
      }
    }
  });

  if (sqlite3_stmt* s = viewConnection_->pageTable_updateLinkForPageKeyStatement()) {
    p.enumerateLinkWrites([&](const DizEvozidizViewPageMetadata& m) {
      bindOptionalText(s, 1, m.prevPageKey);
      bindText(s, 2, m.pageKey);
      step(s, "2");
    });
  } else if (!working().dirtyLinks.empty()) {
    missing("2");
  }

  sqlite3_stmt* removeMap = nullptr;
  sqlite3_stmt* setMap = nullptr;
  for (const auto& [rowid, pageKey] : working().dirtyMaps) {
    if (!pageKey) {
      if (!removeMap && !(removeMap = viewConnection_->mapTable_removeForRowidStatement())) return missing("3a");
      sqlite3_bind_int64(removeMap, 1, rowid);
      step(removeMap, "3a");
    } else {
      if (!setMap && !(setMap = viewConnection_->mapTable_setPageKeyForRowidStatement())) return missing("3b");
      sqlite3_bind_int64(setMap, 1, rowid);
      bindText(setMap, 2, *pageKey);
      step(setMap, "3b");
    }
  }
}

void DizEvozidizViewTransaction::flushMemoryTables(DizViewPages& p) {
  if (!mapTableTransaction_ || !pageTableTransaction_ || !pageMetadataTableTransaction_) {
    if (working().hasDirtyContent()) noteFailure("flush: no memory tables");
    return;
  }
  auto pageValue = [](const DizEvozidizViewPagePtr& page) {
    auto v = platform::make<DizViewPageValue>();
    v->page = page->copy();
    return Value(v);
  };
  auto metadataValue = [](const DizEvozidizViewPageMetadata& m) {
    auto v = platform::make<DizViewPageMetadataValue>();
    v->metadata = m.copy();
    return Value(v);
  };
  p.enumeratePageWrites([&](const DizViewPages::PageWrite& w) {
    const Value key(*w.pageKey);
    if (w.kind == DizViewPages::PageWrite::Remove) {
      pageTableTransaction_->removeObjectForKey(key);
      pageMetadataTableTransaction_->removeObjectForKey(key);
    } else {
      pageTableTransaction_->setObject(pageValue(w.page), key);
      pageMetadataTableTransaction_->setObject(metadataValue(*w.metadata), key);
    }
  });
  p.enumerateLinkWrites([&](const DizEvozidizViewPageMetadata& m) {
    pageMetadataTableTransaction_->setObject(metadataValue(m), Value(m.pageKey));
  });
  for (const auto& [rowid, pageKey] : working().dirtyMaps) {
    if (pageKey)
      mapTableTransaction_->setObject(Value(*pageKey), Value(rowid));
    else
      mapTableTransaction_->removeObjectForKey(Value(rowid));
  }
  mapTableTransaction_->commit();
  pageTableTransaction_->commit();
  pageMetadataTableTransaction_->commit();
}

void DizEvozidizViewTransaction::didCommitTransaction() { viewConnection_->postCommitCleanup(); }

void DizEvozidizViewTransaction::didRollbackTransaction() {
  if (!isPersistentView()) {
    for (const auto& t : {mapTableTransaction_, pageTableTransaction_, pageMetadataTableTransaction_})
      if (t) t->rollback();
  }
  viewConnection_->postRollbackCleanup();
}
