// Extension tables found damaged in the file: an extension's SQL tables hold only what the stored
// rows give again (a view's pages, an index's columns), so a damaged one is dropped together with
// the extension's values in "diz2", and the extension is built again from the rows. Without this,
// every later commit would fail in the extension's flush for as long as the file stays as it is.
//
// Dropping a table walks its pages, which fails where they are damaged. Such tables are taken out
// of the schema instead, and the file is rebuilt (VACUUM) so that their pages are not left behind,
// where the automatic vacuum of a later commit would trip over them.
//
// Threads: the write queue, for the connection whose read-write transaction met the damage, after
// that transaction has ended.

#include <algorithm>
#include <utility>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"

namespace {

int exec(sqlite3* db, const std::string& sql) { return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }

// Runs a statement with one text parameter to its end.
int execWithText(sqlite3* db, const char* sql, const std::string& text) {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_bind_text(statement, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) rc = SQLITE_OK;
  }
  sqlite3_finalize(statement);
  return rc;
}

std::string joined(const std::set<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

constexpr const char* kRemoveExtensionValues = "DELETE FROM \"diz2\" WHERE \"extension\" = ?;";

// Drops the tables and the extension's values in one transaction. The failing result code, or
// SQLITE_OK.
int dropTables(sqlite3* db, const std::string& extension, const std::set<std::string>& tables) {
  int rc = exec(db, "BEGIN IMMEDIATE TRANSACTION;");
  if (rc != SQLITE_OK) return rc;
  for (const std::string& table : tables) {
    rc = exec(db, "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(table) + ";");
    if (rc != SQLITE_OK) break;
  }
  if (rc == SQLITE_OK) rc = execWithText(db, kRemoveExtensionValues, extension);
  if (rc == SQLITE_OK) rc = exec(db, "COMMIT TRANSACTION;");
  if (rc != SQLITE_OK) {
    rc = sqlite3_extended_errcode(db);
    exec(db, "ROLLBACK TRANSACTION;");
  }
  return rc;
}

// Takes the tables (and their indexes) out of the schema, with the extension's values, then
// rebuilds the file without their pages. The failing result code, or SQLITE_OK.
int unlistTables(sqlite3* db, const std::string& extension, const std::set<std::string>& tables) {
  int rc = exec(db, "BEGIN IMMEDIATE TRANSACTION;");
  if (rc != SQLITE_OK) return rc;
  rc = exec(db, "PRAGMA writable_schema = ON;");
  for (const std::string& table : tables) {
    if (rc != SQLITE_OK) break;
    rc = execWithText(db, "DELETE FROM \"sqlite_master\" WHERE \"tbl_name\" = ?;", table);
  }
  if (rc == SQLITE_OK) rc = execWithText(db, kRemoveExtensionValues, extension);
  if (rc == SQLITE_OK) {
    // Other handles learn of the changed schema by its version.
    sqlite3_stmt* statement = nullptr;
    std::int64_t version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA schema_version;", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
      version = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    rc = version < 0 ? SQLITE_ERROR : exec(db, "PRAGMA schema_version = " + std::to_string(version + 1) + ";");
  }
  if (rc == SQLITE_OK) rc = exec(db, "COMMIT TRANSACTION;");
  if (rc != SQLITE_OK) {
    rc = sqlite3_extended_errcode(db);
    exec(db, "ROLLBACK TRANSACTION;");
    exec(db, "PRAGMA writable_schema = OFF;");
    return rc;
  }
  exec(db, "PRAGMA writable_schema = OFF;");
  rc = exec(db, "VACUUM;");
  return rc == SQLITE_OK ? rc : sqlite3_extended_errcode(db);
}

}  // namespace

bool DizEvozidizConnectionInternal::isCorruptionResult(int resultCode) {
  const int primary = resultCode & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

void DizEvozidizConnectionInternal::noteStatementFailure(int status) {
  if (!isCorruptionResult(status)) return;
  corruptionMetInTransaction = true;
  database_->noteDamagedFile();
}

void DizEvozidizConnectionInternal::noteDamagedExtensionTables(const std::string& extensionName,
                                                               const std::vector<std::string>& tables) {
  if (extensionName.empty() || tables.empty()) return;
  damagedExtensionTables_[extensionName].insert(tables.begin(), tables.end());
}

std::set<std::string> DizEvozidizConnectionInternal::repairDamagedExtensionTables() {
  std::set<std::string> repaired;
  if (damagedExtensionTables_.empty() || !db) return repaired;
  // Damage met while building an extension again is not repaired in a loop: it stays in the log.
  if (repairingExtensionTables_) {
    for (const auto& [name, tables] : damagedExtensionTables_)
      DIZ_CONN_LOG_ERROR("%@: The tables of extension(%@) are still damaged after they were built again: %@", name,
                         joined(tables));
    damagedExtensionTables_.clear();
    return repaired;
  }
  repairingExtensionTables_ = true;
  auto damaged = std::exchange(damagedExtensionTables_, {});

  prePseudoReadWriteTransaction();
  for (const auto& [name, tables] : damaged) {
    DIZ_CONN_LOG_ERROR(
        "%@: The tables of extension(%@) are damaged in the file (%@); they are dropped and built again from the "
        "stored rows",
        name, joined(tables));
    int rc = dropTables(db, name, tables);
    if (rc != SQLITE_OK && isCorruptionResult(rc)) {
      DIZ_CONN_LOG_WARN("%@: Damaged tables of extension(%@) cannot be dropped (%d %s); taking them out of the schema",
                        name, rc, sqlite3_errstr(rc));
      rc = unlistTables(db, name, tables);
    }
    if (rc != SQLITE_OK) {
      DIZ_CONN_LOG_ERROR("%@: Error removing the damaged tables of extension(%@): %d %s", name, rc, sqlite3_errstr(rc));
      continue;
    }
    hasDiskChanges = true;
    repaired.insert(name);
  }
  postPseudoReadWriteTransaction();

  // Registered extensions are built again at once; an extension that was being registered is built
  // by its registration, which runs again.
  for (const std::string& name : repaired) {
    auto& state = *extensionState;
    auto registered = state.registries->extensions.find(name);
    if (registered == state.registries->extensions.end()) continue;
    const DizEvozidizExtensionPtr extension = registered->second;
    DizEvozidizExtensionConnectionPtr extensionConnection;
    if (auto it = state.connections.find(name); it != state.connections.end()) extensionConnection = it->second;
    if (!extensionConnection) {
      extensionConnection = extension->newConnection(*this);
      if (!extensionConnection) continue;
      state.connections[name] = extensionConnection;
    }
    extensionConnection->_flushMemoryWithFlags(DizFlushMemoryCaches | DizFlushMemoryStatements | DizFlushMemoryState);
    bool built = false;
    const platform::ErrorPtr outcome = runReadWriteTransaction(
        [&](DizEvozidizReadWriteTransaction& transaction) {
          DizEvozidizExtensionTransactionPtr extensionTransaction =
              extensionConnection->newReadWriteTransaction(transaction);
          if (!extensionTransaction) return transaction.rollback();
          // In place before anything prepares the extensions, so that the commit flushes this one.
          transaction.addRegisteredExtensionTransaction(extensionTransaction, name);
          if (!extensionTransaction->createIfNeeded()) return transaction.rollback();
          if (extension->isPersistent()) transaction.setStringValue(extension->objectClass().name(), "class", name);
          built = true;
        },
        {}, true);
    if (!built || outcome)
      DIZ_CONN_LOG_ERROR("%@: Error building extension(%@) again after its tables were damaged: %@", name, outcome);
  }
  repairingExtensionTables_ = false;
  return repaired;
}
