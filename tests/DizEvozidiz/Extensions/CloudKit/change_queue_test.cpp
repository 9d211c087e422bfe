// The cloud sync extension's values and its change queue, without a store: the record hash, the
// archived forms of change sets and change records, the per-record rules by which a commit's
// changes fold into the queued change sets, the in-flight bookkeeping, and the queue used from
// several threads at once (run under ThreadSanitizer in CI).

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/Extensions/CloudKit/DZCKChangeQueue.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKitTransaction.h"
#include "platform/dispatch/run_loop.h"

namespace {

using platform::CloudRecord;
using platform::CloudRecordID;
using platform::CloudRecordIDPtr;
using platform::CloudRecordPtr;
using platform::CloudZoneID;
using platform::Value;

CloudRecordIDPtr rid(const std::string& name) { return CloudRecordID::make(name, CloudZoneID("Events")); }

// A record with the given values set (so they are its changed keys).
CloudRecordPtr rec(const std::string& name, std::vector<std::pair<std::string, std::string>> values = {}) {
  auto record = CloudRecord::make("Events", rid(name));
  for (const auto& [key, value] : values) record->setObject(Value(value), key);
  return record;
}

// "m(r1:short:title=a,...) d(r2,...)" per change set, " | " between them; empty parts left out.
std::string describe(const DZCKChangeSet& cs) {
  std::string out = "m(";
  bool first = true;
  if (cs.modifiedRecords())
    for (const auto& [key, cr] : *cs.modifiedRecords()) {
      out += first ? "" : ",";
      first = false;
      out += cr->recordID()->recordName() + (cr->needsStoreFullRecord() ? ":full:" : ":short:");
      bool firstKey = true;
      for (const std::string& k : cr->changedKeys()) {
        out += firstKey ? "" : "+";
        firstKey = false;
        out += k;
        if (cr->record()) out += "=" + cr->record()->objectForKey(k).description();
      }
    }
  out += ") d(";
  first = true;
  if (cs.deletedRecordIDs())
    for (const auto& id : *cs.deletedRecordIDs()) {
      out += first ? "" : ",";
      first = false;
      out += id->recordName();
    }
  return out + ")";
}

std::string describe(DZCKChangeQueue& queue) {
  std::string out;
  for (const auto& cs : queue.changeSetsFromPreviousCommits()) out += (out.empty() ? "" : " | ") + describe(*cs);
  return out;
}

using Op = std::function<void(DZCKChangeQueue&, DZCKPendingChangeQueue&)>;

// One commit: a pending queue, the operations, the merge.
void commit(DZCKChangeQueue& queue, const std::vector<Op>& ops) {
  auto pending = queue.newPendingQueue();
  for (const Op& op : ops) op(queue, *pending);
  queue.mergePendingQueue(*pending);
}

const DZCKDatabaseIdentifier kDefault;

Op inserted(CloudRecordPtr r) {
  return [r](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) { q.updatePendingQueueWithInsertedRecord(p, r, kDefault); };
}
Op modified(CloudRecordPtr r) {
  return [r](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithModifiedRecord(p, r, kDefault, Value());
  };
}
Op deleted(const std::string& name) {
  return [name](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithDeletedRecordID(p, rid(name), kDefault);
  };
}
Op detached(const std::string& name) {
  return [name](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithDetachedRecordID(p, rid(name), kDefault);
  };
}
Op remoteDeleted(const std::string& name) {
  return [name](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithRemoteDeletedRecordID(p, rid(name), kDefault);
  };
}
Op merged(CloudRecordPtr r) {
  return [r](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) { q.updatePendingQueueWithMergedRecord(p, r, kDefault); };
}
Op saved(CloudRecordPtr r, bool partial) {
  return [r, partial](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithSavedRecord(p, r, kDefault, partial);
  };
}
Op savedDeletion(const std::string& name) {
  return [name](DZCKChangeQueue& q, DZCKPendingChangeQueue& p) {
    q.updatePendingQueueWithSavedDeletedRecordID(p, rid(name), kDefault);
  };
}

TEST(DZCKRecordHash, MatchesTheKnownDigests) {
  struct Case {
    const char* label;
    std::string owner;
    DZCKDatabaseIdentifier database;
    std::string hash;
  };
  const std::string name = "6F9619FF-8B86-4011-B42D-00CF4FC964FF";
  const Case cases[] = {
      {"owner, no database", "owner1", std::nullopt, "JF7O1JZ/N+5TCKmb6YhOVzydRSY="},
      {"owner, database private", "owner1", std::string("private"), "avho2l6DqUTXsz9VCfHHVmg8WSE="},
      {"no owner, no database", "", std::nullopt, "Ca4oNPogoH18NfWB/3m650ONPR0="},
  };
  for (const Case& c : cases) {
    auto id = CloudRecordID::make(name, CloudZoneID("Events", c.owner));
    const std::string hash = DizEvozidizCloudKitTransaction::hashRecordID(*id, c.database);
    EXPECT_EQ(hash, c.hash) << c.label;
    EXPECT_EQ(hash.size(), 28u) << c.label;
  }
  // A long record name takes the heap buffer and still hashes the whole input.
  auto longA = CloudRecordID::make(std::string(5000, 'a') + "x", CloudZoneID("Events", "o"));
  auto longB = CloudRecordID::make(std::string(5000, 'a') + "y", CloudZoneID("Events", "o"));
  EXPECT_NE(DizEvozidizCloudKitTransaction::hashRecordID(*longA, std::nullopt),
            DizEvozidizCloudKitTransaction::hashRecordID(*longB, std::nullopt));
}

TEST(DZCKChangeSet, ArchivesRoundTripInTheirShortAndWholeForms) {
  auto set = std::make_shared<DZCKChangeSet>(std::string("db"));
  set->setUUID("U@0");
  set->deletedRecordIDs() = std::vector<CloudRecordIDPtr>{rid("gone1"), rid("gone2")};
  auto shortRecord = DZCKChangeRecord::make(rec("short", {{"title", "a"}, {"notes", "n"}}));
  auto wholeRecord = DZCKChangeRecord::make(rec("whole", {{"title", "b"}}));
  wholeRecord->setNeedsStoreFullRecord(true);
  wholeRecord->setOriginalValues(Value::dictionary({{"title", "old"}}));
  set->modifiedRecords().emplace();
  (*set->modifiedRecords())[DZCKKeyForRecordID(*rid("short"))] = shortRecord;
  (*set->modifiedRecords())[DZCKKeyForRecordID(*rid("whole"))] = wholeRecord;

  auto restored = DZCKChangeSet::fromRow("U@0", std::nullopt, std::string("db"), set->serializeDeletedRecordIDs(),
                                         set->serializeModifiedRecords());
  ASSERT_TRUE(restored->deletedRecordIDs());
  ASSERT_EQ(restored->deletedRecordIDs()->size(), 2u);
  EXPECT_EQ(restored->deletedRecordIDs()->at(1)->recordName(), "gone2");
  ASSERT_EQ(restored->recordsToSaveCount(), 2u);
  const auto& records = *restored->modifiedRecords();
  const auto& s = records.at(DZCKKeyForRecordID(*rid("short")));
  EXPECT_FALSE(s->record()) << "the short form keeps no values";
  EXPECT_FALSE(s->needsStoreFullRecord());
  EXPECT_EQ(s->recordID()->recordName(), "short");
  EXPECT_EQ(s->changedKeys(), (std::vector<std::string>{"title", "notes"}));
  const auto& w = records.at(DZCKKeyForRecordID(*rid("whole")));
  ASSERT_TRUE(w->record());
  EXPECT_TRUE(w->needsStoreFullRecord());
  EXPECT_EQ(w->record()->objectForKey("title"), Value("b"));
  EXPECT_EQ(w->originalValues()["title"], Value("old"));

  // Setting a record makes the ID and changed keys follow it.
  s->setRecord(rec("short", {{"other", "x"}}));
  EXPECT_EQ(s->changedKeys(), (std::vector<std::string>{"other"}));

  // No deletions, no modifications: NULL columns, restored as nothing and an empty dictionary.
  DZCKChangeSet empty(std::nullopt);
  EXPECT_FALSE(empty.serializeDeletedRecordIDs());
  EXPECT_FALSE(empty.serializeModifiedRecords());
  auto emptyRestored = DZCKChangeSet::fromRow("E@0", std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_FALSE(emptyRestored->deletedRecordIDs());
  ASSERT_TRUE(emptyRestored->modifiedRecords());
  EXPECT_TRUE(emptyRestored->modifiedRecords()->empty());

  // Damaged bytes restore as nothing rather than failing.
  auto damaged =
      DZCKChangeSet::fromRow("D@0", std::nullopt, std::nullopt, platform::Bytes{1, 2, 3}, platform::Bytes{4, 5, 6});
  EXPECT_EQ(damaged->recordIDsToDeleteCount(), 0u);
  EXPECT_EQ(damaged->recordsToSaveCount(), 0u);
}

TEST(DZCKRecord, KeepsSystemFieldsOnly) {
  auto record = rec("r", {{"title", "a"}});
  auto restored = DZCKRecord::deserializeRecord(DZCKRecord::serializeRecord(record));
  ASSERT_TRUE(restored);
  EXPECT_EQ(restored->recordID()->recordName(), "r");
  EXPECT_TRUE(restored->allKeys().empty());
  EXPECT_TRUE(restored->changedKeys().empty());
  EXPECT_TRUE(DZCKChangeRecord::make(DZCKRecord::sanitizedCopy(record))->changedKeys().empty());
  EXPECT_FALSE(DZCKRecord::deserializeRecord(platform::Bytes{0x62, 0x70}));
}

TEST(DZCKRecordTableInfo, OwnerCountNeitherWrapsNorGoesNegative) {
  DZCKDirtyRecordTableInfo low(std::nullopt, rid("r"), 0);
  low.decrementOwnerCount();
  EXPECT_EQ(low.dirtyOwnerCount(), 0);
  DZCKDirtyRecordTableInfo high(std::nullopt, rid("r"), std::numeric_limits<std::int64_t>::max());
  high.incrementOwnerCount();
  EXPECT_EQ(high.dirtyOwnerCount(), std::numeric_limits<std::int64_t>::max());
}

TEST(DZCKChangeQueue, FoldsEachCommitByThePerRecordRules) {
  struct Case {
    const char* label;
    std::vector<std::vector<Op>> commits;
    std::string expected;
  };
  const Case cases[] = {
      {"an insert followed by a delete in one commit queues the deletion only",
       {{inserted(rec("r1", {{"title", "a"}})), deleted("r1")}},
       "m() d(r1)"},
      {"a record modified twice in one commit keeps only the later change",
       {{modified(rec("r1", {{"title", "a"}})), modified(rec("r1", {{"title", "b"}}))}},
       "m(r1:short:title=b) d()"},
      {"a modification of other keys leaves the older change record short",
       {{inserted(rec("r1", {{"title", "a"}}))}, {modified(rec("r1", {{"notes", "n"}}))}},
       "m(r1:short:title=a) d() | m(r1:short:notes=n) d()"},
      {"a modification of the same key makes the older change record whole",
       {{inserted(rec("r1", {{"title", "a"}}))}, {modified(rec("r1", {{"title", "b"}}))}},
       "m(r1:full:title=a) d() | m(r1:short:title=b) d()"},
      {"a deletion makes older change records whole",
       {{inserted(rec("r1", {{"title", "a"}}))}, {deleted("r1")}},
       "m(r1:full:title=a) d() | m() d(r1)"},
      {"a detach makes older change records whole and queues nothing",
       {{inserted(rec("r1", {{"title", "a"}}))}, {detached("r1")}},
       "m(r1:full:title=a) d()"},
      {"a remote deletion drops every older change record and deletion",
       {{inserted(rec("r1", {{"title", "a"}})), inserted(rec("r2", {{"title", "x"}}))},
        {deleted("r1")},
        {remoteDeleted("r1")}},
       "m(r2:short:title=x) d() | m() d()"},
      {"a merge carrying exactly the queued values adds no change set",
       {{inserted(rec("r1", {{"title", "a"}}))}, {merged(rec("r1", {{"title", "a"}}))}},
       "m(r1:short:title=a) d()"},
      {"a merge carrying no changed keys removes the older change records",
       {{inserted(rec("r1", {{"title", "a"}}))}, {merged(rec("r1"))}},
       "m() d()"},
      {"a merge with another value drops the queued one and uploads its own",
       {{inserted(rec("r1", {{"title", "a"}, {"notes", "n"}}))}, {merged(rec("r1", {{"title", "b"}}))}},
       "m() d() | m(r1:short:title=b) d()"},
      {"a merge keeps equal queued values and sends its other keys now",
       {{inserted(rec("r1", {{"title", "a"}}))}, {merged(rec("r1", {{"title", "a"}, {"notes", "m"}}))}},
       "m(r1:short:title=a) d() | m(r1:short:notes=m) d()"},
      {"a saved record gives later change sets its system fields and keeps their values",
       {{inserted(rec("r1", {{"title", "a"}}))},
        {modified(rec("r1", {{"notes", "n"}}))},
        {saved(rec("r1", {{"title", "a"}}), false)}},
       "m(r1:short:title=a) d() | m(r1:short:notes=n) d()"},
      {"a partial completion drops the saved record from the first change set",
       {{inserted(rec("r1", {{"title", "a"}})), inserted(rec("r2", {{"title", "b"}}))},
        {saved(rec("r1", {{"title", "a"}}), true)}},
       "m(r2:short:title=b) d()"},
      {"a partial completion drops the saved deletion from the first change set",
       {{deleted("r1"), deleted("r2")}, {savedDeletion("r1")}},
       "m() d(r2)"},
  };
  for (const Case& c : cases) {
    DZCKChangeQueue queue;
    for (const auto& ops : c.commits) commit(queue, ops);
    EXPECT_EQ(describe(queue), c.expected) << c.label;
  }
}

TEST(DZCKChangeQueue, ChainsTheChangeSetsOfACommit) {
  DZCKChangeQueue queue;
  auto pending = queue.newPendingQueue();
  queue.updatePendingQueueWithInsertedRecord(*pending, rec("a", {{"t", "1"}}), std::nullopt);
  queue.updatePendingQueueWithInsertedRecord(*pending, rec("b", {{"t", "1"}}), std::string("shared"));
  const auto current = pending->changeSetsFromCurrentCommit();
  queue.mergePendingQueue(*pending);
  ASSERT_EQ(current.size(), 2u);
  const std::string first = *current[0]->uuid(), second = *current[1]->uuid();
  EXPECT_FALSE(current[0]->prev()) << "the first change set of an empty queue has no predecessor";
  EXPECT_EQ(current[1]->prev(), current[0]->uuid());
  EXPECT_EQ(first.substr(0, first.size() - 1), second.substr(0, second.size() - 1));
  EXPECT_EQ(first.substr(first.size() - 2), "@0");
  EXPECT_EQ(second.substr(second.size() - 2), "@1");

  commit(queue, {inserted(rec("c", {{"t", "1"}}))});
  auto all = queue.changeSetsFromPreviousCommits();
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[2]->prev(), all[1]->uuid()) << "a later commit chains after the last queued change set";
}

TEST(DZCKChangeQueue, KeepsOneChangeSetInFlight) {
  DZCKChangeQueue queue;
  bool already = true;
  EXPECT_FALSE(queue.makeInFlightChangeSet(&already));
  EXPECT_FALSE(already);
  commit(queue, {inserted(rec("a", {{"t", "1"}}))});
  commit(queue, {inserted(rec("b", {{"t", "1"}}))});
  auto flying = queue.makeInFlightChangeSet(&already);
  ASSERT_TRUE(flying);
  EXPECT_FALSE(already);
  EXPECT_FALSE(queue.makeInFlightChangeSet(&already));
  EXPECT_TRUE(already) << "the first change set is already being uploaded";
  std::size_t inFlight = 9, queued = 9;
  queue.getNumberOfInFlightChangeSets(&inFlight, &queued);
  EXPECT_EQ(inFlight, 1u);
  EXPECT_EQ(queued, 1u);
  EXPECT_EQ(queue.numberOfPendingChangeSets(), 2u);

  // The full copy is the uploader's own: changing it leaves the queue alone.
  flying->modifiedRecords()->clear();
  EXPECT_EQ(queue.currentChangeSet()->recordsToSaveCount(), 1u);

  queue.resetFailedInFlightChangeSet();
  EXPECT_EQ(queue.numberOfInFlightChangeSets(), 0u);
  EXPECT_EQ(queue.currentChangeSetUUID(), flying->uuid()) << "a failed change set stays first";
  ASSERT_TRUE(queue.makeInFlightChangeSet());
  queue.removeCompletedInFlightChangeSet();
  EXPECT_EQ(queue.numberOfPendingChangeSets(), 1u);
  EXPECT_NE(queue.currentChangeSetUUID(), flying->uuid());
}

TEST(DZCKChangeQueue, AnswersPendingChangesAndMergesThemOldestFirst) {
  DZCKChangeQueue queue;
  commit(queue, {inserted(rec("r", {{"title", "old"}, {"notes", "n"}}))});
  commit(queue, {modified(rec("r", {{"title", "new"}})), deleted("x")});
  bool modification = false, deletion = false;
  queue.getHasPendingModification(&modification, &deletion, *rid("r"), std::nullopt);
  EXPECT_TRUE(modification);
  EXPECT_FALSE(deletion);
  queue.getHasPendingModification(&modification, &deletion, *rid("x"), std::nullopt);
  EXPECT_FALSE(modification);
  EXPECT_TRUE(deletion);
  queue.getHasPendingModification(&modification, &deletion, *rid("r"), std::string("other"));
  EXPECT_FALSE(modification) << "another database's queue is not this one's";

  DZCKMergeInfo info;
  info.setPendingLocalRecord(DZCKRecord::sanitizedCopy(rec("r")));
  EXPECT_TRUE(queue.mergeChangesForRecordID(*rid("r"), std::nullopt, info));
  EXPECT_EQ(info.pendingLocalRecord()->objectForKey("title"), Value("new")) << "newer values win";
  EXPECT_EQ(info.pendingLocalRecord()->objectForKey("notes"), Value("n"));
}

// The queue and the suspend count are shared by the committing connections, the upload
// dispatcher and the application's threads; every access is under its lock.
TEST(DZCKChangeQueue, StaysConsistentUnderConcurrentUse) {
  DZCKChangeQueue queue;
  std::atomic<bool> stop{false};
  std::atomic<int> uploaded{0};
  std::vector<std::thread> threads;
  constexpr int kCommitsPerWriter = 200;
  for (int w = 0; w < 2; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < kCommitsPerWriter; ++i)
        commit(queue, {inserted(rec("w" + std::to_string(w) + "_" + std::to_string(i), {{"t", "1"}}))});
    });
  threads.emplace_back([&] {
    while (!stop) {
      if (queue.makeInFlightChangeSet()) {
        queue.removeCompletedInFlightChangeSet();
        ++uploaded;
      }
    }
  });
  threads.emplace_back([&] {
    while (!stop) {
      std::size_t inFlight = 0, queued = 0;
      queue.getNumberOfInFlightChangeSets(&inFlight, &queued);
      EXPECT_LE(inFlight, 1u);
      (void)queue.currentChangeSet();
      (void)queue.lockUUID();
    }
  });
  threads[0].join();
  threads[1].join();
  while (queue.numberOfPendingChangeSets() > 0) std::this_thread::yield();
  stop = true;
  threads[2].join();
  threads[3].join();
  EXPECT_EQ(uploaded.load(), 2 * kCommitsPerWriter) << "every change set was taken exactly once";
}

