#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace {

using platform::KeyValueChange;
using platform::KeyValueChangeKind;
using platform::Value;

class KvoNode : public platform::Object {
  ZORVEL_CLASS(KvoNode, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, name, setName)
  ZORVEL_PROPERTY(std::int64_t, count, setCount)
  ZORVEL_PROPERTY(std::shared_ptr<KvoNode>, next, setNext)
  ZORVEL_PROPERTY(std::weak_ptr<KvoNode>, owner, setOwner)
  ZORVEL_READONLY_PROPERTY(std::string, token)
  ZORVEL_PROPERTY(platform::ValueArray, items, setItems)
  // "quiet" is announced by hand only.
  ZORVEL_PROPERTY(std::int64_t, quiet, setQuiet)
  bool automaticallyNotifiesObserversForKey(std::string_view key) const override {
    return key != "quiet" && Object::automaticallyNotifiesObserversForKey(key);
  }

  // An indexed insertion into the to-many "items".
  void insertItem(Value item, std::size_t index) {
    willChange(KeyValueChangeKind::Insertion, {index}, "items");
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(index), std::move(item));
    didChange(KeyValueChangeKind::Insertion, {index}, "items");
  }
  void removeItem(std::size_t index) {
    willChange(KeyValueChangeKind::Removal, {index}, "items");
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    didChange(KeyValueChangeKind::Removal, {index}, "items");
  }
};

struct Record {
  std::string keyPath;
  platform::Object* object;
  KeyValueChange change;
  void* context;
};

class Recorder : public platform::KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, platform::Object& object, const KeyValueChange& change,
                              void* context) override {
    std::lock_guard lock(mutex);
    records.push_back({std::string(keyPath), &object, change, context});
    if (onRecord) onRecord(records.back());
  }
  std::vector<Record> take() {
    std::lock_guard lock(mutex);
    return std::exchange(records, {});
  }
  std::size_t size() {
    std::lock_guard lock(mutex);
    return records.size();
  }
  std::mutex mutex;
  std::vector<Record> records;
  std::function<void(const Record&)> onRecord;
};

constexpr unsigned kNewOld = platform::ObserveNew | platform::ObserveOld;

std::string summary(const KeyValueChange& c) {
  std::string s = c.isPrior ? "prior" : "change";
  s += " kind=" + std::to_string(static_cast<int>(c.kind));
  if (!c.oldValue.isNil()) s += " old=" + c.oldValue.description();
  if (!c.newValue.isNil()) s += " new=" + c.newValue.description();
  for (std::size_t i : c.indexes) s += " @" + std::to_string(i);
  return s;
}
std::vector<std::string> summaries(const std::vector<Record>& records) {
  std::vector<std::string> out;
  for (const Record& r : records) out.push_back(summary(r.change));
  return out;
}

TEST(KeyValueObserving, SettersDeliverNewAndOldValuesWithTheRegistration) {
  auto node = platform::make<KvoNode>();
  auto recorder = std::make_shared<Recorder>();
  int context = 0;
  node->addObserver(recorder, "count", kNewOld, &context);
  node->setCount(3);
  node->setValueForKey(Value(4), "count");
  node->setName("ignored");
  auto records = recorder->take();
  EXPECT_THAT(summaries(records), testing::ElementsAre("change kind=1 old=0 new=3", "change kind=1 old=3 new=4"));
  EXPECT_EQ(records[0].keyPath, "count");
  EXPECT_EQ(records[0].object, node.get());
  EXPECT_EQ(records[0].context, &context);

  // Without options the record carries neither value; nil values come as the null marker.
  auto plain = std::make_shared<Recorder>();
  node->addObserver(plain, "next", 0);
  node->addObserver(recorder, "next", kNewOld);
  node->setNext(platform::make<KvoNode>());
  EXPECT_THAT(summaries(plain->take()), testing::ElementsAre("change kind=1"));
  EXPECT_THAT(recorder->take()[0].change.oldValue.isNull(), true);
}

