#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndex.h"

#include <algorithm>
#include <cctype>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexConnection.h"

namespace {

constexpr const char* kIndexLogFile = "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndex.cpp";
constexpr const char* kSetupLogFile = "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexSetup.cpp";

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace

// ---- Setup ----

bool DizEvozidizRTreeIndexSetup::setColumns(const std::vector<std::string>& names) {
  if (names.size() < 2 || names.size() > 10 || names.size() % 2 != 0) {
    DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile,
               "%@: Invalid columnNames: columnNames should have 2 to 10 columns, and be even");
    return false;
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    if (name.empty()) {
      DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: Invalid columnName: columnName must be a non-empty string");
      return false;
    }
    if (isReservedName(name)) {
      DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: Invalid columnName: columnName is reserved");
      return false;
    }
    if (std::any_of(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const std::string& earlier) { return equalsIgnoringCase(earlier, name); })) {
      DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: Invalid columnName: columnName already exists");
      return false;
    }
  }
  names_ = names;
  return true;
}

bool DizEvozidizRTreeIndexSetup::isReservedName(const std::string& name) {
  return equalsIgnoringCase(name, "rowid") || equalsIgnoringCase(name, "oid") || equalsIgnoringCase(name, "_rowid_");
}

bool DizEvozidizRTreeIndexSetup::matchesExistingColumnNamesAndAffinity(
    const std::unordered_map<std::string, std::string>& affinities) const {
  if (affinities.size() != names_.size() + 1) return false;
  return std::all_of(names_.begin(), names_.end(), [&](const std::string& name) {
    auto it = affinities.find(name);
    return it != affinities.end() && equalsIgnoringCase(it->second, "REAL");
  });
}

// ---- Handler ----

using Handler = DizEvozidizRTreeIndexHandler;

Handler::Ptr Handler::withOptionsKeyBlock(std::uint64_t options, KeyBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizRTreeIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value&, const platform::Value&) { b(t, v, c, k); },
      DizBlockTypeKey, options);
}

Handler::Ptr Handler::withOptionsObjectBlock(std::uint64_t options, ObjectBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizRTreeIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value& o, const platform::Value&) { b(t, v, c, k, o); },
      DizBlockTypeObject, options);
}

Handler::Ptr Handler::withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizRTreeIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value&, const platform::Value& m) { b(t, v, c, k, m); },
      DizBlockTypeMetadata, options);
}

Handler::Ptr Handler::withOptionsRowBlock(std::uint64_t options, RowBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(std::move(b), DizBlockTypeRow, options);
}

// ---- Extension ----

DizEvozidizRTreeIndex::DizEvozidizRTreeIndex(DizEvozidizRTreeIndexSetup setup,
                                             DizEvozidizRTreeIndexHandler::Ptr handler, std::string versionTag,
                                             DizEvozidizRTreeIndexOptions options)
    : setup_(std::move(setup)),
      handler_(std::move(handler)),
      versionTag_(std::move(versionTag)),
      options_(std::move(options)) {}

DizEvozidizRTreeIndexPtr DizEvozidizRTreeIndex::make(const DizEvozidizRTreeIndexSetup& setup,
                                                     DizEvozidizRTreeIndexHandler::Ptr handler,
                                                     std::optional<std::string> versionTag,
                                                     std::optional<DizEvozidizRTreeIndexOptions> options) {
  if (setup.count() == 0) {
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@: Invalid setup: empty", "initWithSetup:handler:");
    return nullptr;
  }
  if (!handler || !handler->block()) {
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@: Invalid handler: NULL", "initWithSetup:handler:");
    return nullptr;
  }
  return platform::make<DizEvozidizRTreeIndex>(setup, std::move(handler), versionTag.value_or(std::string()),
                                               options.value_or(DizEvozidizRTreeIndexOptions{}));
}

void DizEvozidizRTreeIndex::dropTablesForRegisteredName(const std::string& registeredName,
                                                        DizEvozidizReadWriteTransaction& transaction, bool) {
  sqlite3* db = DizInternal(*transaction.connection()).db;
  const std::string table = tableNameForRegisteredName(registeredName);
  const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(table) + ";";
  const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK)
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@ - Failed dropping table (%@): %d %s",
               "dropTablesForRegisteredName:withTransaction:wasPersistent:", table, status, sqlite3_errmsg(db));
}

DizEvozidizExtensionConnectionPtr DizEvozidizRTreeIndex::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizRTreeIndexConnection::make(std::static_pointer_cast<DizEvozidizRTreeIndex>(shared_from_this()),
                                               &connection);
}