TEST(DizEvozidizCloudKitSuspension, CountsFromSeveralThreads) {
  auto handler =
      DizEvozidizCloudKitRecordHandler::withKeyBlock([](DizEvozidizReadWriteTransaction&, CloudRecordPtr&,
                                                        DZCKRecordInfo&, const std::string&, const std::string&) {});
  auto cloud = DizEvozidizCloudKit::make(handler, {}, [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {});
  ASSERT_TRUE(cloud);
  EXPECT_EQ(cloud->resume(), 0u) << "resuming at zero changes nothing";
  EXPECT_EQ(cloud->suspendWithCount(0), 0u);
  EXPECT_FALSE(cloud->isSuspended());

  std::vector<std::thread> threads;
  constexpr int kPerThread = 500;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kPerThread; ++i) cloud->suspend();
      for (int i = 0; i < kPerThread; ++i) {
        cloud->resume();
        (void)cloud->isSuspended();
      }
    });
  cloud->suspend();
  for (auto& t : threads) t.join();
  EXPECT_EQ(cloud->suspendCount(), 1u) << "as many resumes as suspensions, plus the one left";
  EXPECT_EQ(cloud->resume(), 0u);

  cloud->suspendWithCount(std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(cloud->suspendWithCount(5), std::numeric_limits<std::uint64_t>::max()) << "the count saturates";
  // The notifications posted from the threads reach the main queue; deliver them here.
  platform::runMainLoopUntil([] { return false; }, 0.05);
}

}  // namespace

