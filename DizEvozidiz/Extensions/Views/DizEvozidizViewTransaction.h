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
#include <utility>
#include <vector>

#include "DizEvozidiz/DizCache.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizMemoryTable.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewConnection.h"
#include "platform/runtime/error.h"

inline constexpr std::uint64_t kDizViewEnumerationReverse = 2;
// Flags of viewDidRepopulate: the parent's grouping/sorting (test flags & 3) or its filter changed.
inline constexpr std::uint64_t kDizViewRepopulateGroupingSorting = 3;
inline constexpr std::uint64_t kDizViewRepopulateFiltering = 4;

struct DizViewRange {
  std::uint64_t location = 0;
  std::uint64_t length = 0;
  bool operator==(const DizViewRange&) const = default;
};

class DizEvozidizViewMappings;
class DizEvozidizViewTransaction;
class DizViewPages;  // DizEvozidizViewPagesInternal.h
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
  // Indexes are positions within one group, from 0; "not found" is DizViewNotFound. A group counts
  // only while it holds a row. Out-of-range requests answer false, null or DizViewNotFound.
  std::vector<std::string> allGroups() const;
  std::size_t numberOfGroups() const;
  bool hasGroup(const std::string& group) const;
  std::uint64_t numberOfItemsInGroup(const std::string& group) const;
  std::uint64_t numberOfItemsInAllGroups() const;
  bool isEmptyGroup(const std::string& group) const { return numberOfItemsInGroup(group) == 0; }
  bool isEmpty() const { return numberOfItemsInAllGroups() == 0; }
  // The tag the view's rows were grouped and sorted with ("versionTag"); empty when none is stored.
  std::string versionTag();

  std::optional<std::string> groupForRowid(std::int64_t rowid);
  // A missing collection is the collection with the empty name.
  std::optional<std::string> groupForKey(std::string_view key, std::string_view collection);
  // The row's group and index; false (group empty, index 0) when the view does not hold it.
  bool getGroup(std::string* group, std::uint64_t* index, std::string_view key, std::string_view collection);
  bool containsRowid(std::int64_t rowid);

  bool getRowid(std::int64_t* rowid, std::uint64_t index, const std::string& group);
  bool getLastRowid(std::int64_t* rowid, const std::string& group);
  // Null past the end of the group.
  DizCollectionKeyPtr collectionKeyAtIndex(std::uint64_t index, const std::string& group);
  // Either pointer may be null; both are emptied when the index is outside the group.
  bool getKey(std::string* key, std::string* collection, std::uint64_t index, const std::string& group);
  bool getFirstKey(std::string* key, std::string* collection, const std::string& group) {
    return getKey(key, collection, 0, group);
  }
  bool getLastKey(std::string* key, std::string* collection, const std::string& group);
  std::optional<std::string> keyAtIndex(std::uint64_t index, const std::string& group);
  std::optional<std::string> collectionAtIndex(std::uint64_t index, const std::string& group);
  platform::Value objectAtIndex(std::uint64_t index, const std::string& group);
  platform::Value metadataAtIndex(std::uint64_t index, const std::string& group);
  platform::Value firstObjectInGroup(const std::string& group) { return objectAtIndex(0, group); }
  platform::Value lastObjectInGroup(const std::string& group);

  // ---- Lookups through mappings ----
  // Displayed (row, section) or index paths of `mappings` to rows of the view and back. The
  // mappings should be at this transaction's snapshot. Null mappings answer false / null.
  // The rowid and collection key of a displayed row; either pointer may be null. False (0, null)
  // when the mappings do not show that row or the view does not hold it.
  bool getRowid(std::int64_t* rowid, DizCollectionKeyPtr* collectionKey, std::uint64_t row, std::uint64_t section,
                const DizEvozidizViewMappings* mappings);
  bool getKey(std::string* key, std::string* collection, std::uint64_t row, std::uint64_t section,
              const DizEvozidizViewMappings* mappings);
  // An empty index path answers false, with key and collection emptied.
  bool getKey(std::string* key, std::string* collection, const std::optional<DizIndexPath>& indexPath,
              const DizEvozidizViewMappings* mappings);
  platform::Value objectAtRow(std::uint64_t row, std::uint64_t section, const DizEvozidizViewMappings* mappings);
  platform::Value objectAtIndexPath(const std::optional<DizIndexPath>& indexPath,
                                    const DizEvozidizViewMappings* mappings);
  platform::Value metadataAtRow(std::uint64_t row, std::uint64_t section, const DizEvozidizViewMappings* mappings);
  platform::Value metadataAtIndexPath(const std::optional<DizIndexPath>& indexPath,
                                      const DizEvozidizViewMappings* mappings);
  // Where the mappings show a row of the view: none when the view does not hold it or the mappings
  // do not show it.
  std::optional<DizIndexPath> indexPathForKey(std::string_view key, std::string_view collection,
                                              const DizEvozidizViewMappings* mappings);
  // The same as row and section; false with both 0 when the row is not shown.
  bool getRow(std::uint64_t* row, std::uint64_t* section, std::string_view key, std::string_view collection,
              const DizEvozidizViewMappings* mappings);

  // The rows of a sorted group for which `find` answers inside (a halving search that expects the
  // answers ordered before / inside / after along the group); {DizViewNotFound, 0} when none.
  DizViewRange findRangeInGroup(const std::string& group, const DizEvozidizViewFind::Ptr& find,
                                bool quitAfterOne = false);
  // Some row that answers inside (the first the search meets), or DizViewNotFound.
  std::uint64_t findFirstMatchInGroup(const std::string& group, const DizEvozidizViewFind::Ptr& find) {
    return findRangeInGroup(group, find, true).location;
  }

  // Enumerations. Options: kDizViewEnumerationReverse (other bits are ignored). The index passed is
  // the row's position in the whole group. A block that changes the group it enumerates must set
  // stop, else the enumeration ends after that call and throws "DizEvozidizException" (the group was
  // mutated). A range reaching past the group is enumerated as far as the group goes and logged.
  // The filter forms read the object / metadata only of rows whose (collection, key) it accepts.
  using GroupBlock = std::function<void(const std::string& group, bool& stop)>;
  using RowidBlock = std::function<void(std::int64_t rowid, std::uint64_t index, bool& stop)>;
  using KeyBlock =
      std::function<void(const std::string& collection, const std::string& key, std::uint64_t index, bool& stop)>;
  using ValueBlock = std::function<void(const std::string& collection, const std::string& key,
                                        const platform::Value& value, std::uint64_t index, bool& stop)>;
  using RowBlock =
      std::function<void(const std::string& collection, const std::string& key, const platform::Value& object,
                         const platform::Value& metadata, std::uint64_t index, bool& stop)>;
  using KeyFilter = std::function<bool(const std::string& collection, const std::string& key)>;
  void enumerateGroupsUsingBlock(const GroupBlock& block);
  void enumerateRowidsInGroup(const std::string& group, std::uint64_t options, const RowidBlock& block);
  void enumerateRowidsInGroup(const std::string& group, std::uint64_t options, DizViewRange range,
                              const RowidBlock& block);
  void enumerateKeysInGroup(const std::string& group, std::uint64_t options, std::optional<DizViewRange> range,
                            const KeyBlock& block);
  void enumerateKeysAndMetadataInGroup(const std::string& group, std::uint64_t options,
                                       std::optional<DizViewRange> range, const KeyFilter& filter,
                                       const ValueBlock& block);
  void enumerateKeysAndObjectsInGroup(const std::string& group, std::uint64_t options,
                                      std::optional<DizViewRange> range, const KeyFilter& filter,
                                      const ValueBlock& block);
  void enumerateRowsInGroup(const std::string& group, std::uint64_t options, std::optional<DizViewRange> range,
                            const KeyFilter& filter, const RowBlock& block);

  // ---- Read-write conveniences ----
  // Re-evaluate one row in this view only (nothing is written to the store; other extensions are
  // not told). A missing row is ignored; in a read transaction they only log a warning.
  void touchObjectForKey(std::string_view key, std::string_view collection);
  void touchMetadataForKey(std::string_view key, std::string_view collection);
  void touchRowForKey(std::string_view key, std::string_view collection);
  // Replaces the grouping and sorting (read-write transactions): with a tag other than the stored one
  // the view is refilled, the tag stored, and every extension that depends on this view told through
  // viewDidRepopulate(name, kDizViewRepopulateGroupingSorting). The same tag changes nothing (logged).
  virtual void setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                            std::optional<std::string> versionTag);
  // A view this one depends on was refilled in this transaction. Base: nothing.
  virtual void viewDidRepopulate(const std::string& registeredName, std::uint64_t flags);

  // ---- Lifecycle (store calls) ----
  bool createIfNeeded() override;
  bool prepareIfNeeded() override;
  void flushPendingChangesToExtensionTables() override;
  void didCommitTransaction() override;
  void didRollbackTransaction() override;

  // ---- Row hooks ----
  // Before a row changes or goes: its remembered sorting values (see SortValues) are forgotten.
  void handleWillUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                              const platform::Value& metadata, std::int64_t rowid) override;
  void handleWillReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                               std::int64_t rowid) override;
  void handleWillReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                                 std::int64_t rowid) override;
  void handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleWillRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                      const std::vector<std::int64_t>& rowids) override;
  void handleWillRemoveAllObjectsInAllCollections() override;
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
  // The tables of a persistent view for the stored class version (none yet, or an older one whose
  // tables are dropped first): whether the view must be filled, or nullopt when a table could not
  // be made.
  std::optional<bool> prepareTablesForClassVersion(bool hasClassVersion, std::int32_t classVersion,
                                                   bool skipPopulation);
  // A view kept in memory under a name that was once persistent: its old tables go, and so do the
  // stored values (`keys`) that described them, so that a later persistent registration builds them
  // again instead of trusting them.
  void forgetFormerPersistentTables(const std::vector<const char*>& keys);
  // What createIfNeeded compares with the values a persistent view stored when it last ran: the
  // version tag ("versionTag", or the older key `oldTagKey`, a number or a text as
  // `oldTagIsNumber` says, which is replaced by "versionTag"), and each of `matching` (key, value).
  // Any difference refills the view and stores the current values.
  struct StoredDescription {
    std::vector<std::pair<const char*, std::string>> matching;
    const char* oldTagKey;
    bool oldTagIsNumber;
    std::vector<const char*> formerPersistentKeys;  // see forgetFormerPersistentTables
  };
  // The version migration of views and filtered views: creates the tables and fills the view as
  // the stored class version and `description` ask. False when a table or the fill failed.
  bool createIfNeeded(const StoredDescription& description);
  // Empties the view and fills it from the stored rows. False when the rows could not be read.
  virtual bool populateView();
  // Records the deletion of every row and group, then populates.
  void repopulateView();
  void removeAllRowids();
  // Tells every extension that depends on this view (filtered views) that it was refilled.
  void notifyDependentsOfRepopulation(std::uint64_t flags);

 protected:
  DizEvozidizViewTransaction(DizEvozidizViewConnectionPtr connection, DizEvozidizReadTransaction* transaction);

  DizViewPages pages();
  DizViewWorkingSet& working() const { return viewConnection_->working(); }
  // Places the row in `group` by the sorting in force (moving it when it sits elsewhere), or records
  // an update when it already sits in order.
  void placeRow(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value& object,
                const platform::Value& metadata, const std::string& group, std::uint64_t changes, bool isNew);
  // Logs and answers false outside a read-write transaction.
  bool requireReadWrite(const char* method);

 private:
  class Storage;
  friend class Storage;

  // The values a hook carries; the others are fetched only when a closure will read them.
  struct KnownValues {
    platform::Value object;
    platform::Value metadata;
    bool hasObject = false;
    bool hasMetadata = false;
  };
  void handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const KnownValues& known,
                    std::uint64_t invokeMask, std::uint64_t changes, bool isInsert);
  void recordUpdateInPlace(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, std::uint64_t changes);
  bool loadStateFromStorage();
  void flushPersistent(DizViewPages& pages);
  void flushMemoryTables(DizViewPages& pages);
  void noteFailure(const std::string& step);
  platform::Exception mutationException(const std::string& group) const;
  // Reads a row's values as `needObject` / `needMetadata` ask; false when the rowid has no row.
  bool readRow(std::int64_t rowid, bool needObject, bool needMetadata, DizCollectionKeyPtr* key,
               platform::Value* object, platform::Value* metadata);
  void enumerateValues(const std::string& group, std::uint64_t options, std::optional<DizViewRange> range,
                       const KeyFilter& filter, bool needObject, bool needMetadata, const RowBlock& block);
  std::string name() const { return registeredName(); }

  // What the sorting closure was last given for a row of this transaction (each row placed, and each
  // one it was compared with), so that a sorted placement, which compares with about log2(group
  // size) rows, reads rows from the store only once per transaction: filling a view from many new
  // rows compares mostly with rows placed earlier in the same transaction. The objects are shared
  // values (under the default policy the store keeps them too, for its change records). Entries go
  // before their row changes or goes (the Will hooks, which subclasses leave alone), and with the
  // transaction; past the limit the least recently used go first.
  struct SortValues {
    DizCollectionKeyPtr key;
    platform::Value object;
    platform::Value metadata;
    bool hasObject = false;
    bool hasMetadata = false;
  };
  static constexpr std::uint64_t kSortValuesLimit = 1 << 18;
  // The row's values the sorting needs, read through the memory; false when the rowid has no row.
  bool sortValuesForRowid(std::int64_t rowid, bool needObject, bool needMetadata, SortValues* values);

  const DizEvozidizViewConnectionPtr viewConnection_;
  std::unique_ptr<Storage> storage_;
  std::shared_ptr<DizMemoryTableTransaction> mapTableTransaction_;
  std::shared_ptr<DizMemoryTableTransaction> pageTableTransaction_;
  std::shared_ptr<DizMemoryTableTransaction> pageMetadataTableTransaction_;
  bool isRepopulate_ = false;
  DizCache<std::int64_t, SortValues> sortValues_{kSortValuesLimit};
};
