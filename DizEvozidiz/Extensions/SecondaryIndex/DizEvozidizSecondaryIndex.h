#pragma once

// DizEvozidizSecondaryIndex: an extension that keeps, beside the main table, one SQL table of typed
// columns per registered name. For every stored row of an allowed collection the handler closure
// fills a dictionary of column values; the index writes them under the row's rowid inside the same
// read-write transaction, keeps one SQL index per column, and answers queries made with
// DizEvozidizQuery (DizEvozidiz/Utilities/DizEvozidizQuery.h): enumerations of rowids, keys, objects,
// metadata, rows or indexed values, counts and aggregates. It publishes no changeset.
//
// Storage (a stored format), per registered name N (identifiers quoted, so any name works):
//   CREATE TABLE "secondaryIndex_N" ("rowid" INTEGER PRIMARY KEY, "<column>" <TYPE>, ...);
//   CREATE INDEX "secondaryIndex_N_<column>" ON "secondaryIndex_N" ("<column>");   one per column
//   Values under extension N: "classVersion" 1, "versionTag" (the registered tag); an older integer
//   "version" is read once and replaced. A different class version or tag drops, recreates and
//   refills the table in the registering transaction.
//   Column values: INTEGER/REAL/NUMERIC take numbers (bound as 64-bit integers, or doubles for
//   floating numbers) and dates (seconds since 1 January 2001 UTC, as a double); TEXT takes strings;
//   BLOB takes data. A missing entry, the null value or a value of another kind stores NULL (the
//   latter logged); the row is still written.
//
// Trust boundary: column names come from the program and are quoted as SQL identifiers; a query's
// text is pasted into the SELECT unchanged (see DizEvozidizQuery.h), its values are bound.
//
// Threads: the objects here (extension, setup, handler, options) never change once the extension is
// made and may be read from any thread. The connection and transaction parts run on the database
// connection's queue (DizEvozidizSecondaryIndexConnection.h, DizEvozidizSecondaryIndexTransaction.h).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "DizEvozidiz/DizEvozidizBlockTypes.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/Utilities/DizWhitelistBlacklist.h"
#include "platform/runtime/value.h"

enum DizEvozidizSecondaryIndexType : std::int64_t {
  DizSecondaryIndexTypeInteger = 0,
  DizSecondaryIndexTypeReal = 1,
  DizSecondaryIndexTypeNumeric = 2,
  DizSecondaryIndexTypeText = 3,
  DizSecondaryIndexTypeBlob = 4,
};

// "INTEGER", "REAL", "NUMERIC", "TEXT", "BLOB"; "UNKNOWN" for any other number.
const char* DizSecondaryIndexTypeToString(std::int64_t type);

class DizEvozidizSecondaryIndexColumn {
 public:
  DizEvozidizSecondaryIndexColumn(std::string name, std::int64_t type) : name_(std::move(name)), type_(type) {}
  const std::string& name() const { return name_; }
  std::int64_t type() const { return type_; }
  std::string description() const;

 private:
  std::string name_;
  std::int64_t type_;
};

// The ordered columns; their order is the table's, the bound values' and the indexes'.
class DizEvozidizSecondaryIndexSetup {
 public:
  DizEvozidizSecondaryIndexSetup() = default;
  explicit DizEvozidizSecondaryIndexSetup(std::size_t capacity) { columns_.reserve(capacity); }

  // Appends a column; refuses (logged, false) an empty name, a reserved name ("rowid", "oid",
  // "_rowid_", any case), a name already present (any case) and a type outside 0...4.
  bool addColumn(const std::string& name, std::int64_t type);
  static bool isReservedName(const std::string& name);
  bool isExistingName(const std::string& name) const;

  std::size_t count() const { return columns_.size(); }
  // Null past the end.
  const DizEvozidizSecondaryIndexColumn* columnAtIndex(std::size_t index) const {
    return index < columns_.size() ? &columns_[index] : nullptr;
  }
  std::vector<std::string> columnNames() const;
  const std::vector<DizEvozidizSecondaryIndexColumn>& columns() const { return columns_; }
  // True when `affinities` (column name -> declared type, the rowid included) is exactly this setup.
  bool matchesExistingColumnNamesAndAffinity(const std::unordered_map<std::string, std::string>& affinities) const;

 private:
  std::vector<DizEvozidizSecondaryIndexColumn> columns_;
};

// The column values a handler fills for one row (column name -> value).
using DizSecondaryIndexValues = std::unordered_map<std::string, platform::Value>;

