// The connection's side of the extension framework: its copy of the registries, its extension
// connections, registering and unregistering an extension in one read-write transaction, the
// memory-table registry, and the extension steps of commit, changesets and memory flushes.

#include <algorithm>
#include <iterator>
#include <utility>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizMemoryTable.h"

using platform::Value;
using platform::ValueDictionary;

namespace diz_detail {

// ---------------------------------------------------------------------------------------------
// Registries and changesets

void putRegistries(ValueDictionary& changeset, const DizEvozidizRegistries& registries, bool extensions,
                   bool memoryTables) {
  if (extensions) {
    ValueDictionary byName;
    for (const auto& [name, extension] : registries.extensions) byName.set(name, Value(extension));
    platform::ValueArray order(registries.extensionsOrder.begin(), registries.extensionsOrder.end());
    ValueDictionary dependencies;
    for (const auto& [name, names] : registries.extensionDependencies) {
      platform::ValueSet set;
      for (const std::string& dependency : names) set.insert(Value(dependency));
      dependencies.set(name, Value(std::move(set)));
    }
    changeset.set("registeredExtensions", Value(std::move(byName)));
    changeset.set("extensionsOrder", Value(std::move(order)));
    changeset.set("extensionDependencies", Value(std::move(dependencies)));
  }
  if (memoryTables) {
    ValueDictionary tables;
    for (const auto& [name, table] : registries.memoryTables) tables.set(name, Value(table));
    changeset.set("registeredMemoryTables", Value(std::move(tables)));
  }
}

DizEvozidizRegistriesPtr registriesFromChangeset(const Value& changeset, const DizEvozidizRegistriesPtr& current) {
  const Value& extensions = changeset["registeredExtensions"];
  const Value& tables = changeset["registeredMemoryTables"];
  if (!extensions.isDictionary() && !tables.isDictionary()) return nullptr;
  auto made = std::make_shared<DizEvozidizRegistries>(current ? *current : DizEvozidizRegistries());
  if (extensions.isDictionary()) {
    made->extensions.clear();
    for (const auto& [name, extension] : extensions.asDictionary())
      if (auto object = extension.as<DizEvozidizExtension>()) made->extensions.emplace(name, std::move(object));
    made->extensionsOrder.clear();
    for (const Value& name : changeset["extensionsOrder"].asArray()) made->extensionsOrder.push_back(name.asString());
    made->extensionDependencies.clear();
    for (const auto& [name, names] : changeset["extensionDependencies"].asDictionary()) {
      std::set<std::string>& set = made->extensionDependencies[name];
      for (const Value& dependency : names.asSet()) set.insert(dependency.asString());
    }
  }
  if (tables.isDictionary()) {
    made->memoryTables.clear();
    for (const auto& [name, table] : tables.asDictionary())
      if (auto object = table.as<DizMemoryTable>()) made->memoryTables.emplace(name, std::move(object));
  }
  return made;
}

void adoptRegistries(DizEvozidizConnectionInternal& connection, DizEvozidizRegistriesPtr registries) {
  auto& state = *connection.extensionState;
  state.registries = std::move(registries);
  // An extension connection stays only while its very extension object is registered under its name
  // (a name registered again with another object gets a new one).
  std::erase_if(state.connections, [&](const auto& entry) {
    auto it = state.registries->extensions.find(entry.first);
    return it == state.registries->extensions.end() || !entry.second || entry.second->extension() != it->second;
  });
  state.connectionsReady = state.connections.size() == state.registries->extensions.size();
}

const std::map<std::string, DizEvozidizExtensionConnectionPtr, std::less<>>& extensionConnections(
    DizEvozidizConnectionInternal& connection) {
  auto& state = *connection.extensionState;
  if (!state.connectionsReady) {
    for (const auto& [name, extension] : state.registries->extensions) {
      if (state.connections.contains(name)) continue;
      if (auto made = extension->newConnection(connection)) state.connections.emplace(name, std::move(made));
    }
    state.connectionsReady = true;
  }
  return state.connections;
}

void adoptDatabaseRegistries(DizEvozidizConnectionInternal& connection) {
  DizEvozidizRegistriesPtr registries;
  auto& database = DizInternal(*connection.database());
  if (database.isOnSnapshotQueue())
    registries = database.registriesOnSnapshotQueue();
  else
    database.snapshotQueue()->sync([&] { registries = database.registriesOnSnapshotQueue(); });
  if (registries != connection.extensionState->registries) adoptRegistries(connection, std::move(registries));
}

// ---------------------------------------------------------------------------------------------
// Commit (committing connection)

void addToChangesets(DizEvozidizConnectionInternal& connection, ValueDictionary& internal, ValueDictionary& external,
                     bool& haveInternal, bool& haveExternal) {
  auto& state = *connection.extensionState;
  ValueDictionary internalParts;
  ValueDictionary externalParts;
  for (const auto& [name, extensionConnection] : state.connections) {
    Value in;
    Value ex;
    bool diskChanges = false;
    extensionConnection->getInternalChangeset(in, ex, diskChanges);
    if (in) internalParts.set(name, std::move(in));
    if (ex) externalParts.set(name, std::move(ex));
    if (diskChanges) connection.hasDiskChanges = true;
  }
  if (!internalParts.empty()) {
    internal.set("extensions", Value(std::move(internalParts)));
    haveInternal = true;
  }
  if (!externalParts.empty()) {
    external.set("extensions", Value(std::move(externalParts)));
    haveExternal = true;
  }
  if (state.registeredExtensionsChanged || state.registeredMemoryTablesChanged) {
    putRegistries(internal, *state.registries, state.registeredExtensionsChanged, state.registeredMemoryTablesChanged);
    haveInternal = true;
  }
}

DizSqlWriteMark sqlWriteMark(sqlite3* db) {
  DizSqlWriteMark mark;
  mark.changedRows = sqlite3_total_changes64(db);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA schema_version;", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW)
    mark.schemaVersion = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return mark;
}

bool changedOnlyRegistries(const DizEvozidizConnectionInternal& connection, const Value& internal,
                           const Value& external) {
  const auto& state = *connection.extensionState;
  if (!state.registrationStart || state.registrationStart->schemaVersion < 0 || external || !internal.isDictionary())
    return false;
  static constexpr std::string_view kRegistryKeys[] = {"registeredExtensions", "extensionsOrder",
                                                       "extensionDependencies", "registeredMemoryTables"};
  for (const auto& [key, value] : internal.asDictionary())
    if (std::find(std::begin(kRegistryKeys), std::end(kRegistryKeys), key) == std::end(kRegistryKeys)) return false;
  // Whatever the registration and the flushes before the commit wrote, reported or not.
  return sqlWriteMark(connection.db) == *state.registrationStart;
}

bool dropOrphanedExtensions(DizEvozidizConnectionInternal& connection, DizEvozidizReadWriteTransaction& transaction) {
  auto& state = *connection.extensionState;
  if (state.registeredExtensionsChanged) return false;
  auto& database = DizInternal(*connection.database());
  if (!database.hasPreviouslyRegisteredExtensionNames()) return false;
  for (const std::string& name : database.previouslyRegisteredExtensionNames()) {
    if (!state.registries->extensions.contains(name)) unregisterExtension(connection, name, transaction);
  }
  return true;
}

void beginReadWriteTransaction(DizEvozidizConnectionInternal& connection) {
  auto& state = *connection.extensionState;
  state.registriesAtBegin = state.registries;
}

void restoreRegistries(DizEvozidizConnectionInternal& connection) {
  auto& state = *connection.extensionState;
  if (state.registriesAtBegin && state.registriesAtBegin != state.registries)
    adoptRegistries(connection, state.registriesAtBegin);
}

void endReadWriteTransaction(DizEvozidizConnectionInternal& connection) {
  auto& state = *connection.extensionState;
  state.registriesAtBegin.reset();
  state.registeredExtensionsChanged = false;
  state.registeredMemoryTablesChanged = false;
  state.registrationStart.reset();
}

// ---------------------------------------------------------------------------------------------
// Receiving, memory

void noteCommittedChangeset(DizEvozidizConnectionInternal& connection, const Value& changeset) {
  // A copy: an extension connection may look up others while it runs.
  const auto connections = connection.extensionState->connections;
  for (const auto& [name, extensionConnection] : connections)
    extensionConnection->noteCommittedChangeset(changeset, name);
}

void flushMemory(DizEvozidizConnectionInternal& connection, unsigned flags) {
  if (!connection.extensionState) return;
  for (const auto& [name, extensionConnection] : connection.extensionState->connections)
    extensionConnection->_flushMemoryWithFlags(flags);
}

void checkpointMemoryTables(DizEvozidizConnectionInternal& connection, std::uint64_t oldestSnapshotInUse) {
  for (const auto& [name, table] : connection.extensionState->registries->memoryTables)
    table->asyncCheckpoint(oldestSnapshotInUse);
}

// ---------------------------------------------------------------------------------------------
// Registration steps

namespace {

DizEvozidizRegistries copyOf(const DizEvozidizConnectionInternal& connection) {
  return *connection.extensionState->registries;
}

void replaceRegistries(DizEvozidizConnectionInternal& connection, DizEvozidizRegistries registries) {
  adoptRegistries(connection, std::make_shared<const DizEvozidizRegistries>(std::move(registries)));
}

Value classValueKey(const std::string& name) { return Value(DizCollectionKey::make(name, "class")); }

// Before createIfNeeded: makes sure the "diz" memory table exists, and tells whether the "class"
// value must be written; the tables of a different class stored under the name are dropped.
bool willRegisterExtension(DizEvozidizConnectionInternal& connection, const DizEvozidizExtensionPtr& extension,
                           const std::string& name, DizEvozidizReadWriteTransaction& transaction) {
  if (!connection.extensionState->registries->memoryTables.contains(kDizMemoryTableName))
    (void)connection.registerMemoryTable(DizMemoryTable::make("DizCollectionKey"),
                                         kDizMemoryTableName);  // the name was just found free
  if (!extension->isPersistent()) return true;

  const std::optional<std::string> stored = transaction.stringValueForKey("class", name);
  if (!stored) return true;
  const std::string& className = extension->objectClass().name();
  if (*stored == className) return false;
  const auto previous = DizEvozidizExtensionClassOperationsFor(extension->objectClass()).previousClassNames();
  if (std::find(previous.begin(), previous.end(), *stored) != previous.end()) return true;

  DIZ_CONN_LOG_WARN(
      "%@: Dropping tables for previously registered extension with name(%@), class(%@) for new class(%@)", name,
      *stored, className);
  const platform::Class* storedClass = platform::Class::named(*stored);
  if (!storedClass) {
    DIZ_CONN_LOG_ERROR("%@: Unable to drop tables for previously registered extension with name(%@), unknown class(%@)",
                       name, *stored);
  } else if (!storedClass->isSubclassOf(DizEvozidizExtension::staticClass())) {
    DIZ_CONN_LOG_ERROR("%@: Unable to drop tables for previously registered extension with name(%@), invalid class(%@)",
                       name, *stored);
  } else {
    DizEvozidizExtensionClassOperationsFor(*storedClass).dropTablesForRegisteredName(name, transaction, true);
    transaction.removeAllValuesForExtension(name);
  }
  return true;
}

// After createIfNeeded answered true: the class value, and the extension in the registries.
void didRegisterExtension(DizEvozidizConnectionInternal& connection, const DizEvozidizExtensionPtr& extension,
                          const std::string& name, DizEvozidizReadWriteTransaction& transaction, bool needsClassValue) {
  const std::string& className = extension->objectClass().name();
  if (needsClassValue) {
    if (extension->isPersistent()) {
      transaction.setStringValue(className, "class", name);
    } else if (auto table = transaction.dizMemoryTableTransaction()) {
      table->setObject(Value(className), classValueKey(name));
    }
  }
  DizEvozidizRegistries registries = copyOf(connection);
  registries.extensions[name] = extension;
  std::erase(registries.extensionsOrder, name);
  registries.extensionsOrder.push_back(name);
  registries.extensionDependencies[name] = extension->dependencies();
  replaceRegistries(connection, std::move(registries));
  connection.extensionState->registeredExtensionsChanged = true;
}

void didUnregisterExtensionWithName(DizEvozidizConnectionInternal& connection, const std::string& name) {
  if (!connection.extensionState->registries->extensions.contains(name)) return;
  DizEvozidizRegistries registries = copyOf(connection);
  registries.extensions.erase(name);
  std::erase(registries.extensionsOrder, name);
  registries.extensionDependencies.erase(name);
  replaceRegistries(connection, std::move(registries));
  connection.extensionState->registeredExtensionsChanged = true;
}

}  // namespace

void unregisterExtension(DizEvozidizConnectionInternal& connection, const std::string& name,
                         DizEvozidizReadWriteTransaction& transaction) {
  // The class value: the memory table first (non-persistent extensions), then "diz2".
  std::optional<std::string> className;
  bool wasPersistent = false;
  auto table = transaction.dizMemoryTableTransaction();
  if (table) {
    const Value stored = table->objectForKey(classValueKey(name));
    if (stored.isString()) className = stored.asString();
  }
  if (!className) {
    className = transaction.stringValueForKey("class", name);
    wasPersistent = className.has_value();
  }
  if (!className) {
    DIZ_CONN_LOG_WARN("%@: Unable to unregister extension(%@). Doesn't appear to be registered.", name);
    return;
  }
  const platform::Class* cls = platform::Class::named(*className);
  if (!cls || !cls->superclass()) {
    DIZ_CONN_LOG_ERROR("%@: Unable to unregister extension(%@) with unknown class(%@)", name, *className);
    return;
  }
  if (!cls->isSubclassOf(DizEvozidizExtension::staticClass())) {
    DIZ_CONN_LOG_ERROR("%@: Unable to unregister extension(%@) with improper class(%@)", name, *className);
    return;
  }
  DizEvozidizExtensionClassOperationsFor(*cls).dropTablesForRegisteredName(name, transaction, wasPersistent);
  if (wasPersistent) {
    transaction.removeAllValuesForExtension(name);
  } else if (table) {
    std::vector<Value> keys;
    table->enumerateKeysWithBlock([&](const Value& key, bool&) {
      auto collectionKey = key.as<DizCollectionKey>();
      if (collectionKey && collectionKey->collection() == name) keys.push_back(key);
    });
    table->removeObjectsForKeys(keys);
  }
  didUnregisterExtensionWithName(connection, name);
  connection.extensionState->connections.erase(name);
  transaction.removeRegisteredExtensionTransactionWithName(name);
}

}  // namespace diz_detail

