// The extension base classes: what happens when a subclass overrides nothing, the registry of class
// operations, and the typed per-extension values.

#include "DizEvozidiz/DizEvozidizExtension.h"

#include <mutex>
#include <unordered_map>
#include <utility>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizMemoryTable.h"

using platform::Bytes;
using platform::Value;

// ---------------------------------------------------------------------------------------------
// Class operations

namespace {

struct ClassOperationsTable {
  std::mutex mutex;
  std::unordered_map<const platform::Class*, DizEvozidizExtensionClassOperations> byClass;
};

ClassOperationsTable& classOperationsTable() {
  static ClassOperationsTable* table = new ClassOperationsTable();  // lives until exit
  return *table;
}

}  // namespace

void DizEvozidizRecordExtensionClassOperations(const platform::Class& cls,
                                               DizEvozidizExtensionClassOperations operations) {
  auto& table = classOperationsTable();
  std::lock_guard guard(table.mutex);
  table.byClass[&cls] = operations;
}

DizEvozidizExtensionClassOperations DizEvozidizExtensionClassOperationsFor(const platform::Class& cls) {
  auto& table = classOperationsTable();
  std::lock_guard guard(table.mutex);
  for (const platform::Class* c = &cls; c; c = c->superclass()) {
    auto it = table.byClass.find(c);
    if (it != table.byClass.end()) return it->second;
  }
  DizEvozidizExtensionClassOperations base;
  base.dropTablesForRegisteredName = &DizEvozidizExtension::dropTablesForRegisteredName;
  base.previousClassNames = &DizEvozidizExtension::previousClassNames;
  return base;
}

// ---------------------------------------------------------------------------------------------
// Extension object

DizEvozidizExtension::~DizEvozidizExtension() = default;

std::string DizEvozidizExtension::registeredName() const {
  std::lock_guard guard(mutex_);
  return registeredName_;
}

void DizEvozidizExtension::setRegisteredName(std::string name) {
  std::lock_guard guard(mutex_);
  registeredName_ = std::move(name);
}

std::shared_ptr<DizEvozidiz> DizEvozidizExtension::registeredDatabase() const {
  std::lock_guard guard(mutex_);
  return registeredDatabase_.lock();
}

void DizEvozidizExtension::setRegisteredDatabase(const std::shared_ptr<DizEvozidiz>& database) {
  std::lock_guard guard(mutex_);
  registeredDatabase_ = database;
}

void DizEvozidizExtension::dropTablesForRegisteredName(const std::string&, DizEvozidizReadWriteTransaction&, bool) {}

std::vector<std::string> DizEvozidizExtension::previousClassNames() { return {}; }

bool DizEvozidizExtension::supportsDatabaseWithRegisteredExtensions(const DizEvozidizExtensionsByName&) { return true; }

void DizEvozidizExtension::didRegisterExtension() {}

std::set<std::string> DizEvozidizExtension::dependencies() const { return {}; }

bool DizEvozidizExtension::isPersistent() const { return true; }

DizEvozidizExtensionConnectionPtr DizEvozidizExtension::newConnection(DizEvozidizConnection&) { return nullptr; }

namespace {

// The extension's own part of a changeset, or nil.
const Value& extensionPart(const Value& changeset, const std::string& registeredName) {
  return changeset["extensions"][registeredName];
}

}  // namespace

void DizEvozidizExtension::noteCommittedChangeset(const Value& changeset, const std::string& registeredName) {
  const Value& part = extensionPart(changeset, registeredName);
  if (part) processChangeset(part);
}

void DizEvozidizExtension::processChangeset(const Value&) {}

// ---------------------------------------------------------------------------------------------
// Extension connection

DizEvozidizExtensionConnection::DizEvozidizExtensionConnection(DizEvozidizExtensionPtr extension,
                                                               DizEvozidizConnection* connection)
    : extension_(std::move(extension)), databaseConnection_(connection) {}

DizEvozidizExtensionConnection::~DizEvozidizExtensionConnection() = default;

DizEvozidizExtensionTransactionPtr DizEvozidizExtensionConnection::newReadTransaction(DizEvozidizReadTransaction&) {
  return nullptr;
}

DizEvozidizExtensionTransactionPtr DizEvozidizExtensionConnection::newReadWriteTransaction(
    DizEvozidizReadWriteTransaction&) {
  return nullptr;
}

