#pragma once

// The transaction objects handed to a connection's read and read-write blocks.
//
// DizEvozidizReadTransaction answers counts, rowid lookups and fetches of objects and metadata from
// the "database2" table through the connection's key, object and metadata caches, and enumerates
// collections, keys and rows (optionally filtered, over one, several or all collections, or over an
// unordered list of keys). DizEvozidizReadWriteTransaction adds every write: set, replace, touch and
// remove (one key, a key list, a collection, everything), keeping the SQL row, the connection's
// caches and the connection's change records (read at commit) in step.
//
// Threads: a transaction is valid only inside the block it was handed to, and only on its
// connection's serial queue; it takes no locks. The connection outlives it and is referenced without
// ownership.
//
// Failures: reads return empty answers (0, nil, false) and log; writes never throw and return nothing,
// logging a failed SQL step and leaving the caches and change records as they were. A failed write
// also marks the read-write transaction failed (writeFailure): the block runs on, but the connection
// then rolls the whole transaction back instead of committing part of it, and reports the failure as
// the transaction's outcome. A step status other than a row or the end is always an error, never
// "no row".
//
// Enumerations: every block gets a stop flag. A block that inserts, replaces or removes rows in the
// read-write transaction must set it; otherwise the enumeration ends after that row and throws
// platform::Exception "DizEvozidizException" (see mutationDuringEnumerationException). Touches do
// not count as writes. Blocks may run further reads and nested enumerations.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "DizEvozidiz/Utilities/DizProxyObject.h"
#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

class DizEvozidizConnection;
class DizEvozidizConnectionInternal;
class DizMemoryTableTransaction;
struct DizTransactionExtensionState;

