#include "DizEvozidiz/Extensions/Hooks/DizEvozidizHooks.h"

#include "DizEvozidiz/DizEvozidizTransaction.h"

using platform::Value;

// ---- Extension ----

DizEvozidizHooksPtr DizEvozidizHooks::make() { return platform::make<DizEvozidizHooks>(); }

#define DIZ_HOOKS_PROPERTY(Type, getter, setter, member) \
  Type DizEvozidizHooks::getter() const {                \
    platform::MutexLock lock(mutex_);                    \
    return member;                                       \
  }                                                      \
  void DizEvozidizHooks::setter(Type value) {            \
    platform::MutexLock lock(mutex_);                    \
    member = std::move(value);                           \
  }

DIZ_HOOKS_PROPERTY(std::shared_ptr<const DizWhitelistBlacklist>, allowedCollections, setAllowedCollections,
                   allowedCollections_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::ModifyBlock, willModifyRow, setWillModifyRow, willModifyRow_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::ModifyBlock, didModifyRow, setDidModifyRow, didModifyRow_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::RemoveBlock, willRemoveRow, setWillRemoveRow, willRemoveRow_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::RemoveBlock, didRemoveRow, setDidRemoveRow, didRemoveRow_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::RemoveAllBlock, willRemoveAllRows, setWillRemoveAllRows, willRemoveAllRows_)
DIZ_HOOKS_PROPERTY(DizEvozidizHooks::RemoveAllBlock, didRemoveAllRows, setDidRemoveAllRows, didRemoveAllRows_)

#undef DIZ_HOOKS_PROPERTY

DizEvozidizExtensionConnectionPtr DizEvozidizHooks::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizHooksConnection::make(std::static_pointer_cast<DizEvozidizHooks>(shared_from_this()), &connection);
}

// ---- Connection ----

DizEvozidizHooksConnection::DizEvozidizHooksConnection(DizEvozidizHooksPtr hooks, DizEvozidizConnection* connection)
    : DizEvozidizExtensionConnection(hooks, connection), hooks_(std::move(hooks)) {}

std::shared_ptr<DizEvozidizHooksConnection> DizEvozidizHooksConnection::make(DizEvozidizHooksPtr hooks,
                                                                             DizEvozidizConnection* connection) {
  return platform::make<DizEvozidizHooksConnection>(std::move(hooks), connection);
}

DizEvozidizExtensionTransactionPtr DizEvozidizHooksConnection::newReadTransaction(
    DizEvozidizReadTransaction& transaction) {
  return DizEvozidizHooksTransaction::make(std::static_pointer_cast<DizEvozidizHooksConnection>(shared_from_this()),
                                           &transaction);
}

DizEvozidizExtensionTransactionPtr DizEvozidizHooksConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction& transaction) {
  return DizEvozidizHooksTransaction::make(std::static_pointer_cast<DizEvozidizHooksConnection>(shared_from_this()),
                                           &transaction);
}

// ---- Transaction ----

DizEvozidizHooksTransaction::DizEvozidizHooksTransaction(std::shared_ptr<DizEvozidizHooksConnection> connection,
                                                         DizEvozidizReadTransaction* transaction)
    : DizEvozidizExtensionTransaction(connection, transaction), connection_(std::move(connection)) {}

std::shared_ptr<DizEvozidizHooksTransaction> DizEvozidizHooksTransaction::make(
    std::shared_ptr<DizEvozidizHooksConnection> connection, DizEvozidizReadTransaction* transaction) {
  return platform::make<DizEvozidizHooksTransaction>(std::move(connection), transaction);
}

bool DizEvozidizHooksTransaction::isAllowed(const std::string& collection) const {
  auto allowed = connection_->hooks()->allowedCollections();
  return !allowed || allowed->isAllowed(collection);
}

void DizEvozidizHooksTransaction::modify(bool will, const DizCollectionKeyPtr& collectionKey, std::int64_t rowid,
                                         Given object, Given metadata, std::uint64_t flags) {
  DizEvozidizReadWriteTransaction* t = databaseReadWriteTransaction();
  if (!t || !isAllowed(collectionKey->collection())) return;
  const auto& hooks = *connection_->hooks();
  DizEvozidizHooks::ModifyBlock block = will ? hooks.willModifyRow() : hooks.didModifyRow();
  if (!block) return;
  auto prepare = [&](DizProxyObject& proxy, Given given, bool isMetadata) {
    if (given.value)
      proxy.resetWithRealObject(*given.value);
    else
      proxy.resetWithRowid(rowid, collectionKey, isMetadata, t->shared_from_this());
  };
  prepare(proxyObject_, object, false);
  prepare(proxyMetadata_, metadata, true);
  // Emptied even when the block throws: a proxy is valid only during the call that receives it.
  struct Reset {
    DizProxyObject& a;
    DizProxyObject& b;
    ~Reset() {
      a.reset();
      b.reset();
    }
  } reset{proxyObject_, proxyMetadata_};
  block(*t, collectionKey->collection(), collectionKey->key(), proxyObject_, proxyMetadata_, flags);
}

