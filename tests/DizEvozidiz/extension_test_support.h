#pragma once

// A recording extension for the store's tests: its three objects write every call the store makes
// on them, with the arguments, into a journal shared by the test, and their behaviour (persistence,
// dependencies, refusals, writes while flushing, changeset parts) is chosen per instance.

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/runtime/format.h"

namespace diztest {

// Lines in the order the calls came, from any thread.
class Journal {
 public:
  void add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
  }
  std::vector<std::string> lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // The lines so far, forgetting them.
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }
  // Only the lines that begin with one of the prefixes.
  std::vector<std::string> takeMatching(const std::vector<std::string>& prefixes) {
    std::vector<std::string> kept;
    for (std::string& line : take())
      for (const std::string& prefix : prefixes)
        if (line.rfind(prefix, 0) == 0) {
          kept.push_back(std::move(line));
          break;
        }
    return kept;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// Calls of the class operations, which have no instance to report to.
inline Journal& classJournal() {
  static Journal journal;
  return journal;
}

struct RecordingOptions {
  bool persistent = true;
  std::set<std::string> dependencies;
  bool supports = true;
  bool create = true;
  bool prepare = true;
  // Writes to the main table while flushing, once the transaction changed rows: how many flush
  // calls of each transaction write (one row each, in collection "flushed"); -1: every call.
  int mainTableWrites = 0;
  // A flush of the extension's own tables that fails (and says so) once the transaction changed rows.
  bool failExtensionFlush = false;
  // getInternalChangeset gives parts ("rows" = hooks heard) and reports disk changes.
  bool changesets = false;
  bool reportDiskChanges = false;
  // Called by createIfNeeded with the registering transaction.
  std::function<void(DizEvozidizReadWriteTransaction&)> onCreate;
};

class RecordingExtension;

inline std::string describe(const platform::Value& value) { return value.isNil() ? "nil" : value.description(); }
inline std::string describe(const DizCollectionKeyPtr& ck) { return ck ? ck->collection() + "/" + ck->key() : "null"; }
inline std::string describe(const std::vector<std::string>& keys) {
  std::string out = "[";
  for (std::size_t i = 0; i < keys.size(); ++i) out += (i ? "," : "") + keys[i];
  return out + "]";
}
inline std::string describe(const std::vector<std::int64_t>& rowids) {
  std::string out = "[";
  for (std::size_t i = 0; i < rowids.size(); ++i) out += (i ? "," : "") + std::to_string(rowids[i]);
  return out + "]";
}

class RecordingExtensionTransaction final : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(RecordingExtensionTransaction, DizEvozidizExtensionTransaction)

 public:
  RecordingExtensionTransaction(DizEvozidizExtensionConnectionPtr connection, DizEvozidizReadTransaction* transaction,
                                std::string label, std::shared_ptr<Journal> journal, RecordingOptions options,
                                int* heard)
      : DizEvozidizExtensionTransaction(std::move(connection), transaction),
        label_(std::move(label)),
        journal_(std::move(journal)),
        options_(std::move(options)),
        heard_(heard) {}

  bool createIfNeeded() override {
    note("createIfNeeded");
    if (options_.onCreate) options_.onCreate(*databaseReadWriteTransaction());
    return options_.create;
  }
  bool prepareIfNeeded() override {
    note("prepareIfNeeded");
    return options_.prepare;
  }
  bool flushPendingChangesToMainDatabaseTable() override {
    const bool write = heard_ && *heard_ > 0 && (options_.mainTableWrites < 0 || flushes_ < options_.mainTableWrites);
    note(std::string("flushMain ") + (write ? "yes" : "no"));
    if (!write) return false;
    ++flushes_;
    databaseReadWriteTransaction()->setObject(platform::Value("flushed"), label_ + std::to_string(flushes_), "flushed");
    return true;
  }
  void flushPendingChangesToExtensionTables() override {
    note("flushExtension");
    if (options_.failExtensionFlush && heard_ && *heard_ > 0)
      databaseReadWriteTransaction()->noteFailedWrite("recordingFlush", "the extension's table is full");
  }
  void didCommitTransaction() override { note("didCommit"); }
  void didRollbackTransaction() override { note("didRollback"); }

  void handleWillInsertObject(const platform::Value& o, const DizCollectionKeyPtr& ck,
                              const platform::Value& m) override {
    note("willInsert " + describe(ck) + " " + describe(o) + " " + describe(m));
  }
  void handleInsertObject(const platform::Value& o, const DizCollectionKeyPtr& ck, const platform::Value& m,
                          std::int64_t rowid) override {
    heard();
    note("insert " + describe(ck) + " " + describe(o) + " " + describe(m) + " " + std::to_string(rowid));
  }
  void handleWillUpdateObject(const platform::Value& o, const DizCollectionKeyPtr& ck, const platform::Value& m,
                              std::int64_t rowid) override {
    note("willUpdate " + describe(ck) + " " + describe(o) + " " + describe(m) + " " + std::to_string(rowid));
  }
  void handleUpdateObject(const platform::Value& o, const DizCollectionKeyPtr& ck, const platform::Value& m,
                          std::int64_t rowid) override {
    heard();
    note("update " + describe(ck) + " " + describe(o) + " " + describe(m) + " " + std::to_string(rowid));
  }
  void handleWillReplaceObject(const platform::Value& o, const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    note("willReplaceObject " + describe(ck) + " " + describe(o) + " " + std::to_string(rowid));
  }
  void handleReplaceObject(const platform::Value& o, const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("replaceObject " + describe(ck) + " " + describe(o) + " " + std::to_string(rowid));
  }
  void handleWillReplaceMetadata(const platform::Value& m, const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    note("willReplaceMetadata " + describe(ck) + " " + describe(m) + " " + std::to_string(rowid));
  }
  void handleReplaceMetadata(const platform::Value& m, const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("replaceMetadata " + describe(ck) + " " + describe(m) + " " + std::to_string(rowid));
  }
  void handleTouchObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("touchObject " + describe(ck) + " " + std::to_string(rowid));
  }
  void handleTouchMetadataForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("touchMetadata " + describe(ck) + " " + std::to_string(rowid));
  }
  void handleTouchRowForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("touchRow " + describe(ck) + " " + std::to_string(rowid));
  }
  void handleWillRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    note("willRemove " + describe(ck) + " " + std::to_string(rowid));
  }
  void handleRemoveObjectForCollectionKey(const DizCollectionKeyPtr& ck, std::int64_t rowid) override {
    heard();
    note("remove " + describe(ck) + " " + std::to_string(rowid));
  }
  void handleWillRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                      const std::vector<std::int64_t>& rowids) override {
    note("willRemoveKeys " + collection + " " + describe(keys) + " " + describe(rowids));
  }
  void handleRemoveObjectsForKeys(const std::vector<std::string>& keys, const std::string& collection,
                                  const std::vector<std::int64_t>& rowids) override {
    heard();
    note("removeKeys " + collection + " " + describe(keys) + " " + describe(rowids));
  }
  void handleWillRemoveAllObjectsInAllCollections() override { note("willRemoveAll"); }
  void handleRemoveAllObjectsInAllCollections() override {
    heard();
    note("removeAll");
  }

 private:
  void note(const std::string& what) { journal_->add(label_ + " " + what); }
  void heard() {
    if (heard_) ++*heard_;
  }

  std::string label_;
  std::shared_ptr<Journal> journal_;
  RecordingOptions options_;
  int* heard_;  // the extension connection's count of change hooks in this transaction
  int flushes_ = 0;
};