class DizEvozidizReadTransaction : public DizProxyObjectSource,
                                   public std::enable_shared_from_this<DizEvozidizReadTransaction> {
 public:
  using Ptr = std::shared_ptr<DizEvozidizReadTransaction>;

  // ---- Lifecycle: made by the connection only (it alone has the internal type) ----
  DizEvozidizReadTransaction(DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction);
  ~DizEvozidizReadTransaction() override;
  DizEvozidizReadTransaction(const DizEvozidizReadTransaction&) = delete;
  DizEvozidizReadTransaction& operator=(const DizEvozidizReadTransaction&) = delete;

  static Ptr initWithConnection(DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction);

  DizEvozidizConnection* connection() const;
  bool isReadWriteTransaction() const { return isReadWriteTransaction_; }
  // Whether a statement of this transaction met damaged pages of the file (SQLITE_CORRUPT). Its
  // nil, 0 and empty answers may then stand for rows the file holds but could not give back; the
  // damage is also logged and recorded, so that the next opening checks the file.
  bool hasMetCorruption() const;

  // ---- Extensions (DizEvozidizExtension.h) ----
  // The extension transaction of a registered extension, made and prepared on first use and kept
  // for the transaction's life; null when the name is not registered or the extension declined to
  // prepare (a later call tries again, until prepareExtensions has run).
  DizEvozidizExtensionTransactionPtr extension(std::string_view name);
  DizEvozidizExtensionTransactionPtr ext(std::string_view name) { return extension(name); }
  // Makes and prepares the transactions of every registered extension; afterwards extension() only
  // looks up.
  void prepareExtensions();
  // The prepared extension transactions, in registration order (prepareExtensions first).
  const std::vector<DizEvozidizExtensionTransactionPtr>& orderedExtensions();
  // A transaction on the connection's memory table of that name (null when none is registered):
  // at the connection's snapshot, or one above it in a read-write transaction. "diz" gives the same
  // object on every call; other names a new one each time, the caller's to commit or roll back.
  std::shared_ptr<DizMemoryTableTransaction> memoryTableTransaction(std::string_view name);
  std::shared_ptr<DizMemoryTableTransaction> dizMemoryTableTransaction();

  // A free slot for the caller; released with the transaction.
  const platform::Value& userInfo() const { return userInfo_; }
  void setUserInfo(platform::Value userInfo) { userInfo_ = std::move(userInfo); }

  // ---- Counts and listings ----
  std::uint64_t numberOfCollections();
  std::uint64_t numberOfKeysInCollection(std::string_view collection);
  std::uint64_t numberOfKeysInAllCollections();
  // nullopt when the statement is unavailable.
  std::optional<std::vector<std::string>> allCollections();
  std::vector<std::string> allKeysInCollection(std::string_view collection);

  // ---- Rowids (key cache first, then SQL) ----
  // `rowid` may be null; it receives 0 when the row is missing.
  bool getRowid(std::int64_t* rowid, const DizCollectionKeyPtr& collectionKey);
  bool getRowid(std::int64_t* rowid, std::string_view key, std::string_view collection);
  DizCollectionKeyPtr collectionKeyForRowid(std::int64_t rowid);
  bool hasRowid(std::int64_t rowid);
  // Out-pointers may be null. True when the row exists (also when the object deserializes to nil).
  bool getCollectionKeyObject(DizCollectionKeyPtr* collectionKey, platform::Value* object, std::int64_t rowid);
  bool getCollectionKeyMetadata(DizCollectionKeyPtr* collectionKey, platform::Value* metadata, std::int64_t rowid);
  bool getCollectionKey(DizCollectionKeyPtr* collectionKey, platform::Value* object, platform::Value* metadata,
                        std::int64_t rowid);

  // ---- Fetch by key ("" is the default collection) ----
  bool hasObjectForKey(std::string_view key, std::string_view collection);
  platform::Value objectForKey(std::string_view key, std::string_view collection);
  platform::Value metadataForKey(std::string_view key, std::string_view collection);
  // Out-pointers may be null; a null pointer's value is neither read nor cached.
  bool getObject(platform::Value* object, platform::Value* metadata, std::string_view key, std::string_view collection);

  // ---- Fetch by a known row (for extensions; the key cache is not consulted) ----
  platform::Value objectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  platform::Value metadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  platform::Value objectForKey(std::string_view key, std::string_view collection, std::int64_t rowid);
  platform::Value metadataForKey(std::string_view key, std::string_view collection, std::int64_t rowid);
  bool getObject(platform::Value* object, platform::Value* metadata, const DizCollectionKeyPtr& collectionKey,
                 std::int64_t rowid);
  bool getObject(platform::Value* object, platform::Value* metadata, std::string_view key, std::string_view collection,
                 std::int64_t rowid);

  // ---- Raw bytes (copied; never deserialized, never cached) ----
  // nullopt when the row is missing; an existing row without metadata gives empty bytes.
  std::optional<platform::Bytes> serializedObjectForKey(std::string_view key, std::string_view collection);
  std::optional<platform::Bytes> serializedMetadataForKey(std::string_view key, std::string_view collection);
  bool getSerializedObject(platform::Bytes* object, platform::Bytes* metadata, std::string_view key,
                           std::string_view collection);

  // ---- Enumeration: public forms ----
  // An empty block returns at once; an empty filter delivers every row.
  using CollectionBlock = std::function<void(const std::string& collection, bool& stop)>;
  using KeyBlock = std::function<void(const std::string& key, bool& stop)>;
  using CollectionKeyBlock = std::function<void(const std::string& collection, const std::string& key, bool& stop)>;
  using KeyFilter = std::function<bool(const std::string& key)>;
  using CollectionKeyFilter = std::function<bool(const std::string& collection, const std::string& key)>;
  using KeyValueBlock = std::function<void(const std::string& key, const platform::Value& value, bool& stop)>;
  using CollectionKeyValueBlock = std::function<void(const std::string& collection, const std::string& key,
                                                     const platform::Value& value, bool& stop)>;
  using KeyRowBlock = std::function<void(const std::string& key, const platform::Value& object,
                                         const platform::Value& metadata, bool& stop)>;
  using CollectionKeyRowBlock =
      std::function<void(const std::string& collection, const std::string& key, const platform::Value& object,
                         const platform::Value& metadata, bool& stop)>;
  using IndexValueBlock = std::function<void(std::uint64_t keyIndex, const platform::Value& value, bool& stop)>;
  using IndexRowBlock = std::function<void(std::uint64_t keyIndex, const platform::Value& object,
                                           const platform::Value& metadata, bool& stop)>;

  void enumerateCollectionsUsingBlock(const CollectionBlock& block);
  void enumerateCollectionsForKey(std::string_view key, const CollectionBlock& block);
  void enumerateKeysInCollection(std::string_view collection, const KeyBlock& block);
  void enumerateKeysInAllCollectionsUsingBlock(const CollectionKeyBlock& block);
  void enumerateKeysAndObjectsInCollection(std::string_view collection, const KeyValueBlock& block,
                                           const KeyFilter& filter = {});
  void enumerateKeysAndObjectsInAllCollectionsUsingBlock(const CollectionKeyValueBlock& block,
                                                         const CollectionKeyFilter& filter = {});
  void enumerateKeysAndMetadataInCollection(std::string_view collection, const KeyValueBlock& block,
                                            const KeyFilter& filter = {});
  void enumerateKeysAndMetadataInAllCollectionsUsingBlock(const CollectionKeyValueBlock& block,
                                                          const CollectionKeyFilter& filter = {});
  void enumerateRowsInCollection(std::string_view collection, const KeyRowBlock& block, const KeyFilter& filter = {});
  void enumerateRowsInAllCollectionsUsingBlock(const CollectionKeyRowBlock& block,
                                               const CollectionKeyFilter& filter = {});
  // Unordered: cached keys first, then the rest by SQL in chunks of the host-parameter limit.
  // One callback per index of `keys` (a repeated key is delivered under each of its indexes); a key
  // without a row is delivered with nil values.
  void enumerateObjectsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                               const IndexValueBlock& block);
  void enumerateMetadataForKeys(const std::vector<std::string>& keys, std::string_view collection,
                                const IndexValueBlock& block);
  void enumerateRowsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                            const IndexRowBlock& block);

  // ---- Enumeration: forms for extensions (with rowids) ----
  using RowidKeyBlock = std::function<void(std::int64_t rowid, const std::string& key, bool& stop)>;
  using RowidCollectionKeyBlock =
      std::function<void(std::int64_t rowid, const std::string& collection, const std::string& key, bool& stop)>;
  using RowidKeyFilter = std::function<bool(std::int64_t rowid, const std::string& key)>;
  using RowidCollectionKeyFilter =
      std::function<bool(std::int64_t rowid, const std::string& collection, const std::string& key)>;
  using RowidKeyValueBlock =
      std::function<void(std::int64_t rowid, const std::string& key, const platform::Value& value, bool& stop)>;
  using RowidCollectionKeyValueBlock =
      std::function<void(std::int64_t rowid, const std::string& collection, const std::string& key,
                         const platform::Value& value, bool& stop)>;
  using RowidKeyRowBlock = std::function<void(std::int64_t rowid, const std::string& key, const platform::Value& object,
                                              const platform::Value& metadata, bool& stop)>;
  using RowidCollectionKeyRowBlock =
      std::function<void(std::int64_t rowid, const std::string& collection, const std::string& key,
                         const platform::Value& object, const platform::Value& metadata, bool& stop)>;
  using IndexRowidBlock = std::function<void(std::uint64_t keyIndex, std::int64_t rowid, bool& stop)>;

  void _enumerateKeysInCollection(std::string_view collection, const RowidKeyBlock& block);
  void _enumerateKeysInCollections(const std::vector<std::string>& collections, const RowidCollectionKeyBlock& block);
  void _enumerateKeysInAllCollectionsUsingBlock(const RowidCollectionKeyBlock& block);
  void _enumerateKeysAndObjectsInCollection(std::string_view collection, const RowidKeyValueBlock& block,
                                            const RowidKeyFilter& filter = {});
  void _enumerateKeysAndObjectsInCollections(const std::vector<std::string>& collections,
                                             const RowidCollectionKeyValueBlock& block,
                                             const RowidCollectionKeyFilter& filter = {});
  void _enumerateKeysAndObjectsInAllCollectionsUsingBlock(const RowidCollectionKeyValueBlock& block,
                                                          const RowidCollectionKeyFilter& filter = {});
  void _enumerateKeysAndMetadataInCollection(std::string_view collection, const RowidKeyValueBlock& block,
                                             const RowidKeyFilter& filter = {});
  void _enumerateKeysAndMetadataInCollections(const std::vector<std::string>& collections,
                                              const RowidCollectionKeyValueBlock& block,
                                              const RowidCollectionKeyFilter& filter = {});
  void _enumerateKeysAndMetadataInAllCollectionsUsingBlock(const RowidCollectionKeyValueBlock& block,
                                                           const RowidCollectionKeyFilter& filter = {});
  void _enumerateRowsInCollection(std::string_view collection, const RowidKeyRowBlock& block,
                                  const RowidKeyFilter& filter = {});
  void _enumerateRowsInCollections(const std::vector<std::string>& collections, const RowidCollectionKeyRowBlock& block,
                                   const RowidCollectionKeyFilter& filter = {});
  void _enumerateRowsInAllCollectionsUsingBlock(const RowidCollectionKeyRowBlock& block,
                                                const RowidCollectionKeyFilter& filter = {});
  // Found keys only, one callback per index of `keys`.
  void _enumerateRowidsForKeys(const std::vector<std::string>& keys, std::string_view collection,
                               const IndexRowidBlock& block);

  // ---- Extension values (table "diz2"), keyed by extension name and key ----
  // True when the row exists; the out-pointer (may be null) gets 0 / false when it does not.
  bool getBoolValue(bool* value, std::string_view key, std::string_view extension);
  bool getIntValue(std::int32_t* value, std::string_view key, std::string_view extension);
  bool getDoubleValue(double* value, std::string_view key, std::string_view extension);
  std::optional<std::string> stringValueForKey(std::string_view key, std::string_view extension);
  // A copy of the stored bytes.
  std::optional<platform::Bytes> dataValueForKey(std::string_view key, std::string_view extension);

  // The exception an enumeration throws after a write from its block without stop: name
  // "DizEvozidizException", reason "Database <Class: 0x...> was mutated while being enumerated.",
  // and a recovery suggestion in the user info.
  platform::Exception mutationDuringEnumerationException() const;

 protected:
  // Made on first use: a transaction that never touches extensions allocates nothing.
  DizTransactionExtensionState& extensionState();

  friend class DizEvozidizConnectionInternal;
  // Called by the connection only. Each steps its statement once and logs a failure; nothing else
  // is undone or reported.
  void beginTransaction();
  void beginImmediateTransaction();
  // Flushes pending work before the connection commits a read-write transaction: the extensions'
  // passes over the main table, their own tables, and the "diz" memory-table transaction. A flush
  // that fails, or extensions that never stop writing, mark the transaction failed.
  void preCommitReadWriteTransaction();
  void commitTransaction();
  // The caller (the connection) empties its object and metadata caches afterwards.
  void rollbackTransaction();
  // After the SQL commit or rollback of a read-write transaction: didCommitTransaction /
  // didRollbackTransaction to every extension transaction, and the "diz" memory-table rollback.
  void extensionsDidCommit();
  void extensionsDidRollback();
  // Whether a memory-table transaction of this transaction committed changes (a commit with only
  // those still takes a new snapshot, so other connections see them).
  bool hasMemoryTableChanges() const;

  DizEvozidizConnectionInternal* const connection_;
  const bool isReadWriteTransaction_;
  platform::Value userInfo_;
  std::unique_ptr<DizTransactionExtensionState> extensionState_;

 private:
  const char* className() const;
};

