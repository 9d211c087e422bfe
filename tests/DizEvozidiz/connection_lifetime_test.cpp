// What keeps connections and databases alive, and what must not: queued setters, queued
// notifications, start-up.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "transaction_test_support.h"

namespace {

using platform::Value;

using ConnectionLifetime = diztest::StoreFixture;

// An asynchronous read holds the connection; when it holds the last reference, the connection goes
// away on its own queue, with setters still queued behind the read. They must find it gone rather
// than write into freed memory (AddressSanitizer reports the latter).
TEST_F(ConnectionLifetime, SettersQueuedBehindTheLastReferenceFindTheConnectionGone) {
  auto connection = database->newConnection();
  auto queue = DizInternal(*connection).connectionQueue();
  platform::DispatchSemaphore gate(0);
  platform::DispatchSemaphore released(0);
  connection->addDeallocHook([&](platform::Object&) { released.signal(); });
  connection->asyncReadWithBlock([&](DizEvozidizReadTransaction&) { gate.wait(); });
  connection->setObjectCacheLimit(7);
  connection->setMetadataCacheEnabled(false);
  connection->setObjectPolicy(DizEvozidizPolicyShare);
  connection->flushMemoryWithFlags(DizFlushMemoryCaches);
  connection->enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  connection.reset();  // the read's block now holds the last reference
  gate.signal();
  EXPECT_TRUE(released.wait(10));
  queue->sync([] {});  // every queued setter has run
}

// A database whose last user lets go closes at once, even with its modified notification still
// waiting for the main loop: the same file opens again straight away. The waiting notifications
// then name neither the database nor the connection.
TEST_F(ConnectionLifetime, ReleasingTheLastReferenceClosesTheDatabaseAtOnce) {
  std::vector<platform::NotificationPtr> received;
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), nullptr, nullptr,
      [&](const platform::NotificationPtr& n) { received.push_back(n); });
  database.reset();  // each round opens the file anew
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    auto opened = DizEvozidiz::create(path);
    ASSERT_TRUE(opened) << "the previous round's database is still open";
    auto writer = opened->newConnection();
    auto reader = opened->newConnection();
    EXPECT_EQ(get(reader, "k"), round == 0 ? Value() : Value(round - 1));
    put(writer, "k", Value(round));
    reader->snapshot();  // the reader has taken the changeset delivered to it
    std::weak_ptr<DizEvozidiz> watch = opened;
    opened.reset();
    writer.reset();
    reader.reset();
    EXPECT_TRUE(watch.expired());
  }
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return received.size() >= kRounds; }, 10));
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
  for (const auto& n : received) {
    EXPECT_EQ(n->object(), nullptr);
    EXPECT_TRUE(n->userInfo()["connection"].isNil());
    EXPECT_GT(n->userInfo()["snapshot"].asUInt64(), 0u);
  }
}

// Observers that register for one database hear its commits, not another's.
TEST_F(ConnectionLifetime, ModifiedNotificationNamesTheDatabase) {
  auto other = DizEvozidiz::create((dir / "other.sqlite").string());
  ASSERT_TRUE(other);
  auto writer = database->newConnection();
  std::vector<platform::NotificationPtr> mine;
  int others = 0;
  auto center = platform::NotificationCenter::defaultCenter();
  auto mineToken = center->addObserver(std::string(DizEvozidizModifiedNotification), database, nullptr,
                                       [&](const platform::NotificationPtr& n) { mine.push_back(n); });
  auto otherToken = center->addObserver(std::string(DizEvozidizModifiedNotification), other, nullptr,
                                        [&](const platform::NotificationPtr&) { ++others; });
  put(writer, "k", Value(1));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !mine.empty(); }, 10));
  platform::runMainLoopUntil([] { return false; }, 0.05);
  center->removeObserver(mineToken);
  center->removeObserver(otherToken);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0]->object(), database);
  EXPECT_EQ(mine[0]->userInfo()["connection"].as<DizEvozidizConnection>(), writer);
  EXPECT_EQ(others, 0);
}

// newConnection returns while the database is still starting up (here: its snapshot queue is
// held); the connection's first transaction waits for the start-up and sees the latest commit.
TEST_F(ConnectionLifetime, NewConnectionDoesNotWaitForTheDatabase) {
  put(database->newConnection(), "k", Value("before"));
  platform::DispatchSemaphore gate(0);
  DizInternal(*database).snapshotQueue()->async([&] { gate.wait(); });
  std::promise<DizEvozidizConnection::Ptr> made;
  std::thread caller([&] { made.set_value(database->newConnection()); });
  auto future = made.get_future();
  const bool returned = future.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  gate.signal();
  caller.join();
  EXPECT_TRUE(returned) << "newConnection waited for the snapshot queue";
  auto connection = future.get();
  EXPECT_EQ(get(connection, "k"), Value("before"));
  EXPECT_EQ(connection->snapshot(), database->snapshot());
}

}  // namespace