TEST(KeyValueObserving, InitialComesAtRegistrationAndPriorBeforeEachChange) {
  auto node = platform::make<KvoNode>();
  node->setName("a");
  auto recorder = std::make_shared<Recorder>();
  node->addObserver(recorder, "name", kNewOld | platform::ObserveInitial | platform::ObservePrior);
  EXPECT_EQ(recorder->size(), 1u);  // before addObserver returned
  recorder->onRecord = [&](const Record& r) {
    // The prior notification arrives while the old value is still in place.
    if (r.change.isPrior) {
      EXPECT_EQ(node->name(), "a");
    }
  };
  node->setName("b");
  auto records = recorder->take();
  EXPECT_THAT(summaries(records),
              testing::ElementsAre("change kind=1 new=a", "prior kind=1 old=a", "change kind=1 old=a new=b"));
  EXPECT_EQ(records[1].change.dictionary()["notificationIsPrior"], Value(true));
  EXPECT_EQ(records[2].change.dictionary(),
            Value::dictionary({{"kind", Value(1)}, {"new", Value("b")}, {"old", Value("a")}}));
}

TEST(KeyValueObserving, IndexedChangesCarryKindIndexesAndElements) {
  auto node = platform::make<KvoNode>();
  node->setItems({Value("x"), Value("z")});
  auto recorder = std::make_shared<Recorder>();
  node->addObserver(recorder, "items", kNewOld | platform::ObservePrior);
  node->insertItem(Value("y"), 1);
  node->removeItem(0);
  EXPECT_THAT(summaries(recorder->take()),
              testing::ElementsAre("prior kind=2 @1", "change kind=2 new=(\n    y\n) @1",
                                   "prior kind=3 old=(\n    x\n) @0", "change kind=3 old=(\n    x\n) @0"));
  EXPECT_EQ(node->items(), (platform::ValueArray{Value("y"), Value("z")}));
}

TEST(KeyValueObserving, KeysOptedOutNotifyOnlyByHand) {
  auto node = platform::make<KvoNode>();
  auto recorder = std::make_shared<Recorder>();
  node->addObserver(recorder, "quiet", kNewOld);
  node->setQuiet(1);
  EXPECT_EQ(recorder->size(), 0u);
  node->willChangeValueForKey("quiet");
  node->setQuiet(2);
  node->didChangeValueForKey("quiet");
  EXPECT_THAT(summaries(recorder->take()), testing::ElementsAre("change kind=1 old=1 new=2"));

  // Read-only storage written by key-value coding is announced too.
  node->addObserver(recorder, "token", platform::ObserveNew);
  node->setValueForKey(Value("t1"), "token");
  EXPECT_THAT(summaries(recorder->take()), testing::ElementsAre("change kind=1 new=t1"));
}

TEST(KeyValueObserving, DottedPathsFollowReplacedIntermediates) {
  auto root = platform::make<KvoNode>();
  auto first = platform::make<KvoNode>();
  first->setName("first");
  root->setNext(first);
  auto recorder = std::make_shared<Recorder>();
  root->addObserver(recorder, "next.name", kNewOld);

  first->setName("first2");
  auto second = platform::make<KvoNode>();
  second->setName("second");
  root->setNext(second);
  first->setName("stale");  // detached: no longer heard
  second->setName("second2");
  root->setNext(nullptr);
  second->setName("detached too");
  auto records = recorder->take();
  EXPECT_THAT(summaries(records),
              testing::ElementsAre("change kind=1 old=first new=first2", "change kind=1 old=first2 new=second",
                                   "change kind=1 old=second new=second2", "change kind=1 old=second2 new=<null>"));
  for (const Record& r : records) {
    EXPECT_EQ(r.keyPath, "next.name");
    EXPECT_EQ(r.object, root.get());
  }
}

TEST(KeyValueObserving, ThreeLevelPathsRebindAtEveryLevel) {
  auto a = platform::make<KvoNode>();
  auto b = platform::make<KvoNode>();
  auto c = platform::make<KvoNode>();
  a->setNext(b);
  b->setNext(c);
  auto recorder = std::make_shared<Recorder>();
  a->addObserver(recorder, "next.next.count", platform::ObserveNew);
  c->setCount(1);
  auto c2 = platform::make<KvoNode>();
  c2->setCount(2);
  b->setNext(c2);
  c->setCount(99);
  c2->setCount(3);
  a->removeObserver(recorder.get(), "next.next.count");
  c2->setCount(4);
  EXPECT_THAT(summaries(recorder->take()),
              testing::ElementsAre("change kind=1 new=1", "change kind=1 new=2", "change kind=1 new=3"));
}