class DizEvozidizReadWriteTransaction final : public DizEvozidizReadTransaction {
 public:
  using Ptr = std::shared_ptr<DizEvozidizReadWriteTransaction>;

  DizEvozidizReadWriteTransaction(DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction = true);
  static Ptr initWithConnection(DizEvozidizConnectionInternal* connection, bool isReadWriteTransaction = true);

  // ---- Rollback ----
  // Asks the connection to roll back when the block returns; every operation keeps working until then.
  void rollback() { rollback_ = true; }
  bool rollbackRequested() const { return rollback_; }
  // The first write of this transaction that failed (DizEvozidizErrorDomain, code
  // DizEvozidizErrorWriteFailed), or null. Set, it makes the connection roll back at the end.
  const platform::ErrorPtr& writeFailure() const { return writeFailure_; }

  // Put under "custom" in the commit's notification when set.
  const platform::Value& customObjectForNotification() const { return customObjectForNotification_; }
  const platform::Value& dizEvozidizModifiedNotificationCustomObject() const { return customObjectForNotification_; }
  void setDizEvozidizModifiedNotificationCustomObject(platform::Value object) {
    customObjectForNotification_ = std::move(object);
  }

  // ---- Set: insert the row or overwrite its object and metadata; a nil object removes the key ----
  // Pre-serialized bytes, when given, are stored instead of serializing; metadata bytes are ignored
  // when the metadata is nil.
  void setObject(const platform::Value& object, std::string_view key, std::string_view collection,
                 const platform::Value& metadata = {}, const platform::Bytes* serializedObject = nullptr,
                 const platform::Bytes* serializedMetadata = nullptr);

