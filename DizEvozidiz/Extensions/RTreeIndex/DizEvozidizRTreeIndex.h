#pragma once

// DizEvozidizRTreeIndex: an extension that keeps, for the rows its handler chooses, a bounding box of
// one to five dimensions in an SQLite R-tree virtual table, so that rows can be found by range
// queries on the box coordinates. For every stored row of an allowed collection the handler closure
// fills a dictionary with one number per column; the index writes the box under the row's rowid
// inside the same read-write transaction and answers queries made with DizEvozidizQuery
// (DizEvozidiz/Utilities/DizEvozidizQuery.h): enumerations of rowids, keys, objects, metadata or
// rows, and counts. It publishes no changeset.
//
// Storage (a stored format), per registered name N (identifiers quoted, so any name works):
//   CREATE VIRTUAL TABLE IF NOT EXISTS "rTreeIndex_N" USING rtree("rowid" INTEGER PRIMARY KEY,
//       "<min1>" REAL, "<max1>" REAL, ...);   columns in setup order, (minimum, maximum) per dimension
//   Values under extension N: "classVersion" 1, "versionTag" (the registered tag); an older integer
//   "version" is read once and replaced. A different class version or tag drops, recreates and
//   refills the table in the registering transaction.
//   A row is written only when the handler gives a number for every column; a row for which the
//   handler gives nothing has no entry (an update that gives nothing removes the old one).
//
// Trust boundary: column names come from the program and are quoted as SQL identifiers; a query's
// text is pasted into the SELECT unchanged (see DizEvozidizQuery.h), its values are bound.
//
// Threads: the objects here (extension, setup, handler, options) never change once the extension is
// made and may be read from any thread. The connection and transaction parts run on the database
// connection's queue (DizEvozidizRTreeIndexConnection.h, DizEvozidizRTreeIndexTransaction.h).

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

// The ordered column names: (minimum, maximum) pairs, one pair per dimension.
class DizEvozidizRTreeIndexSetup {
 public:
  DizEvozidizRTreeIndexSetup() = default;
  explicit DizEvozidizRTreeIndexSetup(std::size_t capacity) { names_.reserve(capacity); }

  // Replaces the whole list when every check passes; otherwise logs the first failure, keeps the
  // list as it was and answers false. Refused: a count that is odd, below 2 or above 10; an empty
  // name; a reserved name ("rowid", "oid", "_rowid_", any case); a name equal (any case) to an
  // earlier one of the same list.
  bool setColumns(const std::vector<std::string>& names);
  static bool isReservedName(const std::string& name);

  std::size_t count() const { return names_.size(); }
  const std::vector<std::string>& columnNames() const { return names_; }
  auto begin() const { return names_.begin(); }
  auto end() const { return names_.end(); }
  // True when `affinities` (column name -> declared type, the rowid included) is exactly this setup
  // with every column REAL.
  bool matchesExistingColumnNamesAndAffinity(const std::unordered_map<std::string, std::string>& affinities) const;

 private:
  std::vector<std::string> names_;
};

// The numbers a handler fills for one row (column name -> number).
using DizRTreeIndexValues = std::unordered_map<std::string, platform::Value>;

class DizEvozidizRTreeIndexHandler {
 public:
  using Ptr = std::shared_ptr<const DizEvozidizRTreeIndexHandler>;
  // The whole-row form every handler is kept as; values its block type does not ask for are nil.
  using Block =
      std::function<void(DizEvozidizReadTransaction&, DizRTreeIndexValues& values, const std::string& collection,
                         const std::string& key, const platform::Value& object, const platform::Value& metadata)>;
  using KeyBlock = std::function<void(DizEvozidizReadTransaction&, DizRTreeIndexValues&, const std::string& collection,
                                      const std::string& key)>;
  using ObjectBlock =
      std::function<void(DizEvozidizReadTransaction&, DizRTreeIndexValues&, const std::string& collection,
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

  DizEvozidizRTreeIndexHandler(Block block, std::uint64_t blockType, std::uint64_t options)
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

struct DizEvozidizRTreeIndexOptions {
  // When set, only rows of collections it allows are indexed (shared, not copied).
  std::shared_ptr<const DizWhitelistBlacklist> allowedCollections;
};

class DizEvozidizRTreeIndex;
using DizEvozidizRTreeIndexPtr = std::shared_ptr<DizEvozidizRTreeIndex>;

class DizEvozidizRTreeIndex : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(DizEvozidizRTreeIndex, DizEvozidizExtension)

 public:
  static constexpr int kClassVersion = 1;

  // Null (logged) for a setup without columns or an empty handler. A missing tag is "".
  static DizEvozidizRTreeIndexPtr make(const DizEvozidizRTreeIndexSetup& setup,
                                       DizEvozidizRTreeIndexHandler::Ptr handler,
                                       std::optional<std::string> versionTag = std::nullopt,
                                       std::optional<DizEvozidizRTreeIndexOptions> options = std::nullopt);

  const DizEvozidizRTreeIndexSetup& setup() const { return setup_; }
  const DizEvozidizRTreeIndexHandler::Ptr& handler() const { return handler_; }
  const std::string& versionTag() const { return versionTag_; }
  const DizEvozidizRTreeIndexOptions& options() const { return options_; }
  std::string tableName() const { return tableNameForRegisteredName(registeredName()); }

  static std::string tableNameForRegisteredName(const std::string& name) { return "rTreeIndex_" + name; }
  static std::vector<std::string> previousClassNames() { return {"VizUruzozorizuDatabaseRTreeIndex"}; }
  static void dropTablesForRegisteredName(const std::string& registeredName,
                                          DizEvozidizReadWriteTransaction& transaction, bool wasPersistent);

  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;

 protected:
  DizEvozidizRTreeIndex(DizEvozidizRTreeIndexSetup setup, DizEvozidizRTreeIndexHandler::Ptr handler,
                        std::string versionTag, DizEvozidizRTreeIndexOptions options);

 private:
  const DizEvozidizRTreeIndexSetup setup_;
  const DizEvozidizRTreeIndexHandler::Ptr handler_;
  const std::string versionTag_;
  const DizEvozidizRTreeIndexOptions options_;
};
