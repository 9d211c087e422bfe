#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logging/formatters.h"
#include "logging/log_test_support.h"
#include "platform/dispatch/run_loop.h"

namespace {

LGLogMessagePtr messageWith(std::string text, std::int64_t context = 0) {
  return std::make_shared<const LGLogMessage>(std::move(text), LGLogLevelAll, LGLogFlagInfo, context,
                                              std::string("/a/File.m"), std::string("f"), 1);
}

// A message made inside a block on `queue` (so it carries the queue's label and thread).
LGLogMessagePtr messageOn(const platform::DispatchQueuePtr& queue, std::string text = "text") {
  LGLogMessagePtr made;
  queue->sync([&] { made = messageWith(std::move(text)); });
  return made;
}

}  // namespace

TEST(LGContextFilters, AllowListPassesOnlyListedContextsDenyListDropsThem) {
  LGContextWhitelistFilterLogFormatter allow;
  LGContextBlacklistFilterLogFormatter deny;
  // Empty lists: the allow list drops everything, the deny list passes everything.
  EXPECT_EQ(allow.formatLogMessage(messageWith("a", 7)), std::nullopt);
  EXPECT_EQ(deny.formatLogMessage(messageWith("a", 7)), "a");

  allow.addToWhitelist(7);
  allow.addToWhitelist(-3);
  deny.addToBlacklist(7);
  struct Case {
    std::int64_t context;
    std::optional<std::string> allowed;
    std::optional<std::string> denied;
  };
  const Case cases[] = {{7, "m", std::nullopt}, {-3, "m", "m"}, {8, std::nullopt, "m"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.context);
    EXPECT_EQ(allow.formatLogMessage(messageWith("m", c.context)), c.allowed);
    EXPECT_EQ(deny.formatLogMessage(messageWith("m", c.context)), c.denied);
  }
  EXPECT_TRUE(allow.isOnWhitelist(-3));
  allow.removeFromWhitelist(-3);
  EXPECT_FALSE(allow.isOnWhitelist(-3));
  EXPECT_EQ(allow.whitelist(), std::vector<std::int64_t>{7});
  EXPECT_EQ(deny.blacklist(), std::vector<std::int64_t>{7});
}

TEST(LGContextFilters, ListsMayChangeWhileLoggersFilter) {
  LGContextWhitelistFilterLogFormatter allow;
  std::atomic<bool> done{false};
  std::thread changer([&] {
    for (int i = 0; i < 2000; ++i) {
      allow.addToWhitelist(i % 16);
      allow.removeFromWhitelist((i + 8) % 16);
    }
    done = true;
  });
  auto message = messageWith("m", 3);
  while (!done) allow.formatLogMessage(message);
  changer.join();
}

TEST(LGDispatchQueueLogFormatter, LabelsByQueueThreadNameOrThreadIdentifier) {
  LGDispatchQueueLogFormatter formatter;
  // The main thread outside any block is on the main queue, replaced by "main".
  ASSERT_TRUE(platform::isMainThread());
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*messageWith("x")), "main");
  // A labelled queue gives its label.
  auto queue = platform::DispatchQueue::createSerial("com.zorvel.test.formatter");
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*messageOn(queue)), "com.zorvel.test.formatter");
  // A global queue says nothing: the thread's identifier (its workers are unnamed) or its name.
  LGLogMessagePtr onGlobal;
  platform::DispatchQueue::global()->sync([&] {});
  std::thread([&] { platform::DispatchQueue::global()->sync([&] { onGlobal = messageWith("g"); }); }).join();
  ASSERT_TRUE(onGlobal);
  EXPECT_EQ(onGlobal->queueLabel(), "com.apple.root.default-priority");
  std::string expected = onGlobal->threadName().empty() ? onGlobal->threadID() : onGlobal->threadName();
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*onGlobal), expected);
  // A plain named thread outside any queue gives its name.
  LGLogMessagePtr onThread;
  std::thread([&] {
    platform::setCurrentThreadName("worker-7");
    onThread = messageWith("t");
  }).join();
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*onThread), "worker-7");
  // Replacements apply to labels and names, not to identifiers.
  formatter.setReplacementString("fmt", "com.zorvel.test.formatter");
  EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*messageOn(queue)), "fmt");
  formatter.setReplacementString(std::nullopt, "com.zorvel.test.formatter");
  EXPECT_EQ(formatter.replacementStringForQueueLabel("com.zorvel.test.formatter"), std::nullopt);
  EXPECT_EQ(formatter.replacementStringForQueueLabel("com.apple.main-thread"), "main");
}