class RecordingExtensionConnection final : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(RecordingExtensionConnection, DizEvozidizExtensionConnection)

 public:
  RecordingExtensionConnection(DizEvozidizExtensionPtr extension, DizEvozidizConnection* connection, std::string label,
                               std::shared_ptr<Journal> journal, RecordingOptions options)
      : DizEvozidizExtensionConnection(std::move(extension), connection),
        label_(std::move(label)),
        journal_(std::move(journal)),
        options_(std::move(options)) {}

  DizEvozidizExtensionTransactionPtr newReadTransaction(DizEvozidizReadTransaction& transaction) override {
    journal_->add(label_ + " newReadTransaction");
    return platform::make<RecordingExtensionTransaction>(self(), &transaction, label_, journal_, options_, nullptr);
  }
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(DizEvozidizReadWriteTransaction& transaction) override {
    journal_->add(label_ + " newReadWriteTransaction");
    heard_ = 0;
    return platform::make<RecordingExtensionTransaction>(self(), &transaction, label_, journal_, options_, &heard_);
  }
  void _flushMemoryWithFlags(unsigned flags) override {
    journal_->add(label_ + " flushMemory " + std::to_string(flags) + " on " + databaseConnection()->name());
  }
  void getInternalChangeset(platform::Value& internal, platform::Value& external, bool& hasDiskChanges) override {
    DizEvozidizExtensionConnection::getInternalChangeset(internal, external, hasDiskChanges);
    if (!options_.changesets) return;
    internal = platform::Value::dictionary({{"heard", platform::Value(heard_)}});
    external = platform::Value::dictionary({{"label", platform::Value(label_)}});
    hasDiskChanges = options_.reportDiskChanges;
  }
  void processChangeset(const platform::Value& part) override {
    journal_->add(label_ + " connection processChangeset heard=" + describe(part["heard"]) + " on " +
                  databaseConnection()->name());
  }

 private:
  std::shared_ptr<RecordingExtensionConnection> self() {
    return std::static_pointer_cast<RecordingExtensionConnection>(shared_from_this());
  }
  std::string label_;
  std::shared_ptr<Journal> journal_;
  RecordingOptions options_;
  int heard_ = 0;
};

