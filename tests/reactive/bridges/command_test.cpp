#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/thread.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFCommand.h"
#include "reactive/bridges/RFPropertySubscribing.h"
#include "tests/reactive/bridges/recording.h"
#include "tests/reactive/marbles.h"

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;

constexpr double kWait = 5.0;

bool waitForSubscriber(const RFSubjectPtr& subject) {
  return platform::runMainLoopUntil([&] { return subject->subscriberCount() > 0; }, kWait);
}

TEST(Command, IsDisabledWhileItRunsAndEnabledAgainAfterItEnds) {
  struct Row {
    const char* name;
    std::function<void(RFSubject&)> end;
  };
  std::vector<Row> rows = {
      {"completion", [](RFSubject& s) { s.sendCompleted(); }},
      {"failure", [](RFSubject& s) { s.sendError(platform::Error::make("Test", 4)); }},
  };
  for (const Row& row : rows) {
    RFSubjectPtr work = RFSubject::subject();
    RFCommandPtr command = RFCommand::commandWithSignalBlock([work](const Value&) { return work; });
    Recording enabled, executing;
    enabled.record(command->enabled());
    executing.record(command->executing());
    EXPECT_EQ(enabled.taken(), (Texts{"1"})) << row.name << ": the first value at once";
    ASSERT_TRUE(executing.waitFor("0")) << row.name;

    RFSignalPtr execution = command->execute(Value("in"));
    ASSERT_TRUE(enabled.waitFor("0")) << row.name;
    ASSERT_TRUE(executing.waitFor("1")) << row.name;
    ASSERT_TRUE(waitForSubscriber(work)) << row.name << ": the work is subscribed on the main thread";
    work->sendNext(Value("out"));
    row.end(*work);
    ASSERT_TRUE(enabled.waitFor("1")) << row.name;
    ASSERT_TRUE(executing.waitFor("0")) << row.name;
    EXPECT_EQ(enabled.taken(), (Texts{"1", "0", "1"})) << row.name;
    EXPECT_EQ(executing.taken(), (Texts{"0", "1", "0"})) << row.name;
    EXPECT_FALSE(enabled.offMainThread || executing.offMainThread) << row.name;
  }
}

TEST(Command, ExecutingWhileRunningFailsWithTheDisabledError) {
  int calls = 0;
  RFCommandPtr command = RFCommand::commandWithSignalBlock([&calls](const Value&) {
    ++calls;
    return RFSignal::never();
  });
  command->execute(Value(1));
  platform::ErrorPtr error;
  command->execute(Value(2))->subscribeError([&error](const platform::ErrorPtr& e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kRFCommandErrorDomain);
  EXPECT_EQ(error->code(), kRFCommandErrorNotEnabled);
  EXPECT_EQ(error->localizedDescription(), "The command is disabled and cannot be executed");
  EXPECT_EQ(error->userInfo()[kRFUnderlyingCommandErrorKey].asObject().get(), command.get());
  EXPECT_EQ(calls, 1) << "the refused execution's block is not called";
}

TEST(Command, AFailedExecutionReportsItsErrorWhileItsSignalCompletesInExecutionSignals) {
  RFCommandPtr command =
      RFCommand::commandWithSignalBlock([](const Value&) { return RFSignal::error(platform::Error::make("Test", 9)); });
  Recording errors, executions, inner;
  errors.record(command->errors()->map([](const Value& e) { return Value(e.as<platform::Error>()->code()); }));
  executions.record(command->executionSignals()->map([&inner](const Value& signal) {
    inner.record(signal.as<RFSignal>());
    return Value("execution");
  }));
  Recording returned;
  returned.record(command->execute(Value()));
  ASSERT_TRUE(errors.waitFor("9"));
  ASSERT_TRUE(returned.waitFor("error 9")) << "the signal execute returns fails";
  ASSERT_TRUE(inner.waitFor("completed")) << "the one executionSignals sent completes instead";
  EXPECT_EQ(executions.taken(), (Texts{"execution"}));
  EXPECT_FALSE(errors.offMainThread || executions.offMainThread);
}

TEST(Command, ErrorsOfExecutionsStartedBeforeAnyoneListensStillReachLaterListeners) {
  RFSubjectPtr work = RFSubject::subject();
  RFCommandPtr command = RFCommand::commandWithSignalBlock([work](const Value&) { return work; });
  command->execute(Value());
  ASSERT_TRUE(waitForSubscriber(work));
  Recording errors;
  errors.record(command->errors());
  work->sendError(platform::Error::make("Test", 2));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return !errors.taken().empty(); }, kWait));
}

TEST(Command, ALateSubscriberToAnExecutionGetsItsValuesReplayed) {
  RFCommandPtr command = RFCommand::commandWithSignalBlock(
      [](const Value& input) { return RFSignal::returnValue(Value(input.asInt64() * 2)); });
  RFSignalPtr execution = command->execute(Value(21));
  Recording first;
  first.record(execution);
  ASSERT_TRUE(first.waitFor("completed"));
  Recording late;
  late.record(execution);
  ASSERT_TRUE(late.waitFor("completed"));
  EXPECT_EQ(late.taken(), (Texts{"42", "completed"}));
}

