#pragma once

// The extension framework: every index and view of the store is an extension made of three
// cooperating objects, each a subclass of one base class here.
//
//   DizEvozidizExtension             one per registered name per database: the configuration, what
//                                    the application registers (DizEvozidiz::registerExtension).
//   DizEvozidizExtensionConnection   one per database connection that uses the extension: that
//                                    connection's caches, statements and state; collects the
//                                    extension's part of each changeset.
//   DizEvozidizExtensionTransaction  one per transaction that uses the extension: does the work and
//                                    hears of every row change the transaction makes.
//
// Declaring an extension: each of the three classes declares DIZ_EXTENSION_CLASS(Self, Super) first
// in its body (for the extension object it also registers the class operations below; the name of
// the class is what the store records as the extension's "class" value, so it must be unique and
// stay the same across releases, or be listed in the new class's previousClassNames()).
//
// ---- What the store calls, in order, on which queue, with which values ----
//
// Registration (database write queue, then synchronously the registering connection's queue):
//   database: supportsDatabaseWithRegisteredExtensions(registry before this registration)
//   connection, in one read-write transaction:
//     extension.newConnection(connection)            -> extension connection (null: fails)
//     extensionConnection.newReadWriteTransaction(t) -> extension transaction (null: fails)
//     [stored "class" checked; a different class's tables dropped through its class operation]
//     extensionTransaction.createIfNeeded()          false: the transaction rolls back, fails
//     ... the rest of the transaction: flush, commit (below) ...
//   database, after the commit: extension.didRegisterExtension()
//   The extension transaction made here is not prepareIfNeeded()'d.
//
// First use inside a transaction (connection queue): extensionConnection.newReadTransaction(t) or
//   newReadWriteTransaction(t), then extensionTransaction.prepareIfNeeded(); false drops the object
//   (the extension is unavailable in that transaction; a later lookup tries again). A read-write
//   transaction prepares every registered extension before its first write of any kind.
//
// Row hooks (read-write transactions only, connection queue; the write queue is held). Every write
//   of DizEvozidizReadWriteTransaction calls its will-hook before its SQL and its change hook after
//   the SQL succeeded and the connection's caches and change records were updated, before the
//   post-sanitizers; each hook goes to every extension transaction in registration order (A before
//   B for A registered first). Objects and metadata are the live values after the pre-sanitizers
//   (never their bytes); metadata may be nil; the rowid is the row's in "database2".
//     setObject on a new key      handleWillInsertObject(o, ck, m)   handleInsertObject(o, ck, m, rowid)
//     setObject on an existing    handleWillUpdateObject(o, ck, m, rowid) / handleUpdateObject(...)
//     replaceObject               handleWillReplaceObject(o, ck, rowid) / handleReplaceObject(...)
//     replaceMetadata             handleWillReplaceMetadata(m, ck, rowid) / handleReplaceMetadata(...)
//     touchObject/Metadata/Row    handleTouchObject/Metadata/RowForCollectionKey(ck, rowid) (no will)
//     remove one row              handleWillRemoveObjectForCollectionKey(ck, rowid) / handleRemove...
//     removeObjectsForKeys (>= 2 keys) and removeAllObjectsInCollection (with extensions: chunked)
//                                 handleWillRemoveObjectsForKeys(keys, collection, rowids) /
//                                 handleRemoveObjectsForKeys(...): once per chunk, only the keys that
//                                 exist, rowids in the same order
//     removeAllObjectsInAllCollections
//                                 handleWillRemoveAllObjectsInAllCollections() /
//                                 handleRemoveAllObjectsInAllCollections() (after the caches emptied)
//   A single-row write whose SQL fails gets its will-hook only; the batch removals and the remove-all
//   get their change hook in any case (the failed write fails the whole transaction anyway).
//
// Commit of a read-write transaction (connection queue, write queue held):
//   1. passes of flushPendingChangesToMainDatabaseTable() over the extension transactions in
//      registration order; a pass restarts from the first when an extension answers true after
//      the main table was written during the pass and an earlier one of the pass also answered
//      true; passes repeat until one completes (a runaway is stopped and fails the transaction).
//   2. flushPendingChangesToExtensionTables() to each.
//   3. the "diz" memory-table transaction commits.
//   4. extensionConnection.getInternalChangeset(internal, external, hasDiskChanges) on every
//      extension connection of the committing connection; non-nil parts go under "extensions" ->
//      registered name of the commit's changesets; hasDiskChanges makes the commit count as a change.
//   5. SQL COMMIT, then didCommitTransaction() to each extension transaction.
//   6. database snapshot queue: extension.noteCommittedChangeset(changeset, name) for every
//      registered extension object; every other connection, on its own queue, after applying the
//      changeset to its caches: extensionConnection.noteCommittedChangeset(changeset, name). The
//      base forms hand changeset["extensions"][name] to processChangeset() when present.
// Rollback (block asked for it, a write or flush failed, the block threw, COMMIT failed): SQL
//   ROLLBACK, then didRollbackTransaction() to each extension transaction, then the "diz"
//   memory-table transaction rolls back.
//
// A failing write of an extension (its own SQL in a hook or flush) must call
//   databaseTransaction's noteFailedWrite(step) (DizEvozidizReadWriteTransaction): the transaction
//   then rolls back as a whole and readWriteWithBlock reports the failure; hooks return nothing.
//
// Memory: extensionConnection._flushMemoryWithFlags(flags) whenever the connection flushes its own
//   (1 caches, 2 prepared statements, 4 SQLite memory, 8 derived state such as a view's); 9 when
//   the connection finds it missed commits.
//
// Threads: extension connections and transactions are used only on their database connection's
// queue (inside a read-write transaction that queue holds the database's write queue, so hooks never
// run beside another read-write transaction of the database). noteCommittedChangeset of the
// extension object runs on the database's snapshot queue, concurrently with transactions: guard any
// state the extension object shares with its transactions. Nothing here may wait for the snapshot
// queue or the write queue.
//
// Ownership: a connection owns its extension connections (until the name is unregistered: at once
// on the unregistering connection, on others when they apply the changeset); a transaction owns its
// extension transactions for its life. The references the base classes keep back to the database
// connection and transaction are plain pointers, valid for the life of the object that keeps them.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class DizEvozidiz;
class DizEvozidizConnection;
class DizEvozidizReadTransaction;
class DizEvozidizReadWriteTransaction;

