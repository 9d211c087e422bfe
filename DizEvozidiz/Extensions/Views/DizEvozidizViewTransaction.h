#pragma once

// DizEvozidizViewTransaction: the part of a view that lives for one store transaction. It keeps the
// view's groups in storage, places every changed row at its sorted position (through the row hooks
// of the extension framework), and writes what changed at commit.
//
// Persistent view tables (a stored format; N = the registered name, quoted as an identifier):
//   CREATE TABLE IF NOT EXISTS "view_N_map" ("rowid" INTEGER PRIMARY KEY,  "pageKey" CHAR NOT NULL );
//   CREATE TABLE IF NOT EXISTS "view_N_page" ("pageKey" CHAR NOT NULL PRIMARY KEY,  "group" CHAR NOT NULL,
//     "prevPageKey" CHAR,  "count" INTEGER,  "data" BLOB );
//   one map row per rowid in the view; one page row per page: its group, the previous page of the
//   group (NULL for the first), the number of rowids and the page blob (DizEvozidizViewPage.h).
//   Page keys are upper-case UUID strings.
// In-memory view: the same data in memory tables (rowid -> page key, page key -> page, page key ->
// descriptor), committed and rolled back with the transaction.
//
// Opening (registration, createIfNeeded): stored class version other than 3 -> old tables dropped,
// tables created, view populated from the stored rows; first registration -> tables created and
// populated (unless skipInitialViewPopulation); stored tag different from the view's -> populated
// again. Loading (prepareIfNeeded): the latest committed state when it is of this snapshot, else the
// page table's chains, each checked (one first page, every link resolving, no cycle, every page
// reached, stored counts matching the blobs). Stored pages that fail the check are rebuilt from the
// stored rows in a read-write transaction; a read transaction gets no view (ext() is null).
//
// Failures: SQL failures are logged; a failed write of the view's tables, or a page the state names
// that cannot be read, fails the read-write transaction (it rolls back and reports the failure),
// so the view never commits out of step with the rows.
//
// Threads: only on the store connection's queue, inside its transaction.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizMemoryTable.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewPagesInternal.h"

class DizEvozidizViewTransaction;
using DizEvozidizViewTransactionPtr = std::shared_ptr<DizEvozidizViewTransaction>;

class DizEvozidizViewTransaction : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(DizEvozidizViewTransaction, DizEvozidizExtensionTransaction)

 public:
  static DizEvozidizViewTransactionPtr make(DizEvozidizViewConnectionPtr connection,
                                            DizEvozidizReadTransaction* transaction);
  ~DizEvozidizViewTransaction() override;

  const DizEvozidizViewConnectionPtr& viewConnection() const { return viewConnection_; }
  const DizEvozidizViewPtr& view() const { return viewConnection_->view(); }
  bool isPersistentView() const { return view()->isPersistent(); }

  // ---- Reading ----
  std::vector<std::string> allGroups() const;
  std::size_t numberOfGroups() const;
  std::uint64_t numberOfItemsInGroup(const std::string& group) const;
  std::uint64_t numberOfItemsInAllGroups() const;
  bool hasGroup(const std::string& group) const;
  std::optional<std::string> groupForRowid(std::int64_t rowid);
  std::optional<std::string> groupForKey(std::string_view key, std::string_view collection);
  bool getRowid(std::int64_t* rowid, std::uint64_t index, const std::string& group);
  // Null past the end of the group.
  DizCollectionKeyPtr collectionKeyAtIndex(std::uint64_t index, const std::string& group);
  // In group order (reverse: from the last); the block gets (rowid, index in the group, stop).
  void enumerateRowidsInGroup(const std::string& group, bool reverse,
                              const std::function<void(std::int64_t rowid, std::uint64_t index, bool& stop)>& block);

  // ---- Lifecycle (store calls) ----
  bool createIfNeeded() override;
  bool prepareIfNeeded() override;
  void flushPendingChangesToExtensionTables() override;
  void didCommitTransaction() override;
  void didRollbackTransaction() override;

  // ---- Row hooks ----
  void handleInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                           std::int64_t rowid) override;
  void handleReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                             std::int64_t rowid) override;
  void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                  const std::vector<std::int64_t>& rowids) override;
  void handleRemoveAllObjectsInAllCollections() override;

  // ---- Storage ----
  bool createTables();
  void dropTablesForOldClassVersion(int classVersion);
  // Empties the view and fills it from the stored rows. False when the rows could not be read.
  bool populateView();
  // Records the deletion of every row and group, then populates.
  void repopulateView();
  void removeAllRowids();

 protected:
  DizEvozidizViewTransaction(DizEvozidizViewConnectionPtr connection, DizEvozidizReadTransaction* transaction);

 private:
  class Storage;
  friend class Storage;

  DizViewPages pages();
  DizViewWorkingSet& working() const { return viewConnection_->working(); }
  // The values a hook carries; the others are fetched only when a closure will read them.
  struct KnownValues {
    platform::Value object;
    platform::Value metadata;
    bool hasObject = false;
    bool hasMetadata = false;
  };
  void handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const KnownValues& known,
                    std::uint64_t invokeMask, std::uint64_t changes, bool isInsert);
  void placeRow(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value& object,
                const platform::Value& metadata, const std::string& group, std::uint64_t changes, bool isNew);
  void recordUpdateInPlace(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, std::uint64_t changes);
  bool loadStateFromStorage();
  void flushPersistent(DizViewPages& pages);
  void flushMemoryTables(DizViewPages& pages);
  void noteFailure(const std::string& step);
  std::string name() const { return registeredName(); }

  const DizEvozidizViewConnectionPtr viewConnection_;
  std::unique_ptr<Storage> storage_;
  std::shared_ptr<DizMemoryTableTransaction> mapTableTransaction_;
  std::shared_ptr<DizMemoryTableTransaction> pageTableTransaction_;
  std::shared_ptr<DizMemoryTableTransaction> pageMetadataTableTransaction_;
  bool isRepopulate_ = false;
};