namespace {

TEST(DizEvozidizCloudKitDatabases, ResolvesIdentifiersOnceAndRaisesOnMisuse) {
  auto handler =
      DizEvozidizCloudKitRecordHandler::withKeyBlock([](DizEvozidizReadWriteTransaction&, CloudRecordPtr&,
                                                        DZCKRecordInfo&, const std::string&, const std::string&) {});
  auto onError = [](const DZCKDatabaseIdentifier&, const platform::ErrorPtr&) {};
  auto asked = std::make_shared<std::atomic<int>>(0);
  auto container = platform::CloudContainer::createWithConnectionString("test.container", "host=127.0.0.1 port=1");
  auto cloud = DizEvozidizCloudKit::make(handler, {}, onError, [asked, container](const std::string& identifier) {
    ++*asked;
    return identifier == "none" ? nullptr : container->privateCloudDatabase();
  });
  ASSERT_TRUE(cloud);
  EXPECT_TRUE(cloud->databaseForIdentifier(std::nullopt)) << "no identifier: the default container's database";
  EXPECT_EQ(asked->load(), 0);
  auto first = cloud->databaseForIdentifier(std::string("shared"));
  EXPECT_EQ(cloud->databaseForIdentifier(std::string("shared")), first);
  EXPECT_EQ(asked->load(), 1) << "a resolved identifier is served from the cache";

  struct Case {
    const char* label;
    DizEvozidizCloudKitPtr extension;
    std::string identifier;
  };
  const Case cases[] = {
      {"an identifier without a database identifier closure", DizEvozidizCloudKit::make(handler, {}, onError), "x"},
      {"a closure that finds no database", cloud, "none"},
  };
  for (const Case& c : cases) {
    try {
      (void)c.extension->databaseForIdentifier(c.identifier);
      ADD_FAILURE() << c.label << ": no exception";
    } catch (const platform::Exception& e) {
      EXPECT_EQ(e.name(), DizEvozidizCloudKitExceptionName) << c.label;
      EXPECT_NE(std::string(e.reason()).find("(" + c.identifier + ")"), std::string::npos) << c.label;
    }
  }
}

}  // namespace
