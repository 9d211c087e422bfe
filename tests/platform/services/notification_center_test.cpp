#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"

using platform::DispatchQueue;
using platform::DispatchSemaphore;
using platform::Notification;
using platform::NotificationCenter;
using platform::NotificationPtr;
using platform::Object;
using platform::ObjectPtr;
using platform::Value;
using ::testing::ElementsAre;

namespace {

class Sender : public Object {
  ZORVEL_CLASS(Sender, Object)
 public:
  Sender() = default;
};

ObjectPtr makeSender() { return platform::make<Sender>(); }

// Records what observers saw, from any thread.
class Log {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

}  // namespace

TEST(NotificationCenter, DeliversByNameAndObjectInRegistrationOrder) {
  auto center = NotificationCenter::create();
  ObjectPtr a = makeSender();
  ObjectPtr b = makeSender();
  Log log;
  auto record = [&](std::string tag) {
    return [&log, tag](const NotificationPtr& n) { log.add(tag + ":" + n->name()); };
  };
  center->addObserver("tick", nullptr, nullptr, record("tick-any"));
  center->addObserver("", nullptr, nullptr, record("all"));
  center->addObserver("tick", a, nullptr, record("tick-a"));
  center->addObserver("", b, nullptr, record("all-b"));

  struct Case {
    const char* name;
    ObjectPtr object;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"tick", nullptr, {"tick-any:tick", "all:tick"}},
      {"tick", a, {"tick-any:tick", "all:tick", "tick-a:tick"}},
      {"tick", b, {"tick-any:tick", "all:tick", "all-b:tick"}},
      {"tock", a, {"all:tock"}},
      {"tock", b, {"all:tock", "all-b:tock"}},
      {"tock", makeSender(), {"all:tock"}},
  };
  for (const auto& c : cases) {
    std::size_t before = log.size();
    center->post(c.name, c.object, Value::dictionary({{"k", Value(1)}}));
    auto entries = log.entries();
    std::vector<std::string> delivered(entries.begin() + static_cast<long>(before), entries.end());
    EXPECT_EQ(delivered, c.expected) << c.name;
  }
}

TEST(NotificationCenter, PassesTheNotificationThrough) {
  auto center = NotificationCenter::create();
  ObjectPtr sender = makeSender();
  NotificationPtr received;
  center->addObserver("changed", nullptr, nullptr, [&](const NotificationPtr& n) { received = n; });
  auto posted = Notification::make("changed", sender, Value::dictionary({{"snapshot", Value(7)}}));
  center->post(posted);
  ASSERT_EQ(received, posted);
  EXPECT_EQ(received->object(), sender);
  EXPECT_EQ(received->userInfo()["snapshot"].asInt64(), 7);
  EXPECT_THAT(received->description(), ::testing::HasSubstr("changed"));
}

TEST(NotificationCenter, WeakObjectNotificationLetsItsObjectGo) {
  auto center = NotificationCenter::create();
  ObjectPtr sender = makeSender();
  std::weak_ptr<Object> watch = sender;
  int matched = 0;
  center->addObserver("changed", sender, nullptr, [&](const NotificationPtr&) { ++matched; });
  auto notification = Notification::makeWithWeakObject("changed", sender);
  EXPECT_EQ(notification->object(), sender);
  center->post(notification);
  EXPECT_EQ(matched, 1);

  sender.reset();
  EXPECT_TRUE(watch.expired()) << "a queued notification must not keep its object alive";
  EXPECT_EQ(notification->object(), nullptr);
  center->post(notification);
  EXPECT_EQ(matched, 1);
  EXPECT_THAT(notification->description(), ::testing::HasSubstr("object = (null)"));
}

TEST(NotificationCenter, HoldsObservedObjectWeaklyAndDropsRegistrationWhenItIsGone) {
  auto center = NotificationCenter::create();
  ObjectPtr sender = makeSender();
  auto captured = std::make_shared<int>(0);
  std::weak_ptr<int> capturedWatch = captured;
  int calls = 0;
  center->addObserver("", sender, nullptr, [&calls, captured](const NotificationPtr&) { ++calls; });
  captured.reset();
  EXPECT_EQ(sender.use_count(), 1);

  center->post("x", sender);
  EXPECT_EQ(calls, 1);
  sender.reset();
  // The next post finds the registration orphaned and lets go of its block.
  center->post("x", makeSender());
  center->post("x", nullptr);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(capturedWatch.expired());
}