TEST(KeyValueObserving, RemovedObserversAreNotCalledAndBadRemovalRaises) {
  auto node = platform::make<KvoNode>();
  auto recorder = std::make_shared<Recorder>();
  int ctx1 = 0, ctx2 = 0;
  node->addObserver(recorder, "count", platform::ObserveNew, &ctx1);
  node->addObserver(recorder, "count", platform::ObserveNew, &ctx2);
  node->removeObserver(recorder.get(), "count");  // the most recent: ctx2
  node->setCount(1);
  auto records = recorder->take();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].context, &ctx1);
  node->removeObserver(recorder.get(), "count", &ctx1);
  node->setCount(2);
  EXPECT_EQ(recorder->size(), 0u);

  try {
    node->removeObserver(recorder.get(), "count");
    FAIL() << "expected a raise";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "NSRangeException");
    EXPECT_THAT(e.reason(),
                testing::MatchesRegex("Cannot remove an observer <KeyValueObserver 0x[0-9a-f]+> for the key "
                                      "path \"count\" from <KvoNode 0x[0-9a-f]+> because it is not "
                                      "registered as an observer\\."));
  }
}

TEST(KeyValueObserving, ObserversMayRemoveThemselvesAndOthersDuringDelivery) {
  auto node = platform::make<KvoNode>();
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  node->addObserver(first, "count", 0);
  node->addObserver(second, "count", 0);
  first->onRecord = [&](const Record&) {
    node->removeObserver(first.get(), "count");
    node->removeObserver(second.get(), "count");
  };
  node->setCount(1);
  node->setCount(2);
  EXPECT_EQ(first->size(), 1u);
  EXPECT_EQ(second->size(), 0u);  // removed before its turn came
}

TEST(KeyValueObserving, GoneObserversAndObjectsAreSkippedSafely) {
  auto node = platform::make<KvoNode>();
  auto recorder = std::make_shared<Recorder>();
  node->addObserver(recorder, "count", 0);
  recorder.reset();  // held weakly
  node->setCount(1);

  // An intermediate that goes away while observed, and a root that goes away while registered.
  auto root = platform::make<KvoNode>();
  auto mid = platform::make<KvoNode>();
  root->setNext(mid);
  auto watcher = std::make_shared<Recorder>();
  root->addObserver(watcher, "next.count", platform::ObserveNew);
  mid->addObserver(watcher, "count", 0);
  root->setNext(nullptr);
  mid.reset();
  root.reset();
  EXPECT_EQ(watcher->size(), 1u);
}

// Counts only the notifications delivered on one thread.
class ThreadRecorder : public platform::KeyValueObserver {
 public:
  explicit ThreadRecorder(std::thread::id id) : id_(id) {}
  void observeValueForKeyPath(std::string_view, platform::Object&, const KeyValueChange&, void*) override {
    if (std::this_thread::get_id() == id_) ++count;
  }
  std::atomic<int> count{0};

 private:
  std::thread::id id_;
};

// Generated accessors are non-atomic, so each writer thread owns its object; the observation
// tables and observers are what is shared.
TEST(KeyValueObserving, ConcurrentChangesAndRegistrationsAreSafe) {
  constexpr int kWriters = 3, kSets = 300;
  std::vector<std::shared_ptr<KvoNode>> nodes;
  for (int t = 0; t < kWriters; ++t) nodes.push_back(platform::make<KvoNode>());
  auto steady = std::make_shared<Recorder>();
  for (auto& node : nodes) node->addObserver(steady, "count", platform::ObserveNew);

  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t)
    writers.emplace_back([&, t] {
      for (int i = 0; i < kSets; ++i) nodes[static_cast<std::size_t>(t)]->setCount(i);
    });
  std::thread registrar([&] {
    auto root = platform::make<KvoNode>();
    while (!stop.load()) {
      // Registrations on the writers' objects, directly and as the intermediate of a path.
      auto transient = std::make_shared<Recorder>();
      nodes[0]->addObserver(transient, "count", platform::ObserveNew);
      auto own = std::make_shared<ThreadRecorder>(std::this_thread::get_id());
      root->setNext(nodes[1]);
      root->addObserver(own, "next.count", 0);
      root->setNext(nodes[2]);
      root->setNext(nodes[1]);
      nodes[0]->removeObserver(transient.get(), "count");
      root->removeObserver(own.get(), "next.count");
      int seen = own->count.load();
      EXPECT_EQ(seen, 2);
      root->setNext(nodes[2]);
      EXPECT_EQ(own->count.load(), seen);  // not called after removal
    }
  });
  for (auto& w : writers) w.join();
  stop = true;
  registrar.join();
  EXPECT_EQ(steady->size(), static_cast<std::size_t>(kWriters * kSets));
}

}  // namespace