void DizEvozidizExtensionConnection::_flushMemoryWithFlags(unsigned) {}

void DizEvozidizExtensionConnection::getInternalChangeset(Value& internal, Value& external, bool& hasDiskChanges) {
  internal = Value();
  external = Value();
  hasDiskChanges = false;
}

void DizEvozidizExtensionConnection::noteCommittedChangeset(const Value& changeset, const std::string& registeredName) {
  const Value& part = extensionPart(changeset, registeredName);
  if (part) processChangeset(part);
}

void DizEvozidizExtensionConnection::processChangeset(const Value&) {}

// ---------------------------------------------------------------------------------------------
// Extension transaction: lifecycle and hooks

DizEvozidizExtensionTransaction::DizEvozidizExtensionTransaction(DizEvozidizExtensionConnectionPtr extensionConnection,
                                                                 DizEvozidizReadTransaction* databaseTransaction)
    : extensionConnection_(std::move(extensionConnection)), databaseTransaction_(databaseTransaction) {}

DizEvozidizExtensionTransaction::~DizEvozidizExtensionTransaction() = default;

DizEvozidizReadWriteTransaction* DizEvozidizExtensionTransaction::databaseReadWriteTransaction() const {
  if (!databaseTransaction_ || !databaseTransaction_->isReadWriteTransaction()) return nullptr;
  return static_cast<DizEvozidizReadWriteTransaction*>(databaseTransaction_);
}

std::string DizEvozidizExtensionTransaction::registeredName() const {
  if (!extensionConnection_ || !extensionConnection_->extension()) return {};
  return extensionConnection_->extension()->registeredName();
}

bool DizEvozidizExtensionTransaction::createIfNeeded() { return false; }
bool DizEvozidizExtensionTransaction::prepareIfNeeded() { return false; }
bool DizEvozidizExtensionTransaction::flushPendingChangesToMainDatabaseTable() { return false; }
void DizEvozidizExtensionTransaction::flushPendingChangesToExtensionTables() {}
void DizEvozidizExtensionTransaction::didCommitTransaction() {}
void DizEvozidizExtensionTransaction::didRollbackTransaction() {}

void DizEvozidizExtensionTransaction::handleWillInsertObject(const Value&, const DizCollectionKeyPtr&, const Value&) {}
void DizEvozidizExtensionTransaction::handleInsertObject(const Value&, const DizCollectionKeyPtr&, const Value&,
                                                         std::int64_t) {}
void DizEvozidizExtensionTransaction::handleWillUpdateObject(const Value&, const DizCollectionKeyPtr&, const Value&,
                                                             std::int64_t) {}
void DizEvozidizExtensionTransaction::handleUpdateObject(const Value&, const DizCollectionKeyPtr&, const Value&,
                                                         std::int64_t) {}
void DizEvozidizExtensionTransaction::handleWillReplaceObject(const Value&, const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleReplaceObject(const Value&, const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleWillReplaceMetadata(const Value&, const DizCollectionKeyPtr&,
                                                                std::int64_t) {}
void DizEvozidizExtensionTransaction::handleReplaceMetadata(const Value&, const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleTouchObjectForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleTouchRowForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) {
}
void DizEvozidizExtensionTransaction::handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr&, std::int64_t) {}
void DizEvozidizExtensionTransaction::handleWillRemoveObjectsForKeys(const std::vector<std::string>&,
                                                                     const std::string&,
                                                                     const std::vector<std::int64_t>&) {}
void DizEvozidizExtensionTransaction::handleRemoveObjectsForKeys(const std::vector<std::string>&, const std::string&,
                                                                 const std::vector<std::int64_t>&) {}
void DizEvozidizExtensionTransaction::handleWillRemoveAllObjectsInAllCollections() {}
void DizEvozidizExtensionTransaction::handleRemoveAllObjectsInAllCollections() {}

// ---------------------------------------------------------------------------------------------
// Extension transaction: typed values

Value DizEvozidizExtensionTransaction::memoryValue(std::string_view key) {
  if (!databaseTransaction_) return {};
  auto table = databaseTransaction_->dizMemoryTableTransaction();
  if (!table) return {};
  return table->objectForKey(Value(DizCollectionKey::make(registeredName(), key)));
}

void DizEvozidizExtensionTransaction::setMemoryValue(const Value& value, std::string_view key) {
  if (!databaseReadWriteTransaction()) return;
  auto table = databaseTransaction_->dizMemoryTableTransaction();
  if (!table) return;
  table->setObject(value, Value(DizCollectionKey::make(registeredName(), key)));
}

bool DizEvozidizExtensionTransaction::getBoolValue(bool* value, std::string_view key, bool persistent) {
  if (persistent) {
    if (databaseTransaction_) return databaseTransaction_->getBoolValue(value, key, registeredName());
    if (value) *value = false;
    return false;
  }
  const Value stored = memoryValue(key);
  if (value) *value = stored.isNumber() ? stored.asBool() : false;
  return stored.isNumber();
}

bool DizEvozidizExtensionTransaction::boolValueForExtensionKey(std::string_view key, bool persistent) {
  bool value = false;
  getBoolValue(&value, key, persistent);
  return value;
}

void DizEvozidizExtensionTransaction::setBoolValue(bool value, std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->setBoolValue(value, key, registeredName());
    else
      setMemoryValue(Value(value), key);
  }
}

