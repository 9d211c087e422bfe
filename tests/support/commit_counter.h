#pragma once

// Counts the store's modified notifications of one database (one per commit that changed
// something) while it lives. Main thread.

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"

namespace zorvel::test {

class CommitCounter {
 public:
  explicit CommitCounter(const DizEvozidiz::Ptr& database)
      : token_(platform::NotificationCenter::defaultCenter()->addObserver(
            std::string(DizEvozidizModifiedNotification), database, nullptr,
            [this](const platform::NotificationPtr&) { ++count_; })) {}
  ~CommitCounter() { platform::NotificationCenter::defaultCenter()->removeObserver(token_); }
  CommitCounter(const CommitCounter&) = delete;
  CommitCounter& operator=(const CommitCounter&) = delete;

  // Everything announced so far, once the main queue has delivered it.
  std::size_t count() {
    auto done = std::make_shared<std::atomic<bool>>(false);
    platform::DispatchQueue::main()->async([done] { done->store(true); });
    EXPECT_TRUE(platform::runMainLoopUntil([&] { return done->load(); }, 10)) << "the main queue did not run";
    return count_;
  }

 private:
  platform::NotificationCenter::ObserverToken token_;
  std::size_t count_ = 0;
};

}  // namespace zorvel::test
