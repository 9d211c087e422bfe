#pragma once

// DizEvozidizFilteredViewTransaction: a filtered view's part of one transaction. Everything a view
// transaction reads and stores is inherited; what differs is how rows get in: population walks the
// parent's groups in order, row changes follow the parent's placement of the row, and a new filter
// (this view's or the parent's) is merged against the current rows so that only rows that come or go
// produce changes. A new grouping/sorting of the parent rebuilds the view.
//
// Threads: only on the store connection's queue, inside its transaction; the parent's view
// transaction it uses is the same store transaction's.

#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredView.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"

class DizEvozidizFilteredViewTransaction;
using DizEvozidizFilteredViewTransactionPtr = std::shared_ptr<DizEvozidizFilteredViewTransaction>;

class DizEvozidizFilteredViewTransaction : public DizEvozidizViewTransaction {
  DIZ_EXTENSION_CLASS(DizEvozidizFilteredViewTransaction, DizEvozidizViewTransaction)

 public:
  static DizEvozidizFilteredViewTransactionPtr make(DizEvozidizFilteredViewConnectionPtr connection,
                                                    DizEvozidizReadTransaction* transaction);

  // Replaces the filter (read-write transactions): with a tag other than the stored one the rows are
  // merged against the new filter, the tag stored, and dependants told (kDizViewRepopulateFiltering).
  // The same tag changes nothing (logged).
  void setFilteringVersionTag(DizEvozidizViewFiltering::Ptr filtering, std::optional<std::string> versionTag);
  // Not available: a filtered view follows its parent's closures. Throws "DizEvozidizException".
  void setGroupingSortingVersionTag(DizEvozidizViewGrouping::Ptr grouping, DizEvozidizViewSorting::Ptr sorting,
                                    std::optional<std::string> versionTag) override;
  void viewDidRepopulate(const std::string& registeredName, std::uint64_t flags) override;

  bool createIfNeeded() override;
  bool populateView() override;

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

 protected:
  DizEvozidizFilteredViewTransaction(DizEvozidizFilteredViewConnectionPtr connection,
                                     DizEvozidizReadTransaction* transaction);

 private:
  DizEvozidizFilteredViewConnection& filteredConnection() const {
    return static_cast<DizEvozidizFilteredViewConnection&>(*viewConnection());
  }
  DizEvozidizFilteredView& filteredView() const { return static_cast<DizEvozidizFilteredView&>(*view()); }
  DizEvozidizViewTransactionPtr parent();
  // Whether the filter keeps the row; reads from the store what its block type needs and was not given.
  bool passes(const DizEvozidizViewFiltering& filter, const std::string& group, std::int64_t rowid,
              const DizCollectionKeyPtr& collectionKey, const platform::Value* object, const platform::Value* metadata);
  void insertAtCursor(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const std::string& group,
                      std::uint64_t index);
  // Brings every group in line with the parent's rows; refilter: run the filter on rows already held
  // (this view's filter changed), else keep them while the parent still holds them in that group.
  void mergeWithParent(bool refilter);
  void handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value* object,
                    const platform::Value* metadata, std::uint64_t invokeMask, std::uint64_t changes, bool isInsert);
};
