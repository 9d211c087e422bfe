// The reachability wrapper over a network monitor the test controls, and the manager's two-state
// machine driven by it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/reachability/Reachability.h"
#include "app/reachability/ZRVReachabilityManager.h"
#include "app/reachability/test_network_monitor.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "platform/system/this_thread.h"

namespace {

using namespace zorvel::test;
using testing::ElementsAre;

// Counts the posts of one notification name on the default centre, with the thread each came on.
class PostCounter {
 public:
  explicit PostCounter(std::string_view name) {
    token_ = platform::NotificationCenter::defaultCenter()->addObserver(
        std::string(name), nullptr, nullptr, [this](const platform::NotificationPtr& n) {
          std::lock_guard lock(mutex_);
          objects_.push_back(n->object());
          labels_.push_back(platform::DispatchQueue::currentQueueLabel());
        });
  }
  ~PostCounter() { platform::NotificationCenter::defaultCenter()->removeObserver(token_); }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return objects_.size();
  }
  std::vector<std::string> labels() const {
    std::lock_guard lock(mutex_);
    return labels_;
  }
  std::vector<platform::ObjectPtr> objects() const {
    std::lock_guard lock(mutex_);
    return objects_;
  }
  bool waitFor(std::size_t n, double seconds = 5) {
    return platform::runMainLoopUntil([&] { return count() >= n; }, seconds);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<platform::ObjectPtr> objects_;
  std::vector<std::string> labels_;
  platform::NotificationCenter::ObserverToken token_;
};

// What the wrapper's closures saw: "reachable" / "unreachable", and the queue they ran on.
struct Calls {
  std::mutex mutex;
  std::vector<std::string> kinds;
  std::vector<std::string> queues;
  std::size_t size() {
    std::lock_guard lock(mutex);
    return kinds.size();
  }
};

void record(Reachability& wrapper, const std::shared_ptr<Calls>& calls) {
  wrapper.setReachableBlock([calls](Reachability&) {
    std::lock_guard lock(calls->mutex);
    calls->kinds.push_back("reachable");
    calls->queues.push_back(platform::DispatchQueue::currentQueueLabel());
  });
  wrapper.setUnreachableBlock([calls](Reachability&) {
    std::lock_guard lock(calls->mutex);
    calls->kinds.push_back("unreachable");
    calls->queues.push_back(platform::DispatchQueue::currentQueueLabel());
  });
}

bool waitForCalls(const std::shared_ptr<Calls>& calls, std::size_t n) {
  return platform::runMainLoopUntil([&] { return calls->size() >= n; }, 5);
}

TEST(Reachability, AStartAsksOnceAndEveryChangeReachesTheClosuresOnTheSerialQueue) {
  TestMonitor monitor;
  auto wrapper = Reachability::reachabilityWithHostname("example.com", monitor.get());
  ASSERT_TRUE(wrapper);
  EXPECT_TRUE(wrapper->reachableOnWWAN());
  EXPECT_FALSE(wrapper->flags());  // nothing known before an answer
  EXPECT_FALSE(wrapper->isReachable());
  EXPECT_EQ(wrapper->currentReachabilityFlags(), "X- -------");
  auto calls = std::make_shared<Calls>();
  record(*wrapper, calls);
  PostCounter posts(kReachabilityChangedNotification);

  ASSERT_TRUE(wrapper->startNotifier());
  ASSERT_TRUE(waitForCalls(calls, 1));
  EXPECT_EQ(wrapper->reachabilityFlags(), 0u);
  monitor.change(true);
  ASSERT_TRUE(waitForCalls(calls, 2));
  ASSERT_TRUE(posts.waitFor(2));

  std::lock_guard lock(calls->mutex);
  EXPECT_THAT(calls->kinds, ElementsAre("unreachable", "reachable"));
  EXPECT_THAT(calls->queues,
              ElementsAre(wrapper->reachabilitySerialQueue()->label(), wrapper->reachabilitySerialQueue()->label()));
  EXPECT_TRUE(wrapper->isReachable());
  EXPECT_TRUE(wrapper->isReachableViaWiFi());
  EXPECT_FALSE(wrapper->isReachableViaWWAN());
  EXPECT_FALSE(wrapper->isConnectionRequired());
  EXPECT_EQ(wrapper->currentReachabilityStatus(), ReachableViaWiFi);
  EXPECT_EQ(wrapper->currentReachabilityString(), "WiFi");
  EXPECT_EQ(wrapper->currentReachabilityFlags(), "XR -------");
  EXPECT_THAT(wrapper->description(), testing::MatchesRegex("<Reachability: 0x[0-9a-f]+ \\(XR -------\\)>"));
  // Posted on the main queue, about the wrapper.
  EXPECT_THAT(posts.labels(),
              ElementsAre(platform::DispatchQueue::main()->label(), platform::DispatchQueue::main()->label()));
  EXPECT_EQ(posts.objects()[0], wrapper);
  wrapper->stopNotifier();
}

TEST(Reachability, ASecondStartRegistersNothingNew) {
  TestMonitor monitor;
  auto wrapper = Reachability::reachabilityWithHostname("example.com", monitor.get());
  auto calls = std::make_shared<Calls>();
  record(*wrapper, calls);
  ASSERT_TRUE(wrapper->startNotifier());
  ASSERT_TRUE(wrapper->startNotifier());
  ASSERT_TRUE(waitForCalls(calls, 1));
  const int asked = monitor.questions();
  monitor.change(true);
  ASSERT_TRUE(waitForCalls(calls, 2));
  platform::RunLoop::main().runFor(0.1);
  EXPECT_EQ(monitor.questions(), asked + 1);  // one handler, one question per change
  EXPECT_EQ(calls->size(), 2u);
  wrapper->stopNotifier();
}

TEST(Reachability, AStoppedWrapperHearsNothingAndARunningOneNeedsNoOwner) {
  TestMonitor monitor;
  auto calls = std::make_shared<Calls>();
  std::weak_ptr<Reachability> weak;
  {
    auto wrapper = Reachability::reachabilityWithHostname("example.com", monitor.get());
    record(*wrapper, calls);
    ASSERT_TRUE(wrapper->startNotifier());
    weak = wrapper;
  }
  ASSERT_TRUE(waitForCalls(calls, 1));
  auto wrapper = weak.lock();
  ASSERT_TRUE(wrapper) << "a running wrapper keeps itself";
  EXPECT_TRUE(wrapper->isRunning());
  wrapper->stopNotifier();
  EXPECT_FALSE(wrapper->isRunning());
  const int asked = monitor.questions();
  monitor.change(true);
  platform::RunLoop::main().runFor(0.1);
  EXPECT_EQ(monitor.questions(), asked);
  EXPECT_EQ(calls->size(), 1u);
  wrapper.reset();
  EXPECT_FALSE(weak.lock()) << "a stopped wrapper goes with its last owner";
}

TEST(Reachability, TheDefaultRouteFollowsTheNetworksAvailability) {
  TestMonitor monitor;
  auto wrapper = Reachability::reachabilityForInternetConnection(monitor.get());
  ASSERT_TRUE(wrapper);
  auto calls = std::make_shared<Calls>();
  record(*wrapper, calls);
  ASSERT_TRUE(wrapper->startNotifier());
  ASSERT_TRUE(waitForCalls(calls, 1));
  monitor.change(true);
  ASSERT_TRUE(waitForCalls(calls, 2));
  EXPECT_THAT(calls->kinds, ElementsAre("unreachable", "reachable"));
  EXPECT_EQ(monitor.questions(), 0);  // answered by availability, not by a question
  wrapper->stopNotifier();
  EXPECT_TRUE(Reachability::reachabilityForLocalWiFi(monitor.get()));
}

TEST(Reachability, ConstructorsRefuseWhatNamesNoTarget) {
  TestMonitor monitor;
  EXPECT_FALSE(Reachability::reachabilityWithHostname("", monitor.get()));
  sockaddr unix{};
  unix.sa_family = AF_UNIX;
  EXPECT_FALSE(Reachability::reachabilityWithAddress(&unix, sizeof(unix), monitor.get()));
  sockaddr_in shortAddress{};
  shortAddress.sin_family = AF_INET;
  EXPECT_FALSE(Reachability::reachabilityWithAddress(reinterpret_cast<sockaddr*>(&shortAddress), 4, monitor.get()));
}

// GIO_USE_NETWORK_MONITOR=base makes the system's monitor one that always has a route: with it,
// a name that resolves here is reachable.
TEST(Reachability, TheSystemsMonitorAnswersForAHostName) {
  setenv("GIO_USE_NETWORK_MONITOR", "base", 1);
  auto wrapper = Reachability::reachabilityWithHostname("localhost");
  ASSERT_TRUE(wrapper);
  auto calls = std::make_shared<Calls>();
  record(*wrapper, calls);
  ASSERT_TRUE(wrapper->startNotifier());
  ASSERT_TRUE(waitForCalls(calls, 1));
  EXPECT_THAT(calls->kinds, ElementsAre("reachable"));
  EXPECT_EQ(wrapper->reachabilityFlags(), kReachabilityFlagReachable);
  wrapper->stopNotifier();
}

class ReachabilityManager : public testing::Test {
 protected:
  TestMonitor monitor;
};

TEST_F(ReachabilityManager, StartsNotReachableAndEachRealChangePostsOnce) {
  PostCounter posts(ZRVReachabilityStateChangedNotification);
  auto manager = ZRVReachabilityManager::create("example.com", monitor.get());
  // The first entry posts at once, on this thread.
  EXPECT_EQ(posts.count(), 1u);
  EXPECT_EQ(manager->state(), 0u);
  platform::RunLoop::main().runFor(0.2);  // the first answer: not reachable, no entry
  EXPECT_EQ(posts.count(), 1u);

  monitor.change(true);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return manager->state() == 1; }, 5));
  monitor.change(true);  // the same answer again
  platform::RunLoop::main().runFor(0.2);
  EXPECT_EQ(posts.count(), 2u);
  EXPECT_EQ(posts.labels()[1], manager->reachability()->reachabilitySerialQueue()->label());

  monitor.change(false);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return manager->state() == 0; }, 5));
  platform::RunLoop::main().runFor(0.1);
  EXPECT_EQ(posts.count(), 3u);
}