void DizEvozidizHooksTransaction::remove(bool will, const std::string& collection,
                                         const std::vector<std::string>& keys) {
  DizEvozidizReadWriteTransaction* t = databaseReadWriteTransaction();
  if (!t || !isAllowed(collection)) return;
  const auto& hooks = *connection_->hooks();
  DizEvozidizHooks::RemoveBlock block = will ? hooks.willRemoveRow() : hooks.didRemoveRow();
  if (!block) return;
  for (const std::string& key : keys) block(*t, collection, key);
}

namespace {
constexpr std::uint64_t kInsert =
    DizEvozidizHooksChangedInserted | DizEvozidizHooksChangedObjectChanged | DizEvozidizHooksChangedMetadataChanged;
constexpr std::uint64_t kUpdate =
    DizEvozidizHooksChangedUpdated | DizEvozidizHooksChangedObjectChanged | DizEvozidizHooksChangedMetadataChanged;
constexpr std::uint64_t kReplaceObject = DizEvozidizHooksChangedUpdated | DizEvozidizHooksChangedObjectChanged;
constexpr std::uint64_t kReplaceMetadata = DizEvozidizHooksChangedUpdated | DizEvozidizHooksChangedMetadataChanged;
}  // namespace

void DizEvozidizHooksTransaction::handleWillInsertObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                         const Value& metadata) {
  // The row has no rowid yet; both values are at hand, so neither proxy loads anything.
  modify(true, ck, 0, {&object}, {&metadata}, kInsert);
}

void DizEvozidizHooksTransaction::handleInsertObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                     const Value& metadata, std::int64_t rowid) {
  modify(false, ck, rowid, {&object}, {&metadata}, kInsert);
}

void DizEvozidizHooksTransaction::handleWillUpdateObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                         const Value& metadata, std::int64_t rowid) {
  modify(true, ck, rowid, {&object}, {&metadata}, kUpdate);
}

void DizEvozidizHooksTransaction::handleUpdateObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                     const Value& metadata, std::int64_t rowid) {
  modify(false, ck, rowid, {&object}, {&metadata}, kUpdate);
}

void DizEvozidizHooksTransaction::handleWillReplaceObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                          std::int64_t rowid) {
  modify(true, ck, rowid, {&object}, {nullptr}, kReplaceObject);
}

void DizEvozidizHooksTransaction::handleReplaceObject(const Value& object, const DizCollectionKeyPtr& ck,
                                                      std::int64_t rowid) {
  modify(false, ck, rowid, {&object}, {nullptr}, kReplaceObject);
}

void DizEvozidizHooksTransaction::handleWillReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& ck,
                                                            std::int64_t rowid) {
  modify(true, ck, rowid, {nullptr}, {&metadata}, kReplaceMetadata);
}

void DizEvozidizHooksTransaction::handleReplaceMetadata(const Value& metadata, const DizCollectionKeyPtr& ck,
                                                        std::int64_t rowid) {
  modify(false, ck, rowid, {nullptr}, {&metadata}, kReplaceMetadata);
}

void DizEvozidizHooksTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  modify(false, ck, rowid, {nullptr}, {nullptr}, DizEvozidizHooksChangedObjectTouched);
}

void DizEvozidizHooksTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& ck,
                                                                      std::int64_t rowid) {
  modify(false, ck, rowid, {nullptr}, {nullptr}, DizEvozidizHooksChangedMetadataTouched);
}

void DizEvozidizHooksTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) {
  modify(false, ck, rowid, {nullptr}, {nullptr},
         DizEvozidizHooksChangedObjectTouched | DizEvozidizHooksChangedMetadataTouched);
}

void DizEvozidizHooksTransaction::handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t) {
  remove(true, ck->collection(), {ck->key()});
}

void DizEvozidizHooksTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t) {
  remove(false, ck->collection(), {ck->key()});
}

void DizEvozidizHooksTransaction::handleWillRemoveObjectsForKeys(const std::vector<std::string>& keys,
                                                                 const std::string& collection,
                                                                 const std::vector<std::int64_t>&) {
  remove(true, collection, keys);
}

void DizEvozidizHooksTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>& keys,
                                                             const std::string& collection,
                                                             const std::vector<std::int64_t>&) {
  remove(false, collection, keys);
}

void DizEvozidizHooksTransaction::handleWillRemoveAllObjectsInAllCollections() {
  DizEvozidizReadWriteTransaction* t = databaseReadWriteTransaction();
  if (!t) return;
  if (auto block = connection_->hooks()->willRemoveAllRows()) block(*t);
}

void DizEvozidizHooksTransaction::handleRemoveAllObjectsInAllCollections() {
  DizEvozidizReadWriteTransaction* t = databaseReadWriteTransaction();
  if (!t) return;
  if (auto block = connection_->hooks()->didRemoveAllRows()) block(*t);
}
