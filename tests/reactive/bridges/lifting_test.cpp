#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/runtime/methods.h"
#include "reactive/RFEvent.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFLifting.h"
#include "tests/reactive/bridges/recording.h"
#include "tests/reactive/marbles.h"

class LiftTarget : public platform::Object {
  ZORVEL_CLASS(LiftTarget, platform::Object)
 public:
  std::string describe(std::int64_t count, double ratio, std::string name) {
    calls.push_back("describe");
    return name + ":" + std::to_string(count) + ":" + std::to_string(static_cast<int>(ratio * 10));
  }
  ZORVEL_METHOD("describeCount:ratio:name:", describe)
  void remember(platform::Value value) { calls.push_back("remember " + value.description()); }
  ZORVEL_METHOD("remember:", remember)
  std::vector<std::string> calls;
};

namespace {

using bridges_test::Recording;
using bridges_test::Texts;
using platform::Value;

TEST(Lifting, CallsTheMethodWithUnboxedArgumentsOnceEverySignalHasSent) {
  auto target = platform::make<LiftTarget>();
  RFSubjectPtr count = RFSubject::subject(), ratio = RFSubject::subject(), name = RFSubject::subject();
  RFSignalPtr lifted = rf_liftSelectorWithSignals(*target, "describeCount:ratio:name:", {count, ratio, name});
  count->sendNext(Value(3));
  ratio->sendNext(Value(0.5));
  EXPECT_TRUE(target->calls.empty()) << "not before each signal has sent";
  name->sendNext(Value("n"));
  count->sendNext(Value(4));
  Recording a, b;
  a.record(lifted);
  b.record(lifted);
  EXPECT_EQ(target->calls.size(), 2u) << "once per set of values, whatever the subscribers";
  EXPECT_EQ(a.texts, (Texts{"n:4:5"})) << "a late subscriber gets the latest result";
  ratio->sendNext(Value(1.25));
  EXPECT_EQ(b.texts, (Texts{"n:4:5", "n:4:12"}));
}

TEST(Lifting, AMethodWithoutAResultGivesTheUnit) {
  auto target = platform::make<LiftTarget>();
  RFSubjectPtr values = RFSubject::subject();
  Recording r;
  r.record(rf_liftSelector(*target, "remember:", std::vector<RFSignalPtr>{values}));
  values->sendNext(Value("x"));
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(target->calls, (Texts{"remember x"}));
  EXPECT_EQ(r.texts[0], RFUnit::unitValue().description());
}

TEST(Lifting, EndsWithTheObjectAndDoesNotKeepIt) {
  auto target = platform::make<LiftTarget>();
  std::weak_ptr<LiftTarget> weak = target;
  RFSubjectPtr values = RFSubject::subject();
  Recording r;
  r.record(rf_liftSelector(
      *target, "remember:", RFSignal::returnValue(Value(RFTuple::tupleWithValues({Value(1)})))->concat(values)));
  target.reset();
  EXPECT_TRUE(weak.expired());
  values->sendNext(Value(RFTuple::tupleWithValues({Value(2)})));
  EXPECT_EQ(r.texts.back(), "completed");
  EXPECT_EQ(r.texts.size(), 2u);
}

TEST(Lifting, PlainValuesSignalsAndNilAsArguments) {
  auto target = platform::make<LiftTarget>();
  RFSubjectPtr names = RFSubject::subject();
  Recording r;
  r.record(rf_liftSelectorWithObjects(*target, "describeCount:ratio:name:", {Value(2), Value(), Value(names)}));
  names->sendNext(Value("a"));
  EXPECT_EQ(r.texts, (Texts{"a:2:0"})) << "nil unboxes as zero for a number argument";
  Recording remembered;
  remembered.record(rf_liftSelectorWithObjects(*target, "remember:", {}));
  EXPECT_EQ(target->calls.back(), "remember (null)") << "a missing argument is nil";

  Recording blocks;
  blocks.record(rf_liftBlock(
      *target, [](const Value& a, const Value& b) { return Value(a.description() + "+" + b.description()); },
      {Value(names), Value("fixed")}));
  names->sendNext(Value("b"));
  EXPECT_EQ(blocks.texts, (Texts{"b+fixed"}));
}

}  // namespace
