#pragma once

// DizEvozidizRTreeIndexTransaction: an R-tree index's part of one transaction. Keeps the
// index table equal to what the handler says of the stored rows (through the row hooks) and
// answers queries.
//
// Queries take a DizEvozidizQuery; its text follows "FROM <table>". The enumerations return true
// only when they ran to the end (false for a refused query, a failure, or a block that set stop).
// A block that writes to the database during an enumeration must set stop; otherwise the
// enumeration ends after that row and throws "DizEvozidizException" (the index was mutated).
// A query whose parameters do not match its placeholders, a failing step of a count,
// and a query that cannot be prepared are failures (false), each logged. An aggregate query is refused.
//
// Threads: only on the store connection's queue, inside its transaction.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "DizEvozidiz/Extensions/RTreeIndex/DizEvozidizRTreeIndexConnection.h"
#include "DizEvozidiz/Utilities/DizEvozidizQuery.h"
#include "platform/runtime/error.h"

class DizEvozidizRTreeIndexTransaction;
using DizEvozidizRTreeIndexTransactionPtr = std::shared_ptr<DizEvozidizRTreeIndexTransaction>;

class DizEvozidizRTreeIndexTransaction : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(DizEvozidizRTreeIndexTransaction, DizEvozidizExtensionTransaction)

 public:
  static DizEvozidizRTreeIndexTransactionPtr make(DizEvozidizRTreeIndexConnectionPtr connection,
                                                  DizEvozidizReadTransaction* transaction);

  const DizEvozidizRTreeIndexConnectionPtr& indexConnection() const { return connection_; }
  std::string tableName() const { return DizEvozidizRTreeIndex::tableNameForRegisteredName(registeredName()); }

  // ---- Queries ----
  using KeyBlock = std::function<void(const std::string& collection, const std::string& key, bool& stop)>;
  using ValueBlock = std::function<void(const std::string& collection, const std::string& key,
                                        const platform::Value& value, bool& stop)>;
  using RowBlock = std::function<void(const std::string& collection, const std::string& key,
                                      const platform::Value& object, const platform::Value& metadata, bool& stop)>;
  using RowidBlock = std::function<void(std::int64_t rowid, bool& stop)>;

  bool enumerateKeysMatchingQuery(const DizEvozidizQueryPtr& query, const KeyBlock& block);
  bool enumerateKeysAndMetadataMatchingQuery(const DizEvozidizQueryPtr& query, const ValueBlock& block);
  bool enumerateKeysAndObjectsMatchingQuery(const DizEvozidizQueryPtr& query, const ValueBlock& block);
  bool enumerateRowsMatchingQuery(const DizEvozidizQueryPtr& query, const RowBlock& block);
  bool enumerateRowidsMatchingQuery(const DizEvozidizQueryPtr& query, const RowidBlock& block);
  // Rows matching the query (an aggregate query's expression is not used).
  [[nodiscard]] bool getNumberOfRows(std::uint64_t* count, const DizEvozidizQueryPtr& query);

  // key -> rowid for the keys of `collection` that have a row.
  std::unordered_map<std::string, std::int64_t> rowidsForKeys(const std::vector<std::string>& keys,
                                                              const std::string& collection);

  // ---- Lifecycle (store calls) ----
  bool createIfNeeded() override;
  bool prepareIfNeeded() override { return true; }
  void didCommitTransaction() override;
  void didRollbackTransaction() override;

  // ---- Row hooks ----
  void handleInsertObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleUpdateObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                          const platform::Value& metadata, std::int64_t rowid) override;
  void handleReplaceObject(const platform::Value& object, const DizCollectionKeyPtr& collectionKey,
                           std::int64_t rowid) override;
  void handleReplaceMetadata(const platform::Value& metadata, const DizCollectionKeyPtr& collectionKey,
                             std::int64_t rowid) override;
  void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& collectionKey, std::int64_t rowid) override;
  void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                  const std::vector<std::int64_t>& rowids) override;
  void handleRemoveAllObjectsInAllCollections() override;

 protected:
  DizEvozidizRTreeIndexTransaction(DizEvozidizRTreeIndexConnectionPtr connection,
                                   DizEvozidizReadTransaction* transaction);

 private:
  const DizEvozidizRTreeIndex& index() const { return *connection_->rTreeIndex(); }
  bool createTable();
  bool dropTable();
  bool populate();
  bool isAllowed(const std::string& collection) const;
  void handleChange(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, const platform::Value& object,
                    const platform::Value& metadata, bool isInsert);
  // True when the handler gave at least one value that is neither nil nor null.
  bool hasAnyValue() const;
  // A hook that knows only some of the row's values: fetches what the handler reads.
  void handleChangeFetching(std::int64_t rowid, const DizCollectionKeyPtr& collectionKey, std::uint64_t invokeMask,
                            const platform::Value* object, const platform::Value* metadata);
  void addRowid(std::int64_t rowid, bool isNew);
  void removeRowid(std::int64_t rowid);
  void removeRowids(const std::vector<std::int64_t>& rowids);
  void removeAllRowids();
  void markMutated();
  void noteFailure(const std::string& step);
  // Prepares and binds the SQL that selects `columns` for `query`; runs `body` with the statement,
  // then resets it. False when no statement could be made or the parameters do not fit.
  // (Templates over the callables: queries are hot, and these are used only in the .cpp file.)
  template <class Body>
  bool withQueryStatement(std::string_view columns, const DizEvozidizQuery& query, const char* caller, Body&& body);
  template <class Row>
  bool enumerateStepping(std::string_view columns, const DizEvozidizQuery& query, const char* caller, Row&& row);
  platform::Exception mutationDuringEnumerationException() const;

  const DizEvozidizRTreeIndexConnectionPtr connection_;
};
