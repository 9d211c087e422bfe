#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizExtensionInternal.h is internal to the store and its extensions"
#endif

// The store core's side of the extension framework: what a connection and a transaction keep about
// extensions and memory tables, and the steps the core's transaction, commit and changeset code
// call at their placed points. Internal: everything here runs on the connection's queue (or on
// the write queue for it), except where a comment names the snapshot queue.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizEvozidizExtensionTypes.h"
#include "platform/runtime/value.h"

struct sqlite3;
class DizEvozidizConnectionInternal;
class DizEvozidizReadTransaction;
class DizEvozidizReadWriteTransaction;
class DizMemoryTableTransaction;

// Name of the core's own memory table (non-persistent extension values, keyed by
// DizCollectionKey(registered name, key)).
inline constexpr std::string_view kDizMemoryTableName = "diz";
// The name of the connection that registrations use when the caller names none.
inline constexpr std::string_view kDizRegistrationConnectionName = "DizEvozidiz_extensionRegistrationConnection";

// What SQL has written on a handle so far: the rows its statements changed and the schema's
// version (tables and indexes made or dropped). Equal marks: nothing was written in between.
struct DizSqlWriteMark {
  std::int64_t changedRows = 0;
  std::int64_t schemaVersion = -1;  // -1: could not be read
  bool operator==(const DizSqlWriteMark&) const = default;
};

// A connection's view of the registries and its extension connections.
struct DizConnectionExtensionState {
  DizEvozidizRegistriesPtr registries;  // never null
  // The registries when the running read-write transaction began, restored when it rolls back.
  DizEvozidizRegistriesPtr registriesAtBegin;
  // Registered name -> extension connection, made on first need.
  std::map<std::string, DizEvozidizExtensionConnectionPtr, std::less<>> connections;
  bool connectionsReady = true;  // one extension connection per registered extension
  bool registeredExtensionsChanged = false;
  bool registeredMemoryTablesChanged = false;
  // What SQL had written on the handle when a registration began its work (kept until the
  // read-write transaction ends), to tell at the commit whether the registration wrote anything.
  std::optional<DizSqlWriteMark> registrationStart;
};

// A transaction's extension transactions and memory-table transactions.
struct DizTransactionExtensionState {
  std::map<std::string, DizEvozidizExtensionTransactionPtr, std::less<>> byName;
  std::vector<DizEvozidizExtensionTransactionPtr> ordered;  // registration order
  bool ready = false;                                       // prepareExtensions has run
  bool dizLookedUp = false;
  std::shared_ptr<DizMemoryTableTransaction> diz;
  // Every read-write memory-table transaction handed out, to learn at commit whether any changed.
  std::vector<std::shared_ptr<DizMemoryTableTransaction>> readWriteMemoryTransactions;
};

// Steps of the core (DizEvozidizConnectionExtensions.cpp).
namespace diz_detail {

// ---- Registries and changesets ----
// The registries as a changeset carries them (only the parts that changed).
void putRegistries(platform::ValueDictionary& changeset, const DizEvozidizRegistries& registries, bool extensions,
                   bool memoryTables);
// New registries from a changeset's entries on top of `current`; null when it carries none.
DizEvozidizRegistriesPtr registriesFromChangeset(const platform::Value& changeset,
                                                 const DizEvozidizRegistriesPtr& current);
// The connection's extension connections, one per registered extension (the missing ones made).
const std::map<std::string, DizEvozidizExtensionConnectionPtr, std::less<>>& extensionConnections(
    DizEvozidizConnectionInternal& connection);
// Adopts registries on a connection (dropping extension connections whose extension went).
void adoptRegistries(DizEvozidizConnectionInternal& connection, DizEvozidizRegistriesPtr registries);
// Adopts the database's registries (a connection that jumped over commits without their changesets).
void adoptDatabaseRegistries(DizEvozidizConnectionInternal& connection);

// ---- Commit (committing connection) ----
// Adds the extension connections' parts and the changed registries to the changesets being built.
void addToChangesets(DizEvozidizConnectionInternal& connection, platform::ValueDictionary& internal,
                     platform::ValueDictionary& external, bool& haveInternal, bool& haveExternal);
// The handle's mark now.
DizSqlWriteMark sqlWriteMark(sqlite3* db);
// True when the transaction about to commit is a registration that wrote nothing (no SQL since it
// began), and its changesets hold the registries and nothing else: such a commit publishes them
// without a commit number of its own (see DizEvozidizConnectionInternal::publishRegistriesWithoutCommit).
bool changedOnlyRegistries(const DizEvozidizConnectionInternal& connection, const platform::Value& internal,
                           const platform::Value& external);
// Drops the stored tables of extensions registered in an earlier run but not in this one (the
// first read-write transaction that does not register or unregister does it). True when it ran.
bool dropOrphanedExtensions(DizEvozidizConnectionInternal& connection, DizEvozidizReadWriteTransaction& transaction);
// After a rollback: the registries as they were at the transaction's begin.
void restoreRegistries(DizEvozidizConnectionInternal& connection);
// At the start and end of every read-write transaction.
void beginReadWriteTransaction(DizEvozidizConnectionInternal& connection);
void endReadWriteTransaction(DizEvozidizConnectionInternal& connection);

// ---- Receiving (other connections) ----
void noteCommittedChangeset(DizEvozidizConnectionInternal& connection, const platform::Value& changeset);

// ---- Memory ----
void flushMemory(DizEvozidizConnectionInternal& connection, unsigned flags);
// Clean-up of every registered memory table for the oldest snapshot in use.
void checkpointMemoryTables(DizEvozidizConnectionInternal& connection, std::uint64_t oldestSnapshotInUse);

// ---- Registration steps (inside the registering read-write transaction) ----
// Drops one extension's storage and registration; the class value tells which class dropped it.
void unregisterExtension(DizEvozidizConnectionInternal& connection, const std::string& name,
                         DizEvozidizReadWriteTransaction& transaction);

}  // namespace diz_detail
