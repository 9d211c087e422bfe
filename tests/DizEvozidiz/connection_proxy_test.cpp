// The connection proxy: reads see writes at once; writes reach the database in background batches,
// one read-write transaction per batch, and a batch that fails is written again.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionProxy.h"
#include "DizEvozidiz/DizEvozidizExtension.h"
#include "transaction_test_support.h"

namespace {

using platform::Value;
using RW = DizEvozidizReadWriteTransaction;

// An extension that runs a test's function when a row is inserted, inside the inserting
// transaction.
class InsertWatcher final : public DizEvozidizExtension {
  DIZ_EXTENSION_CLASS(InsertWatcher, DizEvozidizExtension)

 public:
  std::function<void(const DizCollectionKeyPtr&)> onInsert;
  DizEvozidizExtensionConnectionPtr newConnection(DizEvozidizConnection& connection) override;
};

class InsertWatcherTransaction final : public DizEvozidizExtensionTransaction {
  DIZ_EXTENSION_CLASS(InsertWatcherTransaction, DizEvozidizExtensionTransaction)

 public:
  using DizEvozidizExtensionTransaction::DizEvozidizExtensionTransaction;
  bool createIfNeeded() override { return true; }
  bool prepareIfNeeded() override { return true; }
  void handleInsertObject(const Value&, const DizCollectionKeyPtr& ck, const Value&, std::int64_t) override {
    auto& watcher = static_cast<InsertWatcher&>(*extensionConnection()->extension());
    if (watcher.onInsert) watcher.onInsert(ck);
  }
};

class InsertWatcherConnection final : public DizEvozidizExtensionConnection {
  DIZ_EXTENSION_CLASS(InsertWatcherConnection, DizEvozidizExtensionConnection)

 public:
  using DizEvozidizExtensionConnection::DizEvozidizExtensionConnection;
  DizEvozidizExtensionTransactionPtr newReadWriteTransaction(RW& transaction) override {
    return platform::make<InsertWatcherTransaction>(
        std::static_pointer_cast<DizEvozidizExtensionConnection>(shared_from_this()), &transaction);
  }
};

DizEvozidizExtensionConnectionPtr InsertWatcher::newConnection(DizEvozidizConnection& connection) {
  return platform::make<InsertWatcherConnection>(std::static_pointer_cast<DizEvozidizExtension>(shared_from_this()),
                                                 &connection);
}

class ConnectionProxy : public diztest::StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    proxy = DizEvozidizConnectionProxy::make(database);
    ASSERT_TRUE(proxy);
    other = database->newConnection();
    reader = database->newConnection();
  }
  void TearDown() override {
    proxy.reset();
    other.reset();
    reader.reset();
    StoreFixture::TearDown();
  }
  // Until every batch queued so far has been written and confirmed.
  void settle() {
    for (int i = 0; i < 3; ++i) {
      bool flushed = false;
      proxy->readWriteConnection()->flushTransactionsWithCompletionQueue(nullptr, [&] { flushed = true; });
      ASSERT_TRUE(platform::runMainLoopUntil([&] { return flushed; }, 10));
    }
  }
  // Holds the database's write queue until the returned function is called.
  std::function<void()> holdWriteQueue() {
    auto entered = std::make_shared<platform::DispatchSemaphore>();
    auto release = std::make_shared<platform::DispatchSemaphore>();
    other->asyncReadWriteWithBlock([entered, release](RW&) {
      entered->signal();
      release->wait();
    });
    entered->wait();
    return [release] { release->signal(); };
  }

  DizEvozidizConnectionProxy::Ptr proxy;
  DizEvozidizConnection::Ptr other;   // holds the write queue when a test needs it
  DizEvozidizConnection::Ptr reader;  // looks at the database
};