// ---------------------------------------------------------------------------------------------
// Class operations: what the store calls on an extension class it knows only by its stored name
// (the "class" value), e.g. to drop the tables of an extension registered in an earlier run.

struct DizEvozidizExtensionClassOperations;
template <class T>
bool DizEvozidizRegisterExtensionClassOperations();

struct DizEvozidizExtensionClassOperations {
  // Drops the extension's tables; wasPersistent tells whether the class value came from "diz2".
  void (*dropTablesForRegisteredName)(const std::string& registeredName, DizEvozidizReadWriteTransaction& transaction,
                                      bool wasPersistent) = nullptr;
  // Names under which earlier releases registered this class (its tables are kept for them).
  std::vector<std::string> (*previousClassNames)() = nullptr;
};

// Records T's class operations (its static dropTablesForRegisteredName and previousClassNames, or the
// nearest inherited ones) under T's class. DIZ_EXTENSION_CLASS does this at static initialisation.
void DizEvozidizRecordExtensionClassOperations(const platform::Class& cls,
                                               DizEvozidizExtensionClassOperations operations);
// The operations of the class, or of its nearest ancestor that recorded some.
DizEvozidizExtensionClassOperations DizEvozidizExtensionClassOperationsFor(const platform::Class& cls);

#define DIZ_EXTENSION_CLASS(Self, Super)                            \
  ZORVEL_CLASS(Self, Super)                                         \
  static inline const bool dizExtensionClassOperationsRegistered_ = \
      ::DizEvozidizRegisterExtensionClassOperations<Self>();

// ---------------------------------------------------------------------------------------------

class DizEvozidizExtension : public platform::Object {
  DIZ_EXTENSION_CLASS(DizEvozidizExtension, platform::Object)