TEST_F(ReachabilityManager, ObserversMayReadTheStateWhenTheyArePosted) {
  std::atomic<std::uint64_t> seen{99};
  std::shared_ptr<ZRVReachabilityManager> manager;
  std::atomic<ZRVReachabilityManager*> current{nullptr};
  auto token = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(ZRVReachabilityStateChangedNotification), nullptr, nullptr, [&](const platform::NotificationPtr&) {
        if (auto* m = current.load()) seen = m->state();
      });
  manager = ZRVReachabilityManager::create("example.com", monitor.get());
  current = manager.get();
  monitor.change(true);
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return seen.load() == 1; }, 5));
  current = nullptr;
  platform::NotificationCenter::defaultCenter()->removeObserver(token);
}

TEST(ReachabilityStateMachine, EachStateAcceptsOnlyTheOtherAsItsNext) {
  ZRVStateMachine machine(
      {platform::make<ZRVReachabilityStateNotReachable>(), platform::make<ZRVReachabilityStateReachable>()});
  const auto& reachable = ZRVReachabilityStateReachable::staticClass();
  const auto& notReachable = ZRVReachabilityStateNotReachable::staticClass();
  EXPECT_TRUE(machine.canEnterState(reachable));  // nothing current: anything
  EXPECT_TRUE(machine.enterState(notReachable));
  EXPECT_FALSE(machine.canEnterState(notReachable));
  EXPECT_FALSE(machine.enterState(notReachable));
  EXPECT_TRUE(machine.enterState(reachable));
  EXPECT_FALSE(machine.enterState(reachable));
  EXPECT_FALSE(machine.canEnterState(ZRVReachabilityState::staticClass()));  // not one of its states
  EXPECT_EQ(std::static_pointer_cast<ZRVReachabilityState>(machine.currentState())->type(), 1u);
}

}  // namespace