class RecordingExtension : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(RecordingExtension, DizEvozidizExtension)

 public:
  static std::shared_ptr<RecordingExtension> make(std::string label, std::shared_ptr<Journal> journal,
                                                  RecordingOptions options = {}) {
    return platform::make<RecordingExtension>(std::move(label), std::move(journal), std::move(options));
  }

  static void dropTablesForRegisteredName(const std::string& name, DizEvozidizReadWriteTransaction&,
                                          bool wasPersistent) {
    classJournal().add("RecordingExtension drop " + name + (wasPersistent ? " persistent" : " memory"));
  }

  bool supportsDatabaseWithRegisteredExtensions(const DizEvozidizExtensionsByName& registered) override {
    std::string names;
    for (const auto& [name, extension] : registered) names += (names.empty() ? "" : ",") + name;
    journal_->add(label_ + " supports [" + names + "]");
    return options_.supports;
  }
  void didRegisterExtension() override { journal_->add(label_ + " didRegister as " + registeredName()); }
  std::set<std::string> dependencies() const override { return options_.dependencies; }
  bool isPersistent() const override { return options_.persistent; }
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override {
    journal_->add(label_ + " newConnection on " + connection.name());
    lastConnection = &connection;
    return platform::make<RecordingExtensionConnection>(
        std::static_pointer_cast<DizEvozidizExtension>(shared_from_this()), &connection, label_, journal_, options_);
  }
  void processChangeset(const platform::Value& part) override {
    journal_->add(label_ + " processChangeset heard=" + describe(part["heard"]));
  }

  const std::string& label() const { return label_; }
  // The database connection of the latest newConnection (connection queue; read it after the fact).
  DizEvozidizConnection* lastConnection = nullptr;

 protected:
  RecordingExtension(std::string label, std::shared_ptr<Journal> journal, RecordingOptions options)
      : label_(std::move(label)), journal_(std::move(journal)), options_(std::move(options)) {}

  std::string label_;
  std::shared_ptr<Journal> journal_;
  RecordingOptions options_;
};

// A second class, for a name registered again by another class; it lists an earlier class name.
class RenamedRecordingExtension final : public RecordingExtension {
  DIZ_EXTENSION_CLASS(RenamedRecordingExtension, RecordingExtension)

 public:
  static std::shared_ptr<RenamedRecordingExtension> make(std::string label, std::shared_ptr<Journal> journal,
                                                         RecordingOptions options = {}) {
    return platform::make<RenamedRecordingExtension>(std::move(label), std::move(journal), std::move(options));
  }
  static void dropTablesForRegisteredName(const std::string& name, DizEvozidizReadWriteTransaction&,
                                          bool wasPersistent) {
    classJournal().add("RenamedRecordingExtension drop " + name + (wasPersistent ? " persistent" : " memory"));
  }
  static std::vector<std::string> previousClassNames() { return {"OldRecordingExtensionName"}; }

 private:
  RenamedRecordingExtension(std::string label, std::shared_ptr<Journal> journal, RecordingOptions options)
      : RecordingExtension(std::move(label), std::move(journal), std::move(options)) {}
};

// An extension that overrides nothing.
class BareExtension final : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(BareExtension, DizEvozidizExtension)

 public:
  BareExtension() = default;
};

}  // namespace diztest