 public:
  ~DizEvozidizExtension() override;

  // ---- Registration state (any thread) ----
  // The name it is registered under; empty while it is not registered (names are never empty).
  std::string registeredName() const;
  void setRegisteredName(std::string name);
  // The database it is registered in, held weakly; null while not registered.
  std::shared_ptr<DizEvozidiz> registeredDatabase() const;
  void setRegisteredDatabase(const std::shared_ptr<DizEvozidiz>& database);

  // ---- Class operations (static; subclasses hide them with their own) ----
  static void dropTablesForRegisteredName(const std::string& registeredName,
                                          DizEvozidizReadWriteTransaction& transaction, bool wasPersistent);
  static std::vector<std::string> previousClassNames();

  // ---- Called by the store (see the banner) ----
  // Database write queue, before registration: the registry as it is now. Base: true.
  virtual bool supportsDatabaseWithRegisteredExtensions(const DizEvozidizExtensionsByName& registeredExtensions);
  // Database write queue, once, after the registration committed. Base: nothing.
  virtual void didRegisterExtension();
  // Read once when the registration is recorded; unregistering any of them unregisters this one.
  virtual std::set<std::string> dependencies() const;
  // Persistent extensions keep their "class" value in "diz2", others in the "diz" memory table.
  // Base: true.
  virtual bool isPersistent() const;
  // The connection's queue, the first time the connection needs this extension. Base: null.
  virtual DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection);
  // Snapshot queue: every committed changeset of any connection. Base: hands
  // changeset["extensions"][registeredName] to processChangeset when present.
  virtual void noteCommittedChangeset(const platform::Value& changeset, const std::string& registeredName);
  virtual void processChangeset(const platform::Value& extensionChangeset);

 protected:
  DizEvozidizExtension() = default;

 private:
  mutable std::mutex mutex_;
  std::string registeredName_;
  std::weak_ptr<DizEvozidiz> registeredDatabase_;
};

// ---------------------------------------------------------------------------------------------

class DizEvozidizExtensionConnection : public platform::Object {
  DIZ_EXTENSION_CLASS(DizEvozidizExtensionConnection, platform::Object)

 public:
  ~DizEvozidizExtensionConnection() override;

  const DizEvozidizExtensionPtr& extension() const { return extension_; }
  // The database connection that owns this object.
  DizEvozidizConnection* databaseConnection() const { return databaseConnection_; }

  // ---- Called by the store on the connection's queue (see the banner) ----
  // Base: null (the extension is unavailable in such transactions).
  virtual DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction);
  virtual DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction);
  // Flags of DizEvozidizConnection::flushMemoryWithFlags. Base: nothing.
  virtual void _flushMemoryWithFlags(unsigned flags);
  // At the commit of a read-write transaction of this connection. Base: nil, nil, false.
  virtual void getInternalChangeset(platform::Value& internal, platform::Value& external, bool& hasDiskChanges);
  // When this connection applies another connection's commit, after its own caches. Base: as the
  // extension object's.
  virtual void noteCommittedChangeset(const platform::Value& changeset, const std::string& registeredName);
  virtual void processChangeset(const platform::Value& extensionChangeset);

 protected:
  DizEvozidizExtensionConnection(DizEvozidizExtensionPtr extension, DizEvozidizConnection* connection);

 private:
  const DizEvozidizExtensionPtr extension_;
  DizEvozidizConnection* const databaseConnection_;
};

// ---------------------------------------------------------------------------------------------

class DizEvozidizExtensionTransaction : public platform::Object {
  DIZ_EXTENSION_CLASS(DizEvozidizExtensionTransaction, platform::Object)

 public:
  ~DizEvozidizExtensionTransaction() override;

  // The transaction that owns this object (a DizEvozidizReadWriteTransaction when
  // isReadWriteTransaction()).
  DizEvozidizReadTransaction* databaseTransaction() const { return databaseTransaction_; }
  DizEvozidizReadWriteTransaction* databaseReadWriteTransaction() const;
  const DizEvozidizExtensionConnectionPtr& extensionConnection() const { return extensionConnection_; }
  // The extension's registered name (empty once it has been unregistered).
  std::string registeredName() const;