  // ---- Replace only the object or only the metadata of an existing row ----
  void replaceObject(const platform::Value& object, std::string_view key, std::string_view collection);
  void replaceObject(const platform::Value& object, std::string_view key, std::string_view collection,
                     const platform::Bytes& serializedObject);
  // The rowid is trusted to belong to the key. A nil object removes the row.
  void replaceObject(const platform::Value& object, std::string_view key, std::string_view collection,
                     std::int64_t rowid, const platform::Bytes* serializedObject);
  void replaceMetadata(const platform::Value& metadata, std::string_view key, std::string_view collection);
  void replaceMetadata(const platform::Value& metadata, std::string_view key, std::string_view collection,
                       const platform::Bytes& serializedMetadata);
  // Nil metadata clears it.
  void replaceMetadata(const platform::Value& metadata, std::string_view key, std::string_view collection,
                       std::int64_t rowid, const platform::Bytes* serializedMetadata);

  // ---- Touch: record a change without writing (an existing change record is kept) ----
  void touchObjectForKey(std::string_view key, std::string_view collection);
  void touchMetadataForKey(std::string_view key, std::string_view collection);
  void touchRowForKey(std::string_view key, std::string_view collection);

  // ---- Remove ----
  void removeObjectForKey(std::string_view key, std::string_view collection);
  void removeObjectForKey(std::string_view key, std::string_view collection, std::int64_t rowid);
  void removeObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  // Missing keys are skipped; a repeated key is removed once. Chunked by the host-parameter limit.
  void removeObjectsForKeys(const std::vector<std::string>& keys, std::string_view collection);
  void removeAllObjectsInCollection(std::string_view collection);
  void removeAllObjectsInAllCollections();