TEST(Command, FollowsItsEnabledInput) {
  RFSubjectPtr input = RFSubject::subject();
  std::atomic<int> calls{0};
  RFCommandPtr command = RFCommand::commandWithEnabled(input, [&calls](const Value&) {
    ++calls;
    return RFSignal::empty();
  });
  Recording enabled;
  enabled.record(command->enabled());
  EXPECT_EQ(enabled.taken(), (Texts{"1"})) << "enabled until the input says otherwise";
  input->sendNext(Value(false));
  ASSERT_TRUE(enabled.waitFor("0"));
  platform::ErrorPtr error;
  command->execute(Value())->subscribeError([&error](const platform::ErrorPtr& e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(calls.load(), 0);
  input->sendNext(Value(true));
  ASSERT_TRUE(enabled.waitFor("1"));
  command->execute(Value());
  EXPECT_EQ(calls.load(), 1);
}

TEST(Command, ConcurrentExecutionWhenAllowed) {
  RFSubjectPtr work = RFSubject::subject();
  RFCommandPtr command = RFCommand::commandWithSignalBlock([work](const Value&) { return work->take(1); });
  Recording allows;
  allows.record(rf_valuesForKeyPath(*command, "allowsConcurrentExecution", nullptr));
  command->setAllowsConcurrentExecution(true);
  EXPECT_EQ(allows.taken(), (Texts{"0", "1"}));
  Recording executing;
  executing.record(command->executing());
  Recording first, second;
  first.record(command->execute(Value(1)));
  second.record(command->execute(Value(2)));
  EXPECT_EQ(command->activeExecutionSignals().size(), 2u);
  ASSERT_TRUE(executing.waitFor("1"));
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return work->subscriberCount() == 2; }, kWait));
  work->sendNext(Value("x"));  // ends both
  ASSERT_TRUE(first.waitFor("completed"));
  ASSERT_TRUE(second.waitFor("completed"));
  ASSERT_TRUE(executing.waitFor("0"));
  EXPECT_EQ(executing.taken(), (Texts{"0", "1", "0"})) << "running while either runs";
}

TEST(Command, ListsItsExecutionsWithIndexedChanges) {
  RFSubjectPtr work = RFSubject::subject();
  RFCommandPtr command = RFCommand::commandWithSignalBlock([work](const Value&) { return work; });
  Texts changes;
  rf_valuesAndChangesForKeyPath(*command, "activeExecutionSignals", platform::ObserveNew, nullptr)
      ->subscribeNext([&changes](const Value& v) {
        Value change = v.as<RFTuple>()->second();
        changes.push_back("kind " + change["kind"].description() + " at " + marbles::text(change["indexes"]) +
                          " count " + std::to_string(v.as<RFTuple>()->first().count()));
      });
  command->execute(Value());
  ASSERT_TRUE(waitForSubscriber(work));
  work->sendCompleted();
  ASSERT_TRUE(platform::runMainLoopUntil([&] { return changes.size() == 2; }, kWait));
  EXPECT_EQ(changes, (Texts{"kind 2 at [0] count 1", "kind 3 at [0] count 0"}));
}

TEST(Command, IsNotKeptAliveByWhatItMadeNorByItsExecutions) {
  RFSubjectPtr input = RFSubject::subject();
  std::weak_ptr<RFCommand> weak;
  {
    RFCommandPtr command = RFCommand::commandWithEnabled(input, [](const Value&) { return RFSignal::never(); });
    weak = command;
    Recording enabled, executing, errors;
    enabled.record(command->enabled());
    executing.record(command->executing());
    errors.record(command->errors());
    command->execute(Value());
    platform::runMainLoopUntil([] { return false; }, 0.05);
  }
  platform::runMainLoopUntil([&] { return weak.expired(); }, kWait);
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(input->subscriberCount(), 0u) << "the enabled input is no longer followed";
  EXPECT_EQ(RFCommand::commandWithSignalBlock(nullptr), nullptr) << "a command needs a signal block";
}

TEST(Command, ExecuteCommandPassesEveryValueAndReportsNothingWhenDisabled) {
  RFSubjectPtr input = RFSubject::subject();
  Texts inputs;
  RFCommandPtr command = RFCommand::commandWithEnabled(input, [&inputs](const Value& v) {
    inputs.push_back(v.description());
    return RFSignal::empty();
  });
  input->sendNext(Value(false));
  RFSubjectPtr values = RFSubject::subject();
  bool ended = false;
  values->executeCommand(command);
  values->subscribeError([&ended](const platform::ErrorPtr&) { ended = true; }, [&ended] { ended = true; });
  values->sendNext(Value("ignored"));
  input->sendNext(Value(true));
  values->sendNext(Value("runs"));
  EXPECT_EQ(inputs, (Texts{"runs"}));
  EXPECT_FALSE(ended);
}

// Several threads execute at once: with concurrent execution off exactly one starts.
TEST(CommandConcurrency, OneExecutionAtATimeUnlessConcurrencyIsAllowed) {
  constexpr int kThreads = 6;
  for (bool concurrent : {false, true}) {
    for (int round = 0; round < 10; ++round) {
      std::atomic<int> started{0};
      RFCommandPtr command = RFCommand::commandWithSignalBlock([&started](const Value&) {
        ++started;
        return RFSignal::never();
      });
      command->setAllowsConcurrentExecution(concurrent);
      std::atomic<int> ready{0}, refused{0};
      std::vector<std::thread> threads;
      for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
          ++ready;
          while (ready.load() < kThreads) std::this_thread::yield();
          // A refused execution is the error signal itself.
          if (std::dynamic_pointer_cast<RFErrorSignal>(command->execute(Value(i)))) ++refused;
        });
      }
      for (auto& t : threads) t.join();
      if (concurrent) {
        EXPECT_EQ(started.load(), kThreads);
        EXPECT_EQ(refused.load(), 0);
      } else {
        EXPECT_EQ(started.load(), 1) << "round " << round;
        EXPECT_EQ(refused.load(), kThreads - 1) << "round " << round;
      }
    }
  }
  platform::runMainLoopUntil([] { return false; }, 0.05);  // lets queued work go
}

}  // namespace