// ---------------------------------------------------------------------------------------------
// Public members of the connection

DizEvozidizExtensionConnectionPtr DizEvozidizConnectionInternal::extension(std::string_view name) {
  return onQueueSync([&]() -> DizEvozidizExtensionConnectionPtr {
    auto& state = *extensionState;
    if (auto it = state.connections.find(name); it != state.connections.end()) return it->second;
    if (state.connectionsReady) return nullptr;
    auto registered = state.registries->extensions.find(name);
    if (registered == state.registries->extensions.end()) return nullptr;
    DizEvozidizExtensionConnectionPtr made = registered->second->newConnection(*this);
    if (made) state.connections.emplace(std::string(name), made);
    return made;
  });
}

DizEvozidizExtensionsByName DizEvozidizConnectionInternal::registeredExtensions() const {
  return onQueueSync([&] { return extensionState->registries->extensions; });
}

DizMemoryTablesByName DizEvozidizConnectionInternal::registeredMemoryTables() const {
  return onQueueSync([&] { return extensionState->registries->memoryTables; });
}

bool DizEvozidizConnectionInternal::registerMemoryTable(const std::shared_ptr<DizMemoryTable>& table,
                                                        std::string_view name) {
  if (!table) return false;
  auto& state = *extensionState;
  if (state.registries->memoryTables.contains(name)) return false;
  DizEvozidizRegistries registries = *state.registries;
  registries.memoryTables.emplace(std::string(name), table);
  diz_detail::adoptRegistries(*this, std::make_shared<const DizEvozidizRegistries>(std::move(registries)));
  state.registeredMemoryTablesChanged = true;
  return true;
}

