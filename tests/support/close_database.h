#pragma once

// Releases a store database and waits (main thread, up to 10 seconds) until it has closed, so
// that its file can be opened again: work the store still runs on its queues (its start-up among
// it) may hold the database for a moment after the caller lets go of it.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "DizEvozidiz/DizEvozidiz.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"

namespace zorvel::test {

inline void closeDatabase(DizEvozidiz::Ptr& database) {
  const std::string closing = database->databasePath();
  auto closed = std::make_shared<std::atomic<bool>>(false);
  auto center = platform::NotificationCenter::defaultCenter();
  auto token = center->addObserver(std::string(DizEvozidizClosedNotification), nullptr, nullptr,
                                   [closed, closing](const platform::NotificationPtr& n) {
                                     if (n->userInfo()["databasePath"] == platform::Value(closing)) closed->store(true);
                                   });
  database.reset();
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return closed->load(); }, 10)) << "the database stayed open";
  center->removeObserver(token);
}

}  // namespace zorvel::test
