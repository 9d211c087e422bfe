#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cloud_test_support.h"
#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_operations.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"

namespace platform {
namespace {

using namespace cloudtest;

constexpr double kLong = 20.0;

void subscribe(const CloudDatabasePtr& database, const std::string& zone) {
  CloudRecordZoneSubscription subscription(CloudZoneID(zone), zone);
  subscription.notificationInfo.shouldSendContentAvailable = true;
  auto op = CloudModifySubscriptionsOperation::make({subscription}, {});
  ErrorPtr error;
  op->setModifySubscriptionsCompletionBlock([&](auto&, auto&, const ErrorPtr& e) { error = e; });
  run(database, op);
  ASSERT_EQ(error, nullptr) << error->description();
}

struct Pushes {
  std::vector<CloudPushNotification> received;  // main thread only
  bool allOnMain = true;
  CloudContainer::PushHandler handler() {
    return [this](const CloudPushNotification& push) {
      allOnMain = allOnMain && isMainThread();
      received.push_back(push);
    };
  }
};

// Zone "Events" with a subscription, written through `writer`, and another container of the same
// user listening for pushes into `pushes`.
CloudContainerPtr listeningDevice(const User& user, const CloudDatabasePtr& writer, Pushes& pushes) {
  makeZone(writer, "Events");
  subscribe(writer, "Events");
  auto device = containerFor(user);
  device->setPushHandler(pushes.handler());
  EXPECT_TRUE(runMainLoopUntil([&] { return device->isListeningForPushes(); }, kLong));
  return device;
}

TEST(CloudPush, ASaveOnOneDevicePushesToAnotherOnTheMainThread) {
  REQUIRE_TEST_CLUSTER(cluster);
  User user = createUser(cluster);
  auto writer = containerFor(user)->privateCloudDatabase();
  makeZone(writer, "Quiet");
  Pushes pushes;
  auto device = listeningDevice(user, writer, pushes);

  auto quiet = newRecord("q", "Quiet");
  quiet->setObject(Value(1), "n");
  ASSERT_EQ(modify(writer, {quiet}).error, nullptr);  // no subscription: no push
  auto record = newRecord("r");
  record->setObject(Value(1), "n");
  ASSERT_EQ(modify(writer, {record}).error, nullptr);
  ASSERT_TRUE(runMainLoopUntil([&] { return !pushes.received.empty(); }, kLong));
  RunLoop::main().runFor(0.2);
  ASSERT_EQ(pushes.received.size(), 1u);
  EXPECT_TRUE(pushes.allOnMain);
  EXPECT_EQ(pushes.received[0].subscriptionID, "Events");
  EXPECT_EQ(pushes.received[0].zoneID.zoneName, "Events");
  EXPECT_EQ(pushes.received[0].containerIdentifier, "test.container");

  // A subscription made through this container afterwards is followed at once.
  subscribe(device->privateCloudDatabase(), "Quiet");
  ASSERT_TRUE(runMainLoopUntil([&] { return device->isListeningForPushes(); }, kLong));
  ASSERT_EQ(modify(writer, {}, {quiet->recordID()}).error, nullptr);
  ASSERT_TRUE(runMainLoopUntil([&] { return pushes.received.size() == 2; }, kLong));
  EXPECT_EQ(pushes.received[1].subscriptionID, "Quiet");

  device->setPushHandler(nullptr);
  EXPECT_FALSE(device->isListeningForPushes());
  RunLoop::main().runFor(0.1);
}

TEST(CloudPush, AnotherUsersChangesNeverReachUs) {
  REQUIRE_TEST_CLUSTER(cluster);
  User alice = createUser(cluster), bob = createUser(cluster);
  auto aliceDatabase = containerFor(alice)->privateCloudDatabase();
  auto bobContainer = containerFor(bob);
  for (auto& database : {aliceDatabase, bobContainer->privateCloudDatabase()}) {
    makeZone(database, "Events");
    subscribe(database, "Events");
  }
  Pushes bobPushes;
  bobContainer->setPushHandler(bobPushes.handler());
  ASSERT_TRUE(runMainLoopUntil([&] { return bobContainer->isListeningForPushes(); }, kLong));
  auto record = newRecord("alice-only");
  record->setObject(Value(1), "n");
  ASSERT_EQ(modify(aliceDatabase, {record}).error, nullptr);
  RunLoop::main().runFor(0.5);
  EXPECT_TRUE(bobPushes.received.empty());
  // Bob cannot learn Alice's channel: he sees only his own subscription.
  RawConnection raw(bob.connectionString);
  EXPECT_EQ(raw.run("SELECT count(*) FROM zorvel_cloud.fetch_subscriptions('test.container', NULL)"), "1");
  EXPECT_EQ(raw.run("SELECT count(*) FROM zorvel_cloud.subscriptions"), "ERROR 42501");
  bobContainer->setPushHandler(nullptr);
  RunLoop::main().runFor(0.1);
}

TEST(CloudPush, AfterTheConnectionBreaksEverySubscriptionTellsOnceAndPushesFlowAgain) {
  REQUIRE_TEST_CLUSTER(cluster);
  User user = createUser(cluster);
  auto writer = containerFor(user)->privateCloudDatabase();
  Pushes pushes;
  auto device = listeningDevice(user, writer, pushes);

  RawConnection admin(cluster.adminConnectionString());
  EXPECT_EQ(admin.run("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity WHERE usename = '" + user.name +
                      "' AND query LIKE 'LISTEN%'"),
            "1");
  ASSERT_TRUE(runMainLoopUntil([&] { return pushes.received.size() == 1; }, kLong)) << "the missed-push catch-up";
  ASSERT_TRUE(runMainLoopUntil([&] { return device->isListeningForPushes(); }, kLong));
  auto record = newRecord("after");
  record->setObject(Value(1), "n");
  ASSERT_EQ(modify(writer, {record}).error, nullptr);
  ASSERT_TRUE(runMainLoopUntil([&] { return pushes.received.size() == 2; }, kLong));
  device->setPushHandler(nullptr);
  RunLoop::main().runFor(0.1);
}

// The push channel of one of the user's subscriptions, as the user reads it.
std::string channelOf(const User& user, const std::string& subscriptionID) {
  RawConnection raw(user.connectionString);
  return raw.run("SELECT o_channel FROM zorvel_cloud.fetch_subscriptions('test.container', '{" + subscriptionID +
                 "}')");
}

// Sends `count` pushes on the channel as `sender` (anyone may NOTIFY a channel whose name they
// know): most in one transaction with distinct payloads, the rest one transaction each.
void flood(RawConnection& sender, const std::string& channel, int count) {
  int together = count - count / 10;
  ASSERT_EQ(sender.run("SELECT count(pg_notify('" + channel + "', g::text)) FROM generate_series(1, " +
                       std::to_string(together) + ") g"),
            std::to_string(together));
  for (int i = together; i < count; ++i) ASSERT_EQ(sender.run("NOTIFY \"" + channel + "\", 'x'"), "");
}

constexpr int kFlood = 550;

// A subscription "Events" flooded by a stranger, and a quiet subscription "Other" whose push,
// sent after the flood, tells that the whole flood has been read.
struct FloodSetup {
  User user;
  User stranger;
  std::string events, other;
};

FloodSetup floodSetup(const Cluster& cluster) {
  FloodSetup setup{createUser(cluster), createUser(cluster), {}, {}};
  auto writer = containerFor(setup.user)->privateCloudDatabase();
  for (const char* zone : {"Events", "Other"}) {
    makeZone(writer, zone);
    subscribe(writer, zone);
  }
  setup.events = channelOf(setup.user, "Events");
  setup.other = channelOf(setup.user, "Other");
  return setup;
}

TEST(CloudPush, AFloodOfPushesWhileTheHandlerRunsIsDeliveredOnceMore) {
  REQUIRE_TEST_CLUSTER(cluster);
  FloodSetup setup = floodSetup(cluster);
  ASSERT_EQ(setup.events.rfind("zc_", 0), 0u) << setup.events;
  RawConnection stranger(setup.stranger.connectionString);
  ASSERT_TRUE(stranger.ok());

  int events = 0, others = 0;  // main thread only
  auto device = containerFor(setup.user);
  device->setPushHandler([&](const CloudPushNotification& push) {
    if (push.subscriptionID != "Events") {
      ++others;
      return;
    }
    if (++events > 1) return;
    // The first delivery's work takes a while, and meanwhile the flood and then the quiet
    // subscription's push arrive.
    flood(stranger, setup.events, kFlood);
    EXPECT_EQ(stranger.run("NOTIFY \"" + setup.other + "\""), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  });
  ASSERT_TRUE(runMainLoopUntil([&] { return device->isListeningForPushes(); }, kLong));
  ASSERT_EQ(stranger.run("NOTIFY \"" + setup.events + "\""), "");
  ASSERT_TRUE(runMainLoopUntil([&] { return others == 1; }, kLong));
  RunLoop::main().runFor(0.3);
  EXPECT_GE(events, 2) << "the pushes that came during the first delivery are delivered";
  EXPECT_LE(events, 3) << "of " << kFlood + 1 << " pushes";
  device->setPushHandler(nullptr);
  RunLoop::main().runFor(0.1);
}

TEST(CloudPush, PushesWhileTheWorkOfOneRunsBecomeOneDeliveryWhenItEnds) {
  REQUIRE_TEST_CLUSTER(cluster);
  FloodSetup setup = floodSetup(cluster);
  RawConnection stranger(setup.stranger.connectionString);
  ASSERT_TRUE(stranger.ok());

  // main thread only
  int events = 0, others = 0;
  std::vector<CloudContainer::PushCompletion> running;  // the Events deliveries' unfinished work
  auto device = containerFor(setup.user);
  device->setPushHandlerWithCompletion([&](const CloudPushNotification& push, CloudContainer::PushCompletion finished) {
    if (push.subscriptionID == "Events") {
      ++events;
      running.push_back(std::move(finished));
    } else {
      ++others;
      finished();
    }
  });
  ASSERT_TRUE(runMainLoopUntil([&] { return device->isListeningForPushes(); }, kLong));

  ASSERT_EQ(stranger.run("NOTIFY \"" + setup.events + "\""), "");
  ASSERT_TRUE(runMainLoopUntil([&] { return events == 1; }, kLong));
  flood(stranger, setup.events, kFlood);
  ASSERT_EQ(stranger.run("NOTIFY \"" + setup.other + "\""), "");
  ASSERT_TRUE(runMainLoopUntil([&] { return others == 1; }, kLong)) << "the quiet subscription is not held up";
  RunLoop::main().runFor(0.3);
  EXPECT_EQ(events, 1) << "nothing more while the first delivery's work runs";

  running[0]();  // the work (a fetch, say) ends: the flood becomes one delivery
  ASSERT_TRUE(runMainLoopUntil([&] { return events == 2; }, kLong));
  RunLoop::main().runFor(0.3);
  EXPECT_EQ(events, 2) << "of " << kFlood + 1 << " pushes";

  // Work whose completion is dropped uncalled has ended too: the next push is delivered.
  running.clear();
  RunLoop::main().runFor(0.1);
  ASSERT_EQ(stranger.run("NOTIFY \"" + setup.events + "\""), "");
  ASSERT_TRUE(runMainLoopUntil([&] { return events == 3; }, kLong));
  device->setPushHandler(nullptr);
  RunLoop::main().runFor(0.1);
}

}  // namespace
}  // namespace platform