TEST(LGDispatchQueueLogFormatter, CutsAndPadsLabelsToTheirWidth) {
  auto queue = platform::DispatchQueue::createSerial("com.zorvel.q.17ch");  // 17 characters
  auto queued = messageOn(queue);
  struct Case {
    std::uint64_t min, max;
    LGLogMessagePtr message;
    std::string label;
  };
  const Case cases[] = {
      {0, 4, queued, "com."},
      {0, 17, queued, "com.zorvel.q.17ch"},
      {10, 0, messageWith("x"), "main      "},
      {4, 0, messageWith("x"), "main"},
      {20, 30, queued, "com.zorvel.q.17ch   "},
  };
  for (const Case& c : cases) {
    LGDispatchQueueLogFormatter formatter;
    formatter.setMinQueueLength(c.min);
    formatter.setMaxQueueLength(c.max);
    EXPECT_EQ(formatter.queueThreadLabelForLogMessage(*c.message), c.label) << c.min << "/" << c.max;
  }
}

TEST(LGDispatchQueueLogFormatter, LineIsTimeLabelAndText) {
  for (std::uint64_t mode : {LGDispatchQueueLogFormatterModeShareble, LGDispatchQueueLogFormatterModeNonShareable}) {
    LGDispatchQueueLogFormatter formatter(mode);
    auto message = messageWith("hello");
    auto expectedTime = formatter.createDateFormatter()->stringFromDate(message->timestamp());
    EXPECT_EQ(expectedTime.size(), 23u);
    EXPECT_EQ(formatter.formatLogMessage(message), expectedTime + " [main] hello");
  }
}

TEST(LGDispatchQueueLogFormatter, SharedModeServesManyThreadsAtOnce) {
  LGDispatchQueueLogFormatter formatter;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        auto line = formatter.formatLogMessage(messageWith("m"));
        if (line && line->ends_with("] m")) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good, 800);
}

TEST(LGMultiFormatter, ChainsFormattersAndStopsAtNil) {
  LGMultiFormatter multi;
  EXPECT_EQ(multi.formatLogMessage(messageWith("plain", 5)), "plain");  // no formatters

  auto queueFormatter = std::make_shared<LGDispatchQueueLogFormatter>();
  auto deny = std::make_shared<LGContextBlacklistFilterLogFormatter>();
  deny->addToBlacklist(5);
  multi.addFormatter(queueFormatter);
  multi.addFormatter(deny);
  EXPECT_EQ(multi.formatLogMessage(messageWith("denied", 5)), std::nullopt);
  // The filter receives the queue formatter's output as its text.
  auto passed = multi.formatLogMessage(messageWith("passed", 6));
  ASSERT_TRUE(passed);
  EXPECT_TRUE(passed->ends_with(" [main] passed")) << *passed;

  EXPECT_TRUE(multi.isFormattingWithFormatter(deny));
  multi.addFormatter(deny);
  EXPECT_EQ(multi.formatters().size(), 3u);
  multi.removeFormatter(deny);  // every entry of it
  EXPECT_EQ(multi.formatters(), (std::vector<std::shared_ptr<LGLogFormatter>>{queueFormatter}));
  multi.removeAllFormatters();
  EXPECT_TRUE(multi.formatters().empty());
}

TEST(LGMultiFormatter, MessageForLineKeepsEveryOtherField) {
  LGMultiFormatter multi;
  auto original = messageWith("one", 42);
  auto copy = multi.logMessageForLine("two", *original);
  EXPECT_EQ(copy->message(), "two");
  EXPECT_EQ(copy->context(), 42);
  EXPECT_EQ(copy->timestamp(), original->timestamp());
  EXPECT_EQ(copy->threadID(), original->threadID());
  EXPECT_EQ(copy->fileName(), original->fileName());
}

TEST(LGMultiFormatter, ListChangesWhileFormattingOnManyLoggers) {
  auto multi = std::make_shared<LGMultiFormatter>();
  auto deny = std::make_shared<LGContextBlacklistFilterLogFormatter>();
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; i < 300; ++i) {
      multi->addFormatter(deny);
      multi->removeFormatter(deny);
    }
    stop = true;
  });
  std::vector<std::thread> users;
  for (int t = 0; t < 3; ++t)
    users.emplace_back([&] {
      auto message = messageWith("m", 1);
      while (!stop) EXPECT_EQ(multi->formatLogMessage(message), "m");
    });
  changer.join();
  for (auto& u : users) u.join();
}
