#pragma once

// DizEvozidizViewConnection: the part of a view that belongs to one database connection. It keeps
// what may be cached between transactions (the view state, rowid -> page key cache of 100, page
// cache of 40), what the running read-write transaction changed (dirty maps, pages and links, the
// change log, the mutated groups, the reset flag, a new grouping/sorting/version tag), and the
// view's prepared statements. At commit it hands its changes to the other connections
// (getInternalChangeset) and applies theirs (processChangeset).
//
// Changesets: internal part (DizViewInternalChangeset) = state copy, dirty maps, copies of the
// dirty pages, reset, new grouping/sorting/tag; external part = {"changes": [change records]}
// (DizEvozidizViewChange.h), under "extensions" -> registered name of the commit's notification.
//
// Threads: every member runs on the database connection's queue, except the static notification
// queries, which only read their arguments.

#include <sqlite3.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewChange.h"
#include "platform/services/notification_center.h"

class DizEvozidizViewConnection;
class DizEvozidizViewMappings;
struct DizViewWorkingSet;  // DizEvozidizViewPagesInternal.h
using DizEvozidizViewConnectionPtr = std::shared_ptr<DizEvozidizViewConnection>;

class DizEvozidizViewConnection : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizViewConnection, DizEvozidizExtensionConnection)

 public:
  static DizEvozidizViewConnectionPtr make(DizEvozidizViewPtr view, DizEvozidizConnection* connection);
  ~DizEvozidizViewConnection() override;

  const DizEvozidizViewPtr& view() const { return view_; }
  bool isPersistentView() const { return view_->isPersistent(); }

  // ---- Store calls ----
  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override;
  // 1: empty the caches; 2: finalize the statements; 8: drop the state (taken again next time).
  void _flushMemoryWithFlags(unsigned flags) override;
  void getInternalChangeset(platform::Value& internal, platform::Value& external, bool& hasDiskChanges) override;
  void processChangeset(const platform::Value& extensionChangeset) override;

  // ---- Blocks in force: the connection's own when set in this transaction, else the view's ----
  void setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                    std::string versionTag);
  void getGroupingSorting(DizEvozidizViewGrouping::Ptr* grouping, DizEvozidizViewSorting::Ptr* sorting);
  // New closures without a new tag (a derived view following its parent); they travel with the commit.
  void setGroupingSorting(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting);

  // ---- Transaction bracket (the view transaction calls these) ----
  void prepareForReadWriteTransaction();
  virtual void postCommitCleanup();
  virtual void postRollbackCleanup();

  // ---- What the view transaction works on ----
  DizViewWorkingSet& working() { return *working_; }

  // Prepared statements on the view's tables, made on first use; null (logged) when preparing failed.
  sqlite3_stmt* mapTable_getPageKeyForRowidStatement();
  sqlite3_stmt* mapTable_setPageKeyForRowidStatement();
  sqlite3_stmt* mapTable_removeForRowidStatement();
  sqlite3_stmt* mapTable_removeAllStatement();
  sqlite3_stmt* pageTable_getDataForPageKeyStatement();
  sqlite3_stmt* pageTable_insertForPageKeyStatement();
  sqlite3_stmt* pageTable_updateAllForPageKeyStatement();
  sqlite3_stmt* pageTable_updatePageForPageKeyStatement();
  sqlite3_stmt* pageTable_updateLinkForPageKeyStatement();
  sqlite3_stmt* pageTable_removeForPageKeyStatement();
  sqlite3_stmt* pageTable_removeAllStatement();
  // Prepares `sql` on the connection's handle; null (logged with `caller`) on failure.
  sqlite3_stmt* prepareStatement(const std::string& sql, const char* caller);

  // ---- Queries on received "DizEvozidizModifiedNotification"s ----
  bool hasChangesForNotifications(const std::vector<platform::NotificationPtr>& notifications) const;
  bool hasChangesForGroup(const std::optional<std::string>& group,
                          const std::vector<platform::NotificationPtr>& notifications) const;
  bool hasChangesForAnyGroups(const std::set<std::string>& groups,
                              const std::vector<platform::NotificationPtr>& notifications) const;
  std::size_t numberOfRawChangesForNotifications(const std::vector<platform::NotificationPtr>& notifications) const;
  // Moves `mappings` to the connection's current snapshot (the connection is in a long-lived read
  // transaction and `notifications` are the commits since the mappings' snapshot, in order) and
  // delivers the section and row changes between the two (Utilities/DizEvozidizViewChangeSet.h).
  // False, with both outputs empty and nothing changed, for null mappings (logged) or no
  // notifications. Raises "DizEvozidizException" for mappings never updated, or mappings and
  // notifications that are not of consecutive snapshots. Called on the display's thread.
  bool getSectionChanges(std::vector<DizEvozidizViewSectionChangePtr>* sectionChanges,
                         std::vector<DizEvozidizViewRowChangePtr>* rowChanges,
                         const std::vector<platform::NotificationPtr>& notifications,
                         DizEvozidizViewMappings* mappings);

 protected:
  DizEvozidizViewConnection(DizEvozidizViewPtr view, DizEvozidizConnection* connection);

 private:
  enum Statement {
    kMapGet,
    kMapSet,
    kMapRemove,
    kMapRemoveAll,
    kPageGet,
    kPageInsert,
    kPageUpdateAll,
    kPageUpdate,
    kPageUpdateLink,
    kPageRemove,
    kPageRemoveAll,
    kStatementCount
  };
  sqlite3_stmt* statement(Statement which);
  void flushStatements();
  DizEvozidizViewStatePtr committedStateCopy(bool mutableCopy);
  const platform::ValueArray* changeLog(const platform::NotificationPtr& notification) const;

  const DizEvozidizViewPtr view_;
  const std::unique_ptr<DizViewWorkingSet> working_;
  DizEvozidizViewGrouping::Ptr grouping_;
  DizEvozidizViewSorting::Ptr sorting_;
  std::string versionTag_;
  bool groupingChanged_ = false;
  bool sortingChanged_ = false;
  bool versionTagChanged_ = false;
  sqlite3_stmt* statements_[kStatementCount] = {};
};