TEST(NotificationCenter, ObserversMayRemoveAddAndPostDuringDelivery) {
  auto center = NotificationCenter::create();
  Log log;
  NotificationCenter::ObserverToken self, later, added;
  self = center->addObserver("first", nullptr, nullptr, [&](const NotificationPtr&) {
    log.add("self");
    center->removeObserver(self);   // removing itself inside its own call
    center->removeObserver(later);  // a later observer of the same post is skipped
    added = center->addObserver("first", nullptr, nullptr, [&](const NotificationPtr&) { log.add("added"); });
    center->post("nested");  // posting again from inside a block
  });
  later = center->addObserver("first", nullptr, nullptr, [&](const NotificationPtr&) { log.add("later"); });
  center->addObserver("nested", nullptr, nullptr, [&](const NotificationPtr&) { log.add("nested"); });

  center->post("first");
  EXPECT_THAT(log.entries(), ElementsAre("self", "nested"));  // "added" came too late for this post
  center->post("first");
  EXPECT_THAT(log.entries(), ElementsAre("self", "nested", "added"));
  center->removeObserver(self);  // removing twice does nothing
}

TEST(NotificationCenter, RemovesObserversByOwner) {
  auto center = NotificationCenter::create();
  ObjectPtr sender = makeSender();
  int owner = 0, other = 0;
  Log log;
  center->addObserver(
      "a", nullptr, nullptr, [&](const NotificationPtr&) { log.add("owner-a"); }, &owner);
  center->addObserver(
      "b", sender, nullptr, [&](const NotificationPtr&) { log.add("owner-b"); }, &owner);
  center->addObserver(
      "a", nullptr, nullptr, [&](const NotificationPtr&) { log.add("other-a"); }, &other);

  center->removeObserversOwnedBy(&owner, "b", sender.get());
  center->post("a");
  center->post("b", sender);
  EXPECT_THAT(log.entries(), ElementsAre("owner-a", "other-a"));

  center->removeObserversOwnedBy(&owner);
  center->post("a");
  EXPECT_THAT(log.entries(), ElementsAre("owner-a", "other-a", "other-a"));
}

TEST(NotificationCenter, ExceptionFromBlockReachesPosterAndStopsDelivery) {
  auto center = NotificationCenter::create();
  int laterCalls = 0;
  auto thrower =
      center->addObserver("x", nullptr, nullptr, [](const NotificationPtr&) { throw std::runtime_error("boom"); });
  center->addObserver("x", nullptr, nullptr, [&](const NotificationPtr&) { ++laterCalls; });
  EXPECT_THROW(center->post("x"), std::runtime_error);
  EXPECT_EQ(laterCalls, 0);
  // The failed call left no bookkeeping behind: removal does not wait for it.
  center->removeObserver(thrower);
  center->post("x");
  EXPECT_EQ(laterCalls, 1);
}

TEST(NotificationCenter, QueueObserversRunAsynchronouslyOnTheirQueue) {
  auto center = NotificationCenter::create();
  auto queue = DispatchQueue::createSerial("notification-test");
  static const int key = 0;
  int marker = 1;
  queue->setSpecific(&key, &marker);
  queue->suspend();  // so the post is seen to return before the block runs

  std::atomic<bool> ranOnQueue{false};
  DispatchSemaphore done;
  center->addObserver("x", nullptr, queue, [&](const NotificationPtr&) {
    ranOnQueue = DispatchQueue::getSpecificCurrent(&key) == &marker;
    done.signal();
  });
  center->post("x");
  EXPECT_FALSE(done.wait(0));
  queue->resume();
  ASSERT_TRUE(done.wait(10));
  EXPECT_TRUE(ranOnQueue);
}

TEST(NotificationCenter, RemovalSkipsCallsAlreadyQueued) {
  auto center = NotificationCenter::create();
  auto queue = DispatchQueue::createSerial("notification-test");
  queue->suspend();
  std::atomic<int> calls{0};
  auto token = center->addObserver("x", nullptr, queue, [&](const NotificationPtr&) { ++calls; });
  center->post("x");
  center->removeObserver(token);
  queue->resume();
  queue->sync([] {});
  EXPECT_EQ(calls, 0);
}