TEST_F(ConnectionProxy, TenWritesAreSeenAtOnceAndCommittedInOneTransaction) {
  const std::uint64_t before = reader->snapshot();
  auto release = holdWriteQueue();
  for (int i = 0; i < 10; ++i) proxy->setObject(Value(i), "k" + std::to_string(i), "things", Value("m"));
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(proxy->objectForKey("k" + std::to_string(i), "things"), Value(i)) << "before any commit";
    EXPECT_EQ(proxy->metadataForKey("k" + std::to_string(i), "things"), Value("m"));
  }
  EXPECT_EQ(get(reader, "k0"), Value()) << "not in the database yet";
  release();
  settle();
  EXPECT_EQ(reader->snapshot(), before + 1) << "one read-write transaction";
  for (int i = 0; i < 10; ++i) EXPECT_EQ(get(reader, "k" + std::to_string(i)), Value(i));
  EXPECT_EQ(proxy->pendingCount(), 0u);
}

TEST_F(ConnectionProxy, RemovalsAndMissingRowsReadAsNothing) {
  put(reader, "there", Value("v"));
  put(reader, "gone", Value("v"));
  const std::uint64_t before = reader->snapshot();
  proxy->removeObjectForKey("gone", "things");
  EXPECT_EQ(proxy->objectForKey("gone", "things"), Value());
  Value object("sentinel"), metadata("sentinel");
  EXPECT_FALSE(proxy->getObject(&object, &metadata, "gone", "things"));
  EXPECT_EQ(object, Value());
  EXPECT_EQ(metadata, Value());
  EXPECT_TRUE(proxy->getObject(&object, nullptr, "there", "things")) << "falls through to the database";
  EXPECT_EQ(object, Value("v"));

  // Replacing a row that is neither pending nor stored changes nothing and writes nothing.
  settle();
  const std::uint64_t afterRemoval = reader->snapshot();
  EXPECT_EQ(afterRemoval, before + 1);
  proxy->replaceObject(Value("x"), "nowhere", "things");
  proxy->replaceMetadata(Value("m"), "nowhere", "things");
  EXPECT_EQ(proxy->pendingCount(), 0u);
  settle();
  EXPECT_EQ(reader->snapshot(), afterRemoval);
  EXPECT_EQ(get(reader, "gone"), Value());
}

TEST_F(ConnectionProxy, ReplacesKeepTheOtherHalfAndNilMetadataClearsTheStoredOne) {
  ASSERT_TRUE(reader->readWriteWithBlock([](RW& t) {
    t.setObject(Value("o1"), "a", "things", Value("m1"));
    t.setObject(Value("o2"), "b", "things", Value("m2"));
  }));
  proxy->replaceObject(Value("o1b"), "a", "things");
  proxy->replaceMetadata(Value("m2b"), "b", "things");
  proxy->setObject(Value("o3"), "c", "things", Value("m3"));
  proxy->setObject(Value("o3b"), "c", "things");  // nil metadata
  settle();
  reader->readWithBlock([](DizEvozidizReadTransaction& t) {
    EXPECT_EQ(t.objectForKey("a", "things"), Value("o1b"));
    EXPECT_EQ(t.metadataForKey("a", "things"), Value("m1"));
    EXPECT_EQ(t.objectForKey("b", "things"), Value("o2"));
    EXPECT_EQ(t.metadataForKey("b", "things"), Value("m2b"));
    EXPECT_EQ(t.objectForKey("c", "things"), Value("o3b"));
    EXPECT_EQ(t.metadataForKey("c", "things"), Value());
  });
}

TEST_F(ConnectionProxy, AFilterThatDeniesACollectionAnswersNothingFromTheDatabase) {
  put(reader, "stored", Value("v"), "private");
  proxy->setFetchedCollectionsFilter(DizWhitelistBlacklist::withBlacklist({"private"}));
  EXPECT_EQ(proxy->objectForKey("stored", "private"), Value());
  EXPECT_FALSE(proxy->getObject(nullptr, nullptr, "stored", "private"));
  proxy->replaceObject(Value("x"), "stored", "private");
  EXPECT_EQ(proxy->pendingCount(), 0u) << "a denied row counts as not there";
  proxy->setObject(Value("mine"), "new", "private");
  EXPECT_EQ(proxy->objectForKey("new", "private"), Value("mine")) << "pending writes are answered";
  EXPECT_EQ(proxy->objectForKey("stored", "other"), Value());
}

