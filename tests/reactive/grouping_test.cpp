#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/runtime/properties.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFTuple.h"
#include "tests/reactive/marbles.h"

// A target for key-path bindings.
class BindingTarget : public platform::Object {
  ZORVEL_CLASS(BindingTarget, platform::Object)

 public:
  ZORVEL_PROPERTY(platform::Value, title, setTitle)
};

namespace {

using namespace marbles;
using platform::Value;
using Events = std::vector<std::string>;

TEST(GroupBy, SendsAGroupPerKeyBeforeItsValues) {
  RFSubjectPtr source = RFSubject::subject();
  Events outer;
  std::vector<std::shared_ptr<Events>> groups;
  source
      ->groupBy([](const Value& v) { return Value(v.asInt64() % 2 == 0 ? "even" : "odd"); },
                [](const Value& v) { return Value(v.asInt64() * 10); })
      ->subscribeNext(
          [&](const Value& v) {
            RFGroupedSignalPtr group = v.as<RFGroupedSignal>();
            outer.push_back("group " + group->key().asString());
            auto events = std::make_shared<Events>();
            groups.push_back(events);
            group->subscribeNext([events](const Value& x) { events->push_back(x.description()); }, nullptr,
                                 [events, &outer] {
                                   events->push_back("completed");
                                   outer.push_back("group completed");
                                 });
          },
          nullptr, [&] { outer.push_back("completed"); });
  for (int i = 1; i <= 4; ++i) source->sendNext(Value(i));
  source->sendCompleted();
  // Completion reaches the outer subscriber before the groups.
  EXPECT_EQ(outer, (Events{"group odd", "group even", "completed", "group completed", "group completed"}));
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(*groups[0], (Events{"10", "30", "completed"}));
  EXPECT_EQ(*groups[1], (Events{"20", "40", "completed"}));
}

TEST(GroupBy, AnErrorReachesTheSubscriberThenEveryGroup) {
  RFSubjectPtr source = RFSubject::subject();
  Events log;
  source->groupBy([](const Value& v) { return v; })
      ->subscribeNext(
          [&](const Value& v) {
            RFGroupedSignalPtr group = v.as<RFGroupedSignal>();
            std::string key = group->key().description();
            group->subscribeError(
                [&log, key](const platform::ErrorPtr&) { log.push_back("group " + key + " failed"); });
          },
          [&](const platform::ErrorPtr&) { log.push_back("failed"); }, nullptr);
  source->sendNext(Value("a"));
  source->sendNext(Value("b"));
  source->sendNext(Value("a"));
  source->sendError(platform::Error::make("D", 1));
  EXPECT_EQ(log, (Events{"failed", "group a failed", "group b failed"}));
}

TEST(Booleans, AnswerQuestionsAboutValues) {
  auto even = [](const Value& v) { return v.asInt64() % 2 == 0; };
  marbles::runCases({
      {"any: true at the first match",
       [even](Inputs& in) { return in.a->any(even); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 3)},
       {"1", "completed"}},
      {"any: false when the receiver fails",
       [even](Inputs& in) { return in.a->any(even); },
       {next('a', 1, 1), fail('a', 2, 3)},
       {"0", "completed"}},
      {"any of an empty signal is false", [](Inputs& in) { return in.a->any(); }, {done('a', 1)}, {"0", "completed"}},
      {"all: true only at completion",
       [even](Inputs& in) { return in.a->all(even); },
       {next('a', 1, 2), next('a', 2, 4), mark(2.5), done('a', 3)},
       {"@2.5", "1", "completed"}},
      {"all: false at the first refusal",
       [even](Inputs& in) { return in.a->all(even); },
       {next('a', 1, 2), next('a', 2, 4), next('a', 3, 5), mark(3.5)},
       {"0", "completed", "@3.5"}},
      {"all: false at an error", [even](Inputs& in) { return in.a->all(even); }, {fail('a', 1, 2)}, {"0", "completed"}},
      {"all of an empty signal is true",
       [even](Inputs& in) { return in.a->all(even); },
       {done('a', 1)},
       {"1", "completed"}},
      {"not gives integers",
       [](Inputs& in) { return in.a->logicalNot(); },
       {next('a', 1, true), next('a', 2, false), next('a', 3, 0)},
       {"0", "1", "1"}},
  });
  // The booleans are NSNumber-like values: any/all give bools, not gives integers.
  Value notTrue = RFSignal::returnValue(Value(true))->logicalNot()->first();
  EXPECT_TRUE(notTrue.isInteger());
  EXPECT_EQ(notTrue.asInt64(), 0);
  EXPECT_TRUE(RFSignal::returnValue(Value(1))->any()->first().isBool());
}

