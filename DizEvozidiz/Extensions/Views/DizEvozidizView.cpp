#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"

#include <sqlite3.h>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h"

namespace {
constexpr const char* kViewLogFile = "DizEvozidiz/Extensions/Views/DizEvozidizView.cpp";
}

DizEvozidizView::DizEvozidizView(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                 std::string versionTag, DizEvozidizViewOptions options)
    : grouping_(std::move(grouping)),
      sorting_(std::move(sorting)),
      versionTag_(std::move(versionTag)),
      options_(std::move(options)) {}

DizEvozidizViewPtr DizEvozidizView::make(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                         std::optional<std::string> versionTag,
                                         std::optional<DizEvozidizViewOptions> options) {
  return platform::make<DizEvozidizView>(std::move(grouping), std::move(sorting), versionTag.value_or(""),
                                         options.value_or(DizEvozidizViewOptions{}));
}

DizEvozidizViewGrouping::Ptr DizEvozidizView::grouping() const {
  std::lock_guard lock(mutex_);
  return grouping_;
}

DizEvozidizViewSorting::Ptr DizEvozidizView::sorting() const {
  std::lock_guard lock(mutex_);
  return sorting_;
}

void DizEvozidizView::getGroupingSorting(DizEvozidizViewGrouping::Ptr* grouping,
                                         DizEvozidizViewSorting::Ptr* sorting) const {
  std::lock_guard lock(mutex_);
  if (grouping) *grouping = grouping_;
  if (sorting) *sorting = sorting_;
}

void DizEvozidizView::adoptGroupingSorting(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting) {
  std::lock_guard lock(mutex_);
  grouping_ = std::move(grouping);
  sorting_ = std::move(sorting);
}

std::string DizEvozidizView::versionTag() const {
  std::lock_guard lock(mutex_);
  return versionTag_;
}

bool DizEvozidizView::getState(DizEvozidizViewStatePtr* state, std::uint64_t snapshot) const {
  std::lock_guard lock(mutex_);
  const bool current = latestSnapshot_ && *latestSnapshot_ == snapshot;
  if (state) *state = current ? latestState_ : nullptr;
  return current;
}

DizEvozidizExtensionConnectionPtr DizEvozidizView::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizViewConnection::make(std::static_pointer_cast<DizEvozidizView>(shared_from_this()), &connection);
}

// Every commit of the database passes here in commit order. A commit that carries no part of this
// view left it as it was, so the state stays the latest one, now for the newer snapshot.
void DizEvozidizView::noteCommittedChangeset(const platform::Value& changeset, const std::string& registeredName) {
  const platform::Value& snapshot = changeset["snapshot"];
  const auto part = changeset["extensions"][registeredName].as<DizViewInternalChangeset>();
  std::lock_guard lock(mutex_);
  if (part) {
    if (part->grouping) grouping_ = part->grouping;
    if (part->sorting) sorting_ = part->sorting;
    if (part->versionTag) versionTag_ = *part->versionTag;
    latestState_ = part->state;
  }
  if (snapshot.isNil())
    latestSnapshot_.reset();  // cannot tell which snapshot the state is of
  else
    latestSnapshot_ = snapshot.asUInt64();
}

void DizEvozidizView::dropTablesForRegisteredName(const std::string& registeredName,
                                                  DizEvozidizReadWriteTransaction& transaction, bool wasPersistent) {
  const std::string mapTable = mapTableNameForRegisteredName(registeredName);
  const std::string pageTable = pageTableNameForRegisteredName(registeredName);
  const std::string pageMetadataTable = pageMetadataTableNameForRegisteredName(registeredName);
  DizEvozidizConnection* connection = transaction.connection();
  if (wasPersistent) {
    sqlite3* db = DizInternal(*connection).db;
    struct Drop {
      const std::string& table;
      const char* failure;
    } drops[] = {{mapTable, "%@: %@ - Failed dropping map table (%@): %d %s"},
                 {pageTable, "%@: %@ - Failed dropping page table (%@): %d %s"}};
    for (const auto& drop : drops) {
      const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(drop.table) + ";";
      const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
      if (status != SQLITE_OK)
        DIZ_LOG_IN(kDizLogFlagError, kViewLogFile, drop.failure, "dropTablesForRegisteredName", drop.table, status,
                   sqlite3_errmsg(db));
    }
  } else {
    connection->unregisterMemoryTableWithName(mapTable);
    connection->unregisterMemoryTableWithName(pageTable);
    connection->unregisterMemoryTableWithName(pageMetadataTable);
  }
}

std::optional<std::string> DizEvozidizView::previousVersionTagForRegisteredViewName(
    const std::string& name, DizEvozidizReadTransaction& transaction) {
  if (auto tag = transaction.stringValueForKey("versionTag", name)) return tag;
  if (auto cls = transaction.stringValueForKey("class", name); cls && *cls == "DizEvozidizFilteredView")
    return transaction.stringValueForKey("tag", name);
  std::int32_t version = 0;
  if (transaction.getIntValue(&version, "version", name)) return std::to_string(version);
  return std::nullopt;
}