  // ---- Extension values (table "diz2"); they touch no cache, change record or mutation stack ----
  void setBoolValue(bool value, std::string_view key, std::string_view extension);
  void setIntValue(std::int32_t value, std::string_view key, std::string_view extension);
  void setDoubleValue(double value, std::string_view key, std::string_view extension);
  void setStringValue(std::string_view value, std::string_view key, std::string_view extension);
  void setDataValue(const platform::Bytes& value, std::string_view key, std::string_view extension);
  void removeValueForKey(std::string_view key, std::string_view extension);
  void removeAllValuesForExtension(std::string_view extension);

  // ---- For extensions ----
  // Records that the named write step failed (the first failure is kept); its SQLite result code and
  // message are the handle's current ones. The transaction then rolls back as a whole and reports
  // the failure. Extensions call it when their own writes fail.
  void noteFailedWrite(std::string_view step);
  // The same with a reason of the caller's (no SQLite code).
  void noteFailedWrite(std::string_view step, std::string_view reason);
  // Registration: puts the extension transaction in place under the name (replacing one), so that
  // the commit of this transaction flushes and commits it too; removal for unregistration.
  void addRegisteredExtensionTransaction(const DizEvozidizExtensionTransactionPtr& transaction,
                                         const std::string& name);
  void removeRegisteredExtensionTransactionWithName(std::string_view name);

 private:
  bool rowidForWrite(std::int64_t& rowid, std::string_view key, std::string_view collection);
  // The touch* forms: records a touch of the object and/or the metadata of the row, and sends the
  // extensions `hook`.
  using TouchHook = void (DizEvozidizExtensionTransaction::*)(const DizCollectionKeyPtr&, std::int64_t);
  void touchForKey(std::string_view key, std::string_view collection, bool object, bool metadata, TouchHook hook);

  bool rollback_ = false;
  platform::ErrorPtr writeFailure_;
  platform::Value customObjectForNotification_;
};
