// The multi-version memory table on its own: snapshots, commit, rollback and clean-up, including
// readers at old snapshots while a writer commits and cleans up on other threads.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizMemoryTable.h"
#include "platform/dispatch/dispatch.h"

namespace {

using platform::Value;

// A barrier on the table's queue: everything queued before it (rollbacks, clean-ups) has run.
void drain(const DizMemoryTable::Ptr& table) {
  table->newReadWriteTransaction(0)->modifyWithBlock([] {});
}

void writeAt(const DizMemoryTable::Ptr& table, std::uint64_t snapshot, const Value& key, const Value& object) {
  auto t = table->newReadWriteTransaction(snapshot);
  t->setObject(object, key);
  t->commit();
}

TEST(DizMemoryTable, ReadersSeeTheNewestVersionAtOrBelowTheirSnapshot) {
  auto table = DizMemoryTable::make("NSString");
  writeAt(table, 4, Value("k"), Value("four"));
  writeAt(table, 6, Value("k"), Value("six"));
  writeAt(table, 7, Value("k"), Value("seven"));
  struct Case {
    std::uint64_t snapshot;
    Value expected;
  } cases[] = {{3, Value()}, {4, Value("four")}, {5, Value("four")}, {6, Value("six")}, {9, Value("seven")}};
  for (const auto& c : cases)
    EXPECT_EQ(table->newReadTransaction(c.snapshot)->objectForKey(Value("k")), c.expected) << c.snapshot;
}

TEST(DizMemoryTable, OneTransactionKeepsOneVersionPerKeyAndForgetsKeysItMadeAndRemoved) {
  auto table = DizMemoryTable::make("NSString");
  auto t = table->newReadWriteTransaction(8);
  t->setObject(Value(1), Value("a"));
  t->setObject(Value(2), Value("a"));
  EXPECT_EQ(table->versionCount(), 1u);
  EXPECT_EQ(t->objectForKey(Value("a")), Value(2)) << "a transaction reads its own uncommitted writes";
  EXPECT_EQ(table->newReadTransaction(7)->objectForKey(Value("a")), Value()) << "a reader below does not";
  t->setObject(Value(3), Value("b"));
  t->removeObjectForKey(Value("b"));
  EXPECT_EQ(t->changedKeys().size(), 1u);
  EXPECT_FALSE(t->changedKeys().contains(Value("b")));
  EXPECT_EQ(table->keyCount(), 1u);
}

TEST(DizMemoryTable, ReadTransactionsWriteNothing) {
  auto table = DizMemoryTable::make("NSString");
  writeAt(table, 1, Value("a"), Value(1));
  auto reader = table->newReadTransaction(2);
  reader->setObject(Value(2), Value("a"));
  reader->removeObjectForKey(Value("a"));
  reader->removeAllObjects();
  EXPECT_FALSE(reader->commit());
  reader->rollback();
  drain(table);
  EXPECT_EQ(table->newReadTransaction(5)->objectForKey(Value("a")), Value(1));
  EXPECT_EQ(table->committedSnapshots(), std::vector<std::uint64_t>{1});
}

TEST(DizMemoryTable, RollbackRestoresTheOlderVersionAndDropsKeysTheTransactionCreated) {
  auto table = DizMemoryTable::make("DizCollectionKey");
  const Value kept(DizCollectionKey::make("ext", "kept"));
  const Value made(DizCollectionKey::make("ext", "made"));
  const Value removed(DizCollectionKey::make("ext", "removed"));
  {
    auto t = table->newReadWriteTransaction(7);
    t->setObject(Value("old"), kept);
    t->setObject(Value("there"), removed);
    t->commit();
  }
  auto t = table->newReadWriteTransaction(8);
  t->setObject(Value("new"), kept);
  t->setObject(Value("fresh"), made);
  t->removeObjectForKey(removed);
  t->rollback();
  drain(table);
  auto reader = table->newReadTransaction(8);
  EXPECT_EQ(reader->objectForKey(kept), Value("old"));
  EXPECT_EQ(reader->objectForKey(removed), Value("there"));
  EXPECT_EQ(reader->objectForKey(made), Value());
  EXPECT_EQ(table->keyCount(), 2u);
  EXPECT_EQ(table->versionCount(), 2u);
}

TEST(DizMemoryTable, RollbackAfterCommitAlsoForgetsTheCommit) {
  // The store commits the memory table before SQL's COMMIT; when that fails, both are undone.
  auto table = DizMemoryTable::make("NSString");
  auto t = table->newReadWriteTransaction(3);
  t->setObject(Value(1), Value("a"));
  EXPECT_TRUE(t->commit());
  t->rollback();
  drain(table);
  EXPECT_TRUE(table->committedSnapshots().empty());
  EXPECT_EQ(table->keyCount(), 0u);
}

TEST(DizMemoryTable, RemoveAllRemovesWhatIsVisibleAndEnumerationsSkipRemovals) {
  auto table = DizMemoryTable::make("NSString");
  {
    auto t = table->newReadWriteTransaction(1);
    for (const char* k : {"a", "b", "c"}) t->setObject(Value(k), Value(k));
    t->commit();
  }
  auto t = table->newReadWriteTransaction(2);
  t->setObject(Value("d"), Value("d"));
  t->removeAllObjects();
  t->commit();
  std::vector<std::string> seenAt1;
  table->newReadTransaction(1)->enumerateKeysWithBlock([&](const Value& k, bool&) { seenAt1.push_back(k.asString()); });
  EXPECT_EQ(seenAt1.size(), 3u);
  int seenAt2 = 0;
  table->newReadTransaction(2)->enumerateKeysAndObjectsWithBlock([&](const Value&, const Value&, bool&) { ++seenAt2; });
  EXPECT_EQ(seenAt2, 0);
  EXPECT_FALSE(table->newReadTransaction(2)->objectForKey(Value("d")));
}

TEST(DizMemoryTable, CleanUpDropsOnlyVersionsNoReaderCanSee) {
  auto table = DizMemoryTable::make("NSString");
  writeAt(table, 4, Value("k"), Value("four"));
  writeAt(table, 6, Value("k"), Value("six"));
  writeAt(table, 7, Value("k"), Value("seven"));

  table->asyncCheckpoint(3);  // below every commit: nothing
  drain(table);
  EXPECT_EQ(table->versionCount(), 3u);

  table->asyncCheckpoint(5);  // a reader at 5 still needs version 4
  drain(table);
  EXPECT_EQ(table->newReadTransaction(5)->objectForKey(Value("k")), Value("four"));
  EXPECT_EQ(table->versionCount(), 3u);
  EXPECT_EQ(table->committedSnapshots(), (std::vector<std::uint64_t>{6, 7}));

  table->asyncCheckpoint(7);
  drain(table);
  EXPECT_EQ(table->versionCount(), 1u);
  EXPECT_EQ(table->newReadTransaction(7)->objectForKey(Value("k")), Value("seven"));
  EXPECT_EQ(table->committedSnapshots(), std::vector<std::uint64_t>{7}) << "commits at M stay listed";
}

TEST(DizMemoryTable, CleanUpDropsAKeyWhoseOnlyVisibleVersionIsARemoval) {
  auto table = DizMemoryTable::make("NSString");
  writeAt(table, 1, Value("gone"), Value(1));
  {
    auto t = table->newReadWriteTransaction(2);
    t->removeObjectForKey(Value("gone"));
    t->commit();
  }
  table->asyncCheckpoint(3);
  drain(table);
  EXPECT_EQ(table->keyCount(), 0u);
  EXPECT_TRUE(table->committedSnapshots().empty());
}

TEST(DizMemoryTable, LongChainsAreReleasedWithoutRecursion) {
  auto table = DizMemoryTable::make("NSString");
  for (std::uint64_t s = 1; s <= 200000; ++s) {
    auto t = table->newReadWriteTransaction(s);
    t->setObject(Value(static_cast<std::int64_t>(s)), Value("k"));
  }
  EXPECT_EQ(table->versionCount(), 200000u);
  table.reset();  // a recursive release of 200,000 versions would overflow the stack
}

// Readers at older snapshots keep their versions while a writer commits new ones and clean-ups
// run for the oldest snapshot in use, as the store computes it: ThreadSanitizer checks the queue
// and lock discipline.
TEST(DizMemoryTable, ReadersAtOldSnapshotsKeepTheirVersionsWhileAWriterCommitsAndCleansUp) {
  auto table = DizMemoryTable::make("NSNumber");
  constexpr int kKeys = 16;
  constexpr int kReaders = 3;
  constexpr std::uint64_t kNone = ~std::uint64_t{0};
  {
    auto t = table->newReadWriteTransaction(1);
    for (int k = 0; k < kKeys; ++k) t->setObject(Value(1), Value(k));
    t->commit();
  }
  // What the database's snapshot queue does for the store: the latest commit and the snapshot
  // each reader holds, read and written together.
  std::mutex snapshots;
  std::uint64_t committed = 1;
  std::vector<std::uint64_t> pinned(kReaders, kNone);
  std::atomic<bool> done{false};
  std::atomic<int> wrongReads{0};
  std::atomic<int> reads{0};

  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      while (!done) {
        std::uint64_t snapshot;
        {
          std::lock_guard lock(snapshots);
          snapshot = pinned[r] = committed;
        }
        auto reader = table->newReadTransaction(snapshot);
        for (int round = 0; round < 4; ++round) {
          for (int k = 0; k < kKeys; ++k) {
            if (reader->objectForKey(Value(k)).asUInt64() != snapshot) ++wrongReads;
            ++reads;
          }
        }
        std::lock_guard lock(snapshots);
        pinned[r] = kNone;
      }
    });
  }
  std::thread writer([&] {
    for (std::uint64_t s = 2; s <= 200; ++s) {
      auto t = table->newReadWriteTransaction(s);
      for (int k = 0; k < kKeys; ++k) t->setObject(Value(s), Value(k));
      if (s % 7 == 0) {
        t->rollback();  // a failed commit: the next try writes the same snapshot again
        auto again = table->newReadWriteTransaction(s);
        for (int k = 0; k < kKeys; ++k) again->setObject(Value(s), Value(k));
        again->commit();
      } else {
        t->commit();
      }
      std::uint64_t oldest;
      {
        std::lock_guard lock(snapshots);
        committed = s;
        oldest = s;
        for (std::uint64_t p : pinned) oldest = std::min(oldest, p);
      }
      table->asyncCheckpoint(oldest);
    }
    done = true;
  });
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrongReads.load(), 0);
  EXPECT_GT(reads.load(), 0);
  table->asyncCheckpoint(200);
  drain(table);
  EXPECT_EQ(table->versionCount(), static_cast<std::size_t>(kKeys)) << "old versions are cleaned up";
  EXPECT_EQ(table->newReadTransaction(200)->objectForKey(Value(3)), Value(200));
}

TEST(DizMemoryTable, AccessAndModifyBlocksRunOnTheTableQueue) {
  auto table = DizMemoryTable::make("NSString");
  auto t = table->newReadWriteTransaction(1);
  t->modifyWithBlock([&] { t->setObject(Value(1), Value("in-place")); });  // writes in place: no deadlock
  Value seen;
  t->accessWithBlock([&] { seen = t->objectForKey(Value("in-place")); });
  EXPECT_EQ(seen, Value(1));
}

TEST(DizMemoryTable, VersionDescriptionNamesSnapshotOlderVersionAndObject) {
  DizMemoryTableValue older{3, Value("x"), nullptr};
  DizMemoryTableValue value{5, Value("y"), nullptr};
  const std::string text = value.description();
  EXPECT_NE(text.find("<DizMemoryTableValue["), std::string::npos);
  EXPECT_NE(text.find("]: snapshot(5), olderValue("), std::string::npos);
  EXPECT_NE(text.find("), object(y)>"), std::string::npos);
}

}  // namespace