void DizEvozidizConnectionInternal::unregisterMemoryTableWithName(std::string_view name) {
  auto& state = *extensionState;
  if (!state.registries->memoryTables.contains(name)) return;
  DizEvozidizRegistries registries = *state.registries;
  registries.memoryTables.erase(registries.memoryTables.find(name));
  diz_detail::adoptRegistries(*this, std::make_shared<const DizEvozidizRegistries>(std::move(registries)));
  state.registeredMemoryTablesChanged = true;
}

bool DizEvozidizConnectionInternal::registerExtension(const DizEvozidizExtensionPtr& extension, const std::string& name,
                                                      platform::ErrorPtr* error) {
  // Only the database's registration may run this transaction in place: anyone else goes through
  // it, so the write queue is held and the checks are made.
  if (!database_->isOnWriteQueue()) return database_->registerExtension(extension, name, self(), error);
  bool created = false;
  platform::ErrorPtr outcome;
  // A registration that met damaged tables of the extension runs once more after they were dropped.
  for (int attempt = 0; attempt < 2; ++attempt) {
    created = false;
    repairedExtensionTables_.clear();
    onQueueSync([&] {
      outcome = runReadWriteTransaction(
          [&](DizEvozidizReadWriteTransaction& transaction) {
            DizEvozidizExtensionConnectionPtr extensionConnection = extension->newConnection(*this);
            DizEvozidizExtensionTransactionPtr extensionTransaction =
                extensionConnection ? extensionConnection->newReadWriteTransaction(transaction) : nullptr;
            if (!extensionTransaction) {
              transaction.rollback();
              return;
            }
            extensionState->registrationStart = diz_detail::sqlWriteMark(db);
            const bool needsClassValue = diz_detail::willRegisterExtension(*this, extension, name, transaction);
            if (!extensionTransaction->createIfNeeded()) {
              transaction.rollback();
              return;
            }
            diz_detail::didRegisterExtension(*this, extension, name, transaction, needsClassValue);
            extensionState->connections[name] = extensionConnection;
            transaction.addRegisteredExtensionTransaction(extensionTransaction, name);
            created = true;
          },
          {}, true);
    });
    if ((created && !outcome) || !repairedExtensionTables_.contains(name)) break;
  }
  if (created && !outcome) return true;
  // createIfNeeded's refusal is the extension's answer, not a failure of the transaction.
  if (created && error) *error = outcome;
  return false;
}

