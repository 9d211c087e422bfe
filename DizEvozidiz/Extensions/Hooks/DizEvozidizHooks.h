#pragma once

// DizEvozidizHooks: an extension that runs the program's own closures inside every read-write
// transaction, just before and just after each row is written or removed. It keeps nothing on disk
// and nothing between transactions: it forwards the store's row hooks (DizEvozidizExtension.h) to up
// to six closures. Object and metadata reach the modify closures through two reusable
// DizProxyObjects that read a value from the store only when the closure asks for it; a proxy is
// valid only during the call that receives it.
//
// Change flags of the modify closures:
//   insert 13 (Inserted | ObjectChanged | MetadataChanged), update 14 (Updated | ObjectChanged |
//   MetadataChanged), replace object 6, replace metadata 10, touch object 16, touch metadata 32,
//   touch row 48. Touches have no will-call.
// With allowedCollections set, rows of other collections reach no closure; emptying the whole store
// still calls both remove-all closures.
//
// Failure: nothing to fail; what a closure does (throwing included) is its own affair within the
// store transaction.
//
// Threads: the properties may be set and read from any thread (each is guarded by one mutex). The
// connection and transaction parts, and every closure call, run on the writing connection's queue,
// one row at a time, in the order the store applies the changes.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/Utilities/DizProxyObject.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

enum DizEvozidizHooksChangeFlags : std::uint64_t {
  DizEvozidizHooksChangedInserted = 1 << 0,
  DizEvozidizHooksChangedUpdated = 1 << 1,
  DizEvozidizHooksChangedObjectChanged = 1 << 2,
  DizEvozidizHooksChangedMetadataChanged = 1 << 3,
  DizEvozidizHooksChangedObjectTouched = 1 << 4,
  DizEvozidizHooksChangedMetadataTouched = 1 << 5,
};

class DizEvozidizHooks;
using DizEvozidizHooksPtr = std::shared_ptr<DizEvozidizHooks>;

class DizEvozidizHooks : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(DizEvozidizHooks, DizEvozidizExtension)

 public:
  using ModifyBlock =
      std::function<void(DizEvozidizReadWriteTransaction&, const std::string& collection, const std::string& key,
                         DizProxyObject& object, DizProxyObject& metadata, std::uint64_t flags)>;
  using RemoveBlock =
      std::function<void(DizEvozidizReadWriteTransaction&, const std::string& collection, const std::string& key)>;
  using RemoveAllBlock = std::function<void(DizEvozidizReadWriteTransaction&)>;

  static DizEvozidizHooksPtr make();

  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections() const;
  void setAllowedCollections(std::shared_ptr<const DizWhitelistBlacklist> allowed);
  ModifyBlock willModifyRow() const;
  void setWillModifyRow(ModifyBlock block);
  ModifyBlock didModifyRow() const;
  void setDidModifyRow(ModifyBlock block);
  RemoveBlock willRemoveRow() const;
  void setWillRemoveRow(RemoveBlock block);
  RemoveBlock didRemoveRow() const;
  void setDidRemoveRow(RemoveBlock block);
  RemoveAllBlock willRemoveAllRows() const;
  void setWillRemoveAllRows(RemoveAllBlock block);
  RemoveAllBlock didRemoveAllRows() const;
  void setDidRemoveAllRows(RemoveAllBlock block);

  // The store keeps no tables or values for it, so there is nothing to drop.
  bool isPersistent() const override { return false; }
  static void dropTablesForRegisteredName(const std::string&, DizEvozidizReadWriteTransaction&, bool) {}
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;

 protected:
  DizEvozidizHooks() = default;

 private:
  mutable platform::Mutex mutex_;
  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections_ ZORVEL_GUARDED_BY(mutex_);
  ModifyBlock willModifyRow_ ZORVEL_GUARDED_BY(mutex_);
  ModifyBlock didModifyRow_ ZORVEL_GUARDED_BY(mutex_);
  RemoveBlock willRemoveRow_ ZORVEL_GUARDED_BY(mutex_);
  RemoveBlock didRemoveRow_ ZORVEL_GUARDED_BY(mutex_);
  RemoveAllBlock willRemoveAllRows_ ZORVEL_GUARDED_BY(mutex_);
  RemoveAllBlock didRemoveAllRows_ ZORVEL_GUARDED_BY(mutex_);
};

// The hooks' part of one database connection: it holds the extension and nothing else.
class DizEvozidizHooksConnection : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(DizEvozidizHooksConnection, DizEvozidizExtensionConnection)

 public:
  static std::shared_ptr<DizEvozidizHooksConnection> make(DizEvozidizHooksPtr hooks, DizEvozidizConnection* connection);
  const DizEvozidizHooksPtr& hooks() const { return hooks_; }

  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override;

 protected:
  DizEvozidizHooksConnection(DizEvozidizHooksPtr hooks, DizEvozidizConnection* connection);

 private:
  const DizEvozidizHooksPtr hooks_;
};

// The hooks' part of one transaction: forwards every row hook to the matching closure.
// Threads: the connection's queue, inside its transaction.
class DizEvozidizHooksTransaction : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(DizEvozidizHooksTransaction, DizEvozidizExtensionTransaction)

 public:
  static std::shared_ptr<DizEvozidizHooksTransaction> make(std::shared_ptr<DizEvozidizHooksConnection> connection,
                                                           DizEvozidizReadTransaction* transaction);

  bool createIfNeeded() override { return true; }
  bool prepareIfNeeded() override { return true; }

  void handleWillInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                              const platform::Value& metadata) override;
  void handleInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleWillUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                              const platform::Value& metadata, std::int64_t rowid) override;
  void handleUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleWillReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                               std::int64_t rowid) override;
  void handleReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                           std::int64_t rowid) override;
  void handleWillReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                                 std::int64_t rowid) override;
  void handleReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                             std::int64_t rowid) override;
  void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleWillRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                      const std::vector<std::int64_t>& rowids) override;
  void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                  const std::vector<std::int64_t>& rowids) override;
  void handleWillRemoveAllObjectsInAllCollections() override;
  void handleRemoveAllObjectsInAllCollections() override;

 protected:
  DizEvozidizHooksTransaction(std::shared_ptr<DizEvozidizHooksConnection> connection,
                              DizEvozidizReadTransaction* transaction);

 private:
  // How a proxy is prepared: with the value at hand, or to load the row's value on first use.
  struct Given {
    const platform::Value* value;  // null: load lazily by rowid
  };
  bool isAllowed(const std::string& collection) const;
  void modify(bool will, const DizCollectionKeyPtr& collectionKey, std::int64_t rowid, Given object, Given metadata,
              std::uint64_t flags);
  void remove(bool will, const std::string& collection, const std::vector<std::string>& keys);

  const std::shared_ptr<DizEvozidizHooksConnection> connection_;
  DizProxyObject proxyObject_;
  DizProxyObject proxyMetadata_;
};