TEST_F(ConnectionProxy, AbortAndResetRightAfterWritesLosesThem) {
  auto release = holdWriteQueue();
  const std::uint64_t before = reader->snapshot();
  proxy->setObject(Value("o"), "k", "things");
  proxy->replaceMetadata(Value("m"), "k", "things");
  proxy->abortAndReset(nullptr);
  EXPECT_EQ(proxy->objectForKey("k", "things"), Value());
  release();
  settle();
  EXPECT_EQ(get(reader, "k"), Value());
  EXPECT_EQ(reader->snapshot(), before);
  // Later writes are written as usual.
  proxy->setObject(Value("later"), "k", "things");
  settle();
  EXPECT_EQ(get(reader, "k"), Value("later"));
}

TEST_F(ConnectionProxy, AKeyWrittenAgainWhileItsBatchCommitsStaysPendingAndIsWrittenAgain) {
  auto watcher = platform::make<InsertWatcher>();
  bool wroteAgain = false;
  watcher->onInsert = [&](const DizCollectionKeyPtr& ck) {
    if (ck->key() != "k" || wroteAgain) return;
    wroteAgain = true;
    proxy->setObject(Value("second"), "k", "things");  // while the first batch is in its transaction
  };
  ASSERT_TRUE(database->registerExtension(watcher, "watcher", other));
  proxy->setObject(Value("first"), "k", "things");
  settle();
  ASSERT_TRUE(wroteAgain);
  EXPECT_EQ(proxy->objectForKey("k", "things"), Value("second"));
  EXPECT_EQ(get(reader, "k"), Value("second"));
  EXPECT_EQ(proxy->pendingCount(), 0u);
}

TEST_F(ConnectionProxy, ABatchThatFailsKeepsItsRowsAndIsWrittenAgain) {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &raw), SQLITE_OK);
  sqlite3_busy_timeout(raw, 5000);
  ASSERT_EQ(sqlite3_exec(raw,
                         "CREATE TRIGGER refuse BEFORE INSERT ON database2 WHEN NEW.key = 'refused' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  auto release = holdWriteQueue();  // both writes go into one batch
  proxy->setObject(Value("v"), "refused", "things");
  proxy->setObject(Value("w"), "fine", "things");
  release();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return proxy->lastBatchError() != nullptr; }, 10));
  EXPECT_EQ(proxy->lastBatchError()->code(), DizEvozidizErrorWriteFailed);
  EXPECT_EQ(proxy->objectForKey("refused", "things"), Value("v")) << "still pending, not lost";
  EXPECT_EQ(get(reader, "fine"), Value()) << "the batch is all or nothing";

  ASSERT_EQ(sqlite3_exec(raw, "DROP TRIGGER refuse;", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(raw);
  // Written again on its own, without a new write.
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return get(reader, "refused") == Value("v"); }, 10));
  EXPECT_EQ(get(reader, "fine"), Value("w"));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return proxy->pendingCount() == 0; }, 10));
  EXPECT_EQ(proxy->lastBatchError(), nullptr);
}

TEST_F(ConnectionProxy, QueuedBatchesHoldTheProxyOnlyWeakly) {
  auto release = holdWriteQueue();
  std::weak_ptr<DizEvozidizConnectionProxy> weak = proxy;
  auto writer = proxy->readWriteConnection();
  proxy->setObject(Value("v"), "k", "things");
  proxy.reset();
  EXPECT_TRUE(weak.expired());
  release();
  bool flushed = false;
  writer->flushTransactionsWithCompletionQueue(nullptr, [&] { flushed = true; });
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return flushed; }, 10));
  EXPECT_EQ(get(reader, "k"), Value()) << "a released proxy's batch does nothing";
}

}  // namespace
