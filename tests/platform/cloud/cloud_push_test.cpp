#include <gtest/gtest.h>

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

}  // namespace
}  // namespace platform