TEST(NotificationCenter, MainQueueDeliveryAndPostOnMainQueueAsync) {
  auto center = NotificationCenter::create();
  const auto mainThread = std::this_thread::get_id();
  Log log;
  std::atomic<int> onMainThread{0};
  center->addObserver("main", nullptr, DispatchQueue::main(), [&](const NotificationPtr& n) {
    if (std::this_thread::get_id() == mainThread) ++onMainThread;
    log.add("queued:" + n->name());
  });
  center->addObserver("main", nullptr, nullptr, [&](const NotificationPtr& n) {
    if (std::this_thread::get_id() == mainThread) ++onMainThread;
    log.add("direct:" + n->name());
  });

  center->postOnMainQueueAsync(Notification::make("main"));
  EXPECT_EQ(log.size(), 0u);  // nothing until the main run loop runs
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return log.size() == 2; }, 10));
  EXPECT_THAT(log.entries(), ElementsAre("direct:main", "queued:main"));
  EXPECT_EQ(onMainThread, 2);

  // Posted from another thread: the direct observer runs there, the queued one on the main thread.
  std::thread([&] { center->post("main"); }).join();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return log.size() == 4; }, 10));
  EXPECT_EQ(onMainThread, 3);
}

TEST(NotificationCenter, RemoveObserverWaitsForBlockRunningOnAnotherThread) {
  auto center = NotificationCenter::create();
  DispatchSemaphore started, release;
  std::atomic<bool> finished{false};
  auto token = center->addObserver("slow", nullptr, nullptr, [&](const NotificationPtr&) {
    started.signal();
    release.wait();
    finished = true;
  });
  std::thread poster([&] { center->post("slow"); });
  ASSERT_TRUE(started.wait(10));
  std::atomic<bool> finishedWhenRemoved{false};
  std::thread remover([&] {
    center->removeObserver(token);
    finishedWhenRemoved = finished.load();
  });
  // Give the remover time to reach its wait (only widens the window; the check is the order).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  release.signal();
  remover.join();
  poster.join();
  EXPECT_TRUE(finishedWhenRemoved.load());
}

TEST(NotificationCenter, ConcurrentPostsAndRemovalsNeverCallRemovedObservers) {
  auto center = NotificationCenter::create();
  ObjectPtr sender = makeSender();
  auto queue = DispatchQueue::createConcurrent("notification-stress");
  std::atomic<bool> stop{false};
  std::atomic<int> lateCalls{0};
  std::atomic<long> calls{0};
  center->addObserver("", nullptr, nullptr, [&](const NotificationPtr&) { ++calls; });

  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&, t] {
      while (!stop) center->post(t % 2 ? "a" : "b", t == 0 ? sender : nullptr);
    });
  }
  std::vector<std::thread> churners;
  for (int t = 0; t < 3; ++t) {
    churners.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        auto removedFlag = std::make_shared<std::atomic<bool>>(false);
        auto block = [&, removedFlag](const NotificationPtr&) {
          if (*removedFlag) ++lateCalls;
        };
        auto token =
            center->addObserver(i % 3 == 0 ? "" : "a", i % 2 ? sender : nullptr, t == 0 ? queue : nullptr, block);
        std::this_thread::yield();
        center->removeObserver(token);
        *removedFlag = true;
      }
    });
  }
  for (auto& thread : churners) thread.join();
  stop = true;
  for (auto& thread : posters) thread.join();
  queue->barrierSync([] {});
  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_GT(calls.load(), 0);
}

TEST(NotificationCenter, DefaultCenterIsShared) {
  EXPECT_EQ(NotificationCenter::defaultCenter(), NotificationCenter::defaultCenter());
  int calls = 0;
  auto token = NotificationCenter::defaultCenter()->addObserver("NotificationCenterTestDefault", nullptr, nullptr,
                                                                [&](const NotificationPtr&) { ++calls; });
  NotificationCenter::defaultCenter()->post("NotificationCenterTestDefault");
  NotificationCenter::defaultCenter()->removeObserver(token);
  NotificationCenter::defaultCenter()->post("NotificationCenterTestDefault");
  EXPECT_EQ(calls, 1);
}