  // ---- Lifecycle (connection queue; see the banner). Bases: false / nothing ----
  [[nodiscard]] virtual bool createIfNeeded();
  [[nodiscard]] virtual bool prepareIfNeeded();
  // True when this call wrote to the main table.
  virtual bool flushPendingChangesToMainDatabaseTable();
  virtual void flushPendingChangesToExtensionTables();
  virtual void didCommitTransaction();
  virtual void didRollbackTransaction();

  // ---- Row hooks (read-write transactions; connection queue). Bases: nothing ----
  virtual void handleWillInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                      const platform::Value& metadata);
  virtual void handleInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                  const platform::Value& metadata, std::int64_t rowid);
  virtual void handleWillUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                      const platform::Value& metadata, std::int64_t rowid);
  virtual void handleUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                  const platform::Value& metadata, std::int64_t rowid);
  virtual void handleWillReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                       std::int64_t rowid);
  virtual void handleReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                                   std::int64_t rowid);
  virtual void handleWillReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                                         std::int64_t rowid);
  virtual void handleReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                                     std::int64_t rowid);
  virtual void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  virtual void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  virtual void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  virtual void handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  virtual void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid);
  virtual void handleWillRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                              const std::vector<std::int64_t>& rowids);
  virtual void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                          const std::vector<std::int64_t>& rowids);
  virtual void handleWillRemoveAllObjectsInAllCollections();
  virtual void handleRemoveAllObjectsInAllCollections();

  // ---- Typed values of this extension ----
  // persistent: rows of "diz2" (extension = the registered name); otherwise the "diz" memory table
  // under DizCollectionKey(registered name, key), seen by other connections at their snapshots.
  // Getters work in any transaction; a get* returns whether the value exists and writes the value
  // (0 / false when absent) through a non-null pointer. Setters and the removal act only in a
  // read-write transaction and do nothing in a read transaction.
  bool getBoolValue(bool* value, std::string_view key, bool persistent);
  bool boolValueForExtensionKey(std::string_view key, bool persistent);
  void setBoolValue(bool value, std::string_view key, bool persistent);
  bool getIntValue(std::int32_t* value, std::string_view key, bool persistent);
  std::int32_t intValueForExtensionKey(std::string_view key, bool persistent);
  void setIntValue(std::int32_t value, std::string_view key, bool persistent);
  bool getDoubleValue(double* value, std::string_view key, bool persistent);
  double doubleValueForExtensionKey(std::string_view key, bool persistent);
  void setDoubleValue(double value, std::string_view key, bool persistent);
  // Not persistent: a stored number reads as its decimal text; any other kind as nothing.
  std::optional<std::string> stringValueForExtensionKey(std::string_view key, bool persistent);
  void setStringValue(std::string_view value, std::string_view key, bool persistent);
  std::optional<platform::Bytes> dataValueForExtensionKey(std::string_view key, bool persistent);
  void setDataValue(const platform::Bytes& value, std::string_view key, bool persistent);
  void removeValueForExtensionKey(std::string_view key, bool persistent);

 protected:
  DizEvozidizExtensionTransaction(DizEvozidizExtensionConnectionPtr extensionConnection,
                                  DizEvozidizReadTransaction* databaseTransaction);

 private:
  platform::Value memoryValue(std::string_view key);
  void setMemoryValue(const platform::Value& value, std::string_view key);

  const DizEvozidizExtensionConnectionPtr extensionConnection_;
  DizEvozidizReadTransaction* const databaseTransaction_;
};

// ---------------------------------------------------------------------------------------------

template <class T>
bool DizEvozidizRegisterExtensionClassOperations() {
  if constexpr (std::is_base_of_v<DizEvozidizExtension, T>) {
    DizEvozidizExtensionClassOperations operations;
    operations.dropTablesForRegisteredName = &T::dropTablesForRegisteredName;
    operations.previousClassNames = &T::previousClassNames;
    DizEvozidizRecordExtensionClassOperations(T::staticClass(), operations);
  }
  return true;
}