TEST(Booleans, AndAndOrOfTuples) {
  struct Row {
    std::vector<Value> items;
    bool all, any;
  };
  const Row rows[] = {
      {{Value(true), Value(false)}, false, true},
      {{Value(true), Value(1)}, true, true},
      {{Value(false), Value()}, false, false},  // nil counts as false
      {{}, true, false},
  };
  for (const Row& row : rows) {
    RFSignalPtr tuples = RFSignal::returnValue(Value(RFTuple::tupleWithValues(row.items)));
    EXPECT_EQ(tuples->logicalAnd()->first(), Value(row.all));
    EXPECT_EQ(tuples->logicalOr()->first(), Value(row.any));
  }
}

TEST(ReduceApply, CallsTheFirstItemWithTheOthers) {
  Value block(RFBlock::create([](const Value& a, const Value& b) { return Value(a.asInt64() * 10 + b.asInt64()); }));
  RFSignalPtr tuples = RFSignal::returnValue(Value(RFTuple::tupleWithValues({block, Value(1), Value(2)})));
  EXPECT_EQ(tuples->reduceApply()->first(), Value(12));
  // A nil item arrives as nil.
  Value describe(RFBlock::create([](const Value& a) { return Value(a.description()); }));
  EXPECT_EQ(RFSignal::returnValue(Value(RFTuple::tupleWithValues({describe, Value()})))->reduceApply()->first(),
            Value("(null)"));
  // A tuple without a block first is refused.
  EXPECT_THROW(RFSignal::returnValue(Value(RFTuple::tupleWithValues({Value(1)})))->reduceApply()->first(),
               platform::Exception);
}

TEST(SetKeyPath, SetsTheTargetUntilItGoesAway) {
  auto target = platform::make<BindingTarget>();
  RFSubjectPtr source = RFSubject::subject();
  RFDisposablePtr binding = source->setKeyPath("title", target, Value("none"));
  source->sendNext(Value("one"));
  EXPECT_EQ(target->title(), Value("one"));
  source->sendNext(Value());
  EXPECT_EQ(target->title(), Value("none"));
  EXPECT_EQ(source->subscriberCount(), 1u);
  std::weak_ptr<BindingTarget> weak = target;
  target.reset();
  EXPECT_TRUE(weak.expired()) << "the binding does not keep its target";
  EXPECT_EQ(source->subscriberCount(), 0u) << "the binding ended with its target";
  EXPECT_TRUE(binding->isDisposed() || source->subscriberCount() == 0u);
}

TEST(SetKeyPath, DisposalEndsTheBinding) {
  auto target = platform::make<BindingTarget>();
  RFSubjectPtr source = RFSubject::subject();
  RFDisposablePtr binding = source->toProperty("title", target);
  source->sendNext(Value(1));
  binding->dispose();
  source->sendNext(Value(2));
  EXPECT_EQ(target->title(), Value(1));
  EXPECT_EQ(source->subscriberCount(), 0u);
}

TEST(SetKeyPath, AnErrorIsLoggedAndEndsTheBindingUnchanged) {
  auto target = platform::make<BindingTarget>();
  target->setTitle(Value("kept"));
  RFSubjectPtr source = RFSubject::subject();
  source->setKeyPath("title", target);
  testing::internal::CaptureStderr();
  source->sendError(platform::Error::make("D", 4));
  std::string logged = testing::internal::GetCapturedStderr();
  EXPECT_NE(logged.find("Received error from <RFSubject: 0x"), std::string::npos) << logged;
  EXPECT_NE(logged.find("in binding for key path \"title\" on <BindingTarget: 0x"), std::string::npos) << logged;
  EXPECT_NE(logged.find("Code=4"), std::string::npos) << logged;
  EXPECT_EQ(target->title(), Value("kept"));
  EXPECT_EQ(source->subscriberCount(), 0u);
}

TEST(SetKeyPath, TheSubscriptTrampolineBinds) {
  EXPECT_FALSE(RFSubscriptingAssignmentTrampoline::create(nullptr));
  auto target = platform::make<BindingTarget>();
  RFSubjectPtr source = RFSubject::subject();
  auto trampoline = RFSubscriptingAssignmentTrampoline::create(target, Value("nothing"));
  ASSERT_TRUE(trampoline);
  (*trampoline)["title"] = source;
  source->sendNext(Value());
  EXPECT_EQ(target->title(), Value("nothing"));
}

TEST(GroupingNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  auto id = [](const Value& v) { return v; };
  auto yes = [](const Value&) { return true; };
  expectNames({
      {s->groupBy(id, id), "[s] -groupBy:transform:"},
      {s->groupBy(id), "[s] -groupBy:"},
      {s->any(yes), "[s] -any:"},
      {s->any(), "[s] -any"},
      {s->all(yes), "[s] -all:"},
      {s->logicalNot(), "[s] -not"},
      {s->logicalAnd(), "[s] -and"},
      {s->logicalOr(), "[s] -or"},
      {s->reduceApply(), "[s] -reduceApply"},
  });
}

}  // namespace