bool DizEvozidizExtensionTransaction::getIntValue(std::int32_t* value, std::string_view key, bool persistent) {
  if (persistent) {
    if (databaseTransaction_) return databaseTransaction_->getIntValue(value, key, registeredName());
    if (value) *value = 0;
    return false;
  }
  const Value stored = memoryValue(key);
  if (value) *value = stored.isNumber() ? static_cast<std::int32_t>(stored.asInt64()) : 0;
  return stored.isNumber();
}

std::int32_t DizEvozidizExtensionTransaction::intValueForExtensionKey(std::string_view key, bool persistent) {
  std::int32_t value = 0;
  getIntValue(&value, key, persistent);
  return value;
}

void DizEvozidizExtensionTransaction::setIntValue(std::int32_t value, std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->setIntValue(value, key, registeredName());
    else
      setMemoryValue(Value(value), key);
  }
}

bool DizEvozidizExtensionTransaction::getDoubleValue(double* value, std::string_view key, bool persistent) {
  if (persistent) {
    if (databaseTransaction_) return databaseTransaction_->getDoubleValue(value, key, registeredName());
    if (value) *value = 0;
    return false;
  }
  const Value stored = memoryValue(key);
  if (value) *value = stored.isNumber() ? stored.asDouble() : 0.0;
  return stored.isNumber();
}

double DizEvozidizExtensionTransaction::doubleValueForExtensionKey(std::string_view key, bool persistent) {
  double value = 0;
  getDoubleValue(&value, key, persistent);
  return value;
}

void DizEvozidizExtensionTransaction::setDoubleValue(double value, std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->setDoubleValue(value, key, registeredName());
    else
      setMemoryValue(Value(value), key);
  }
}

std::optional<std::string> DizEvozidizExtensionTransaction::stringValueForExtensionKey(std::string_view key,
                                                                                       bool persistent) {
  if (persistent) {
    if (!databaseTransaction_) return std::nullopt;
    return databaseTransaction_->stringValueForKey(key, registeredName());
  }
  const Value stored = memoryValue(key);
  if (stored.isString()) return stored.asString();
  if (stored.isNumber()) return stored.description();
  return std::nullopt;
}

void DizEvozidizExtensionTransaction::setStringValue(std::string_view value, std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->setStringValue(value, key, registeredName());
    else
      setMemoryValue(Value(value), key);
  }
}

std::optional<Bytes> DizEvozidizExtensionTransaction::dataValueForExtensionKey(std::string_view key, bool persistent) {
  if (persistent) {
    if (!databaseTransaction_) return std::nullopt;
    return databaseTransaction_->dataValueForKey(key, registeredName());
  }
  const Value stored = memoryValue(key);
  if (stored.isData()) return stored.asData();
  return std::nullopt;
}

void DizEvozidizExtensionTransaction::setDataValue(const Bytes& value, std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->setDataValue(value, key, registeredName());
    else
      setMemoryValue(Value(value), key);
  }
}

void DizEvozidizExtensionTransaction::removeValueForExtensionKey(std::string_view key, bool persistent) {
  if (auto* rw = databaseReadWriteTransaction()) {
    if (persistent)
      rw->removeValueForKey(key, registeredName());
    else
      setMemoryValue(Value(), key);
  }
}