class DizEvozidizSecondaryIndexHandler {
 public:
  using Ptr = std::shared_ptr<const DizEvozidizSecondaryIndexHandler>;
  // The whole-row form every handler is kept as; values its block type does not ask for are nil.
  using Block =
      std::function<void(DizEvozidizReadTransaction&, DizSecondaryIndexValues& values, const std::string& collection,
                         const std::string& key, const platform::Value& object, const platform::Value& metadata)>;
  using KeyBlock = std::function<void(DizEvozidizReadTransaction&, DizSecondaryIndexValues&,
                                      const std::string& collection, const std::string& key)>;
  using ObjectBlock =
      std::function<void(DizEvozidizReadTransaction&, DizSecondaryIndexValues&, const std::string& collection,
                         const std::string& key, const platform::Value& object)>;
  using MetadataBlock = ObjectBlock;  // the value slot carries the metadata
  using RowBlock = Block;

  // Default invoke options of the type (key 0, object 5, metadata 10, row 15); null for an empty block.
  static Ptr withKeyBlock(KeyBlock b) { return withOptionsKeyBlock(DizDefaultBlockInvokeOptions(0), std::move(b)); }
  static Ptr withObjectBlock(ObjectBlock b) {
    return withOptionsObjectBlock(DizDefaultBlockInvokeOptions(1), std::move(b));
  }
  static Ptr withMetadataBlock(MetadataBlock b) {
    return withOptionsMetadataBlock(DizDefaultBlockInvokeOptions(2), std::move(b));
  }
  static Ptr withRowBlock(RowBlock b) { return withOptionsRowBlock(DizDefaultBlockInvokeOptions(3), std::move(b)); }
  static Ptr withOptionsKeyBlock(std::uint64_t options, KeyBlock b);
  static Ptr withOptionsObjectBlock(std::uint64_t options, ObjectBlock b);
  static Ptr withOptionsMetadataBlock(std::uint64_t options, MetadataBlock b);
  static Ptr withOptionsRowBlock(std::uint64_t options, RowBlock b);

  DizEvozidizSecondaryIndexHandler(Block block, std::uint64_t blockType, std::uint64_t options)
      : block_(std::move(block)), blockType_(blockType), blockInvokeOptions_(options) {}

  const Block& block() const { return block_; }
  std::uint64_t blockType() const { return blockType_; }
  std::uint64_t blockInvokeOptions() const { return blockInvokeOptions_; }
  bool needsObject() const { return blockType_ & DizBlockTypeNeedsObject; }
  bool needsMetadata() const { return blockType_ & DizBlockTypeNeedsMetadata; }

 private:
  Block block_;
  std::uint64_t blockType_;
  std::uint64_t blockInvokeOptions_;
};

struct DizEvozidizSecondaryIndexOptions {
  // When set, only rows of collections it allows are indexed (shared, not copied).
  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections;
};

class DizEvozidizSecondaryIndex;
using DizEvozidizSecondaryIndexPtr = std::shared_ptr<DizEvozidizSecondaryIndex>;

class DizEvozidizSecondaryIndex : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(DizEvozidizSecondaryIndex, DizEvozidizExtension)

 public:
  static constexpr int kClassVersion = 1;

  // Null (logged) for a setup without columns or an empty handler. A missing tag is "".
  static DizEvozidizSecondaryIndexPtr make(const DizEvozidizSecondaryIndexSetup& setup,
                                           DizEvozidizSecondaryIndexHandler::Ptr handler,
                                           std::optional<std::string> versionTag = std::nullopt,
                                           std::optional<DizEvozidizSecondaryIndexOptions> options = std::nullopt);

  const DizEvozidizSecondaryIndexSetup& setup() const { return setup_; }
  const DizEvozidizSecondaryIndexHandler::Ptr& handler() const { return handler_; }
  const std::string& versionTag() const { return versionTag_; }
  const DizEvozidizSecondaryIndexOptions& options() const { return options_; }
  std::string tableName() const { return tableNameForRegisteredName(registeredName()); }

  static std::string tableNameForRegisteredName(const std::string& name) { return "secondaryIndex_" + name; }
  // Each column's SQL index is named after its table and column, so two indexes of one file never
  // share an index name.
  static std::string indexNameForColumn(const std::string& tableName, const std::string& column) {
    return tableName + "_" + column;
  }
  static std::vector<std::string> previousClassNames() { return {"VizUruzozorizuDatabaseSecondaryIndex"}; }
  static void dropTablesForRegisteredName(const std::string& registeredName,
                                          DizEvozidizReadWriteTransaction& transaction, bool wasPersistent);

  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;

 protected:
  DizEvozidizSecondaryIndex(DizEvozidizSecondaryIndexSetup setup, DizEvozidizSecondaryIndexHandler::Ptr handler,
                            std::string versionTag, DizEvozidizSecondaryIndexOptions options);

 private:
  const DizEvozidizSecondaryIndexSetup setup_;
  const DizEvozidizSecondaryIndexHandler::Ptr handler_;
  const std::string versionTag_;
  const DizEvozidizSecondaryIndexOptions options_;
};