platform::ErrorPtr DizEvozidizConnectionInternal::unregisterExtensionWithName(const std::string& name) {
  if (!database_->isOnWriteQueue()) {
    database_->unregisterExtensionWithName(name, self());
    return nullptr;
  }
  std::vector<DizEvozidizExtensionPtr> removed;
  platform::ErrorPtr outcome;
  onQueueSync([&] {
    outcome = runReadWriteTransaction(
        [&](DizEvozidizReadWriteTransaction& transaction) {
          auto removeOne = [&](const std::string& each) {
            const auto& before = extensionState->registries->extensions;
            auto it = before.find(each);
            DizEvozidizExtensionPtr extension = it == before.end() ? nullptr : it->second;
            diz_detail::unregisterExtension(*this, each, transaction);
            if (extension && !extensionState->registries->extensions.contains(each)) removed.push_back(extension);
          };
          removeOne(name);
          // Dependants, depth first: every extension that depends on a removed one goes too. Each
          // name is visited once, so a dependant that cannot be removed, or dependencies in a
          // loop, still end the walk.
          std::vector<std::string> stack{name};
          std::set<std::string> visited{name};
          while (!stack.empty()) {
            const std::string top = stack.back();
            std::optional<std::string> dependant;
            const auto registries = extensionState->registries;
            for (const std::string& candidate : registries->extensionsOrder) {
              if (visited.contains(candidate)) continue;
              auto dependencies = registries->extensionDependencies.find(candidate);
              if (dependencies != registries->extensionDependencies.end() && dependencies->second.contains(top)) {
                dependant = candidate;
                break;
              }
            }
            if (!dependant) {
              stack.pop_back();
              continue;
            }
            visited.insert(*dependant);
            removeOne(*dependant);
            stack.push_back(*dependant);
          }
        },
        {}, true);
  });
  if (!outcome) {
    for (const auto& extension : removed) {
      extension->setRegisteredName({});
      extension->setRegisteredDatabase(nullptr);
    }
  }
  return outcome;
}
