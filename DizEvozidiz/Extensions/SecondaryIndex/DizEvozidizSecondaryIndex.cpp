#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"

#include <algorithm>
#include <cctype>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexConnection.h"

namespace {

constexpr const char* kIndexLogFile = "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.cpp";
constexpr const char* kSetupLogFile = "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexSetup.cpp";

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

}  // namespace

const char* DizSecondaryIndexTypeToString(std::int64_t type) {
  switch (type) {
    case DizSecondaryIndexTypeInteger:
      return "INTEGER";
    case DizSecondaryIndexTypeReal:
      return "REAL";
    case DizSecondaryIndexTypeNumeric:
      return "NUMERIC";
    case DizSecondaryIndexTypeText:
      return "TEXT";
    case DizSecondaryIndexTypeBlob:
      return "BLOB";
    default:
      return "UNKNOWN";
  }
}

std::string DizEvozidizSecondaryIndexColumn::description() const {
  return platform::format("<DizEvozidizSecondaryIndexColumn: name(%@), type(%@)>", name_,
                          std::string(DizSecondaryIndexTypeToString(type_)));
}

// ---- Setup ----

bool DizEvozidizSecondaryIndexSetup::addColumn(const std::string& name, std::int64_t type) {
  if (name.empty()) {
    DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: %@: Invalid columnName: nil", "addColumn:withType:");
    return false;
  }
  if (isReservedName(name)) {
    DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: Invalid columnName: columnName is reserved");
    return false;
  }
  if (isExistingName(name)) {
    DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: Invalid columnName: columnName already exists");
    return false;
  }
  if (static_cast<std::uint64_t>(type) > DizSecondaryIndexTypeBlob) {
    DIZ_LOG_IN(kDizLogFlagError, kSetupLogFile, "%@: %@: Invalid type", "addColumn:withType:");
    return false;
  }
  columns_.emplace_back(name, type);
  return true;
}

bool DizEvozidizSecondaryIndexSetup::isReservedName(const std::string& name) {
  return equalsIgnoringCase(name, "rowid") || equalsIgnoringCase(name, "oid") || equalsIgnoringCase(name, "_rowid_");
}

bool DizEvozidizSecondaryIndexSetup::isExistingName(const std::string& name) const {
  return std::any_of(columns_.begin(), columns_.end(),
                     [&](const auto& c) { return equalsIgnoringCase(c.name(), name); });
}

std::vector<std::string> DizEvozidizSecondaryIndexSetup::columnNames() const {
  std::vector<std::string> names;
  names.reserve(columns_.size());
  for (const auto& c : columns_) names.push_back(c.name());
  return names;
}

bool DizEvozidizSecondaryIndexSetup::matchesExistingColumnNamesAndAffinity(
    const std::unordered_map<std::string, std::string>& affinities) const {
  if (affinities.size() != columns_.size() + 1) return false;
  return std::all_of(columns_.begin(), columns_.end(), [&](const auto& c) {
    auto it = affinities.find(c.name());
    return it != affinities.end() && equalsIgnoringCase(it->second, DizSecondaryIndexTypeToString(c.type()));
  });
}

// ---- Handler ----

using Handler = DizEvozidizSecondaryIndexHandler;

Handler::Ptr Handler::withOptionsKeyBlock(std::uint64_t options, KeyBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizSecondaryIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value&, const platform::Value&) { b(t, v, c, k); },
      DizBlockTypeKey, options);
}

Handler::Ptr Handler::withOptionsObjectBlock(std::uint64_t options, ObjectBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizSecondaryIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value& o, const platform::Value&) { b(t, v, c, k, o); },
      DizBlockTypeObject, options);
}

Handler::Ptr Handler::withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(
      [b = std::move(b)](DizEvozidizReadTransaction& t, DizSecondaryIndexValues& v, const std::string& c,
                         const std::string& k, const platform::Value&, const platform::Value& m) { b(t, v, c, k, m); },
      DizBlockTypeMetadata, options);
}

Handler::Ptr Handler::withOptionsRowBlock(std::uint64_t options, RowBlock b) {
  if (!b) return nullptr;
  return std::make_shared<const Handler>(std::move(b), DizBlockTypeRow, options);
}

// ---- Extension ----

DizEvozidizSecondaryIndex::DizEvozidizSecondaryIndex(DizEvozidizSecondaryIndexSetup setup,
                                                     DizEvozidizSecondaryIndexHandler::Ptr handler,
                                                     std::string versionTag, DizEvozidizSecondaryIndexOptions options)
    : setup_(std::move(setup)),
      handler_(std::move(handler)),
      versionTag_(std::move(versionTag)),
      options_(std::move(options)) {}

DizEvozidizSecondaryIndexPtr DizEvozidizSecondaryIndex::make(const DizEvozidizSecondaryIndexSetup& setup,
                                                             DizEvozidizSecondaryIndexHandler::Ptr handler,
                                                             std::optional<std::string> versionTag,
                                                             std::optional<DizEvozidizSecondaryIndexOptions> options) {
  if (setup.count() == 0) {
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@: Invalid setup: empty", "initWithSetup:handler:");
    return nullptr;
  }
  if (!handler || !handler->block()) {
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@: Invalid handler: NULL", "initWithSetup:handler:");
    return nullptr;
  }
  return platform::make<DizEvozidizSecondaryIndex>(setup, std::move(handler), versionTag.value_or(std::string()),
                                                   options.value_or(DizEvozidizSecondaryIndexOptions{}));
}

void DizEvozidizSecondaryIndex::dropTablesForRegisteredName(const std::string& registeredName,
                                                            DizEvozidizReadWriteTransaction& transaction, bool) {
  sqlite3* db = DizInternal(*transaction.connection()).db;
  const std::string table = tableNameForRegisteredName(registeredName);
  const std::string sql = "DROP TABLE IF EXISTS " + DizEvozidiz::quotedIdentifier(table) + ";";
  const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  if (status != SQLITE_OK)
    DIZ_LOG_IN(kDizLogFlagError, kIndexLogFile, "%@: %@ - Failed dropping table (%@): %d %s",
               "dropTablesForRegisteredName:withTransaction:wasPersistent:", table, status, sqlite3_errmsg(db));
}

DizEvozidizExtensionConnectionPtr DizEvozidizSecondaryIndex::newConnection(DizEvozidizConnection& connection) {
  return DizEvozidizSecondaryIndexConnection::make(
      std::static_pointer_cast<DizEvozidizSecondaryIndex>(shared_from_this()), &connection);
}
