#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

namespace {

using namespace marbles;
using platform::Value;

TEST(CombineLatest, SendsTheLatestOfEachOnceAllHaveSent) {
  marbles::runCases({
      {"nothing until both have a value; then every value sends a tuple",
       [](Inputs& in) { return in.a->combineLatestWith(in.b); },
       {next('a', 1, 1), next('a', 2, 2), next('b', 3, "x"), next('a', 4, 3), next('b', 5, Value()), done('a', 6),
        mark(6.5), done('b', 7)},
       {"(2,x)", "(3,x)", "(3,(null))", "@6.5", "completed"}},
      {"one side completing early without a value: nothing, and completion when both have",
       [](Inputs& in) { return in.a->combineLatestWith(in.b); },
       {done('a', 1), next('b', 2, "x"), mark(2.5), done('b', 3)},
       {"@2.5", "completed"}},
      {"the first error ends it",
       [](Inputs& in) { return in.a->combineLatestWith(in.b); },
       {next('a', 1, 1), fail('b', 2, 3), next('b', 3, "late")},
       {"error 3"}},
      {"three signals give flat tuples",
       [](Inputs& in) {
         return RFSignal::combineLatest({in.a, in.b, in.c});
       },
       {next('a', 1, "a"), next('b', 2, "b"), next('c', 3, "c"), next('b', 4, "B")},
       {"(a,b,c)", "(a,B,c)"}},
      {"an empty collection completes at once", [](Inputs&) { return RFSignal::combineLatest({}); }, {}, {"completed"}},
      {"reduce",
       [](Inputs& in) {
         return RFSignal::combineLatest(
             {in.a, in.b}, [](const Value& x, const Value& y) { return Value(x.asInt64() + y.asInt64()); });
       },
       {next('a', 1, 1), next('b', 2, 10), next('a', 3, 2)},
       {"11", "12"}},
  });
}

TEST(Merge, ForwardsAllValuesAndCompletesAfterAll) {
  marbles::runCases({
      {"merge of two",
       [](Inputs& in) { return in.a->merge(in.b); },
       {next('a', 1, "a"), next('b', 2, "b"), done('a', 3), next('b', 4, "b2"), done('b', 5)},
       {"a", "b", "b2", "completed"}},
      {"the first error ends it",
       [](Inputs& in) {
         return RFSignal::merge({in.a, in.b, in.c});
       },
       {next('c', 1, "c"), fail('b', 2, 8), next('a', 3, "a")},
       {"c", "error 8"}},
  });
}

TEST(Flatten, LimitsHowManyInnerSignalsRunAtOnce) {
  // Four inner signals sent at once into flatten: 2; each is one of a, b, c and a fourth.
  marbles::runCases({
      {"two run, the others wait their turn in order",
       [](Inputs& in) {
         RFSubjectPtr d = RFSubject::subject();
         in.c->subscribeNext([d](const Value& v) {
           if (v == Value("end d"))
             d->sendCompleted();
           else if (v.isString() && v.asString().rfind("d", 0) == 0)
             d->sendNext(v);
         });
         return RFSignal::createSignal([a = in.a, b = in.b, c = in.c, d](const RFSubscriberPtr& s) -> RFDisposablePtr {
                  s->sendNext(Value(a));
                  s->sendNext(Value(b));
                  s->sendNext(Value(RFSignalPtr(d)));
                  s->sendNext(Value());  // ignored
                  s->sendCompleted();
                  return nullptr;
                })
             ->flatten(std::uint64_t{2});
       },
       {next('a', 1, "a1"), next('b', 2, "b1"), next('c', 3, "d-early"), done('a', 4), next('c', 5, "d1"), done('b', 6),
        next('c', 7, "end d")},
       {"a1", "b1", "d1", "completed"}},
      {"a limit of 0 subscribes every inner signal at once",
       [](Inputs& in) {
         return RFSignal::createSignal([a = in.a, b = in.b](const RFSubscriberPtr& s) -> RFDisposablePtr {
                  s->sendNext(Value(a));
                  s->sendNext(Value(b));
                  return nullptr;
                })
             ->flatten(std::uint64_t{0});
       },
       {next('b', 1, "b"), next('a', 2, "a")},
       {"b", "a"}},
      {"concat runs them one after another",
       [](Inputs& in) {
         return RFSignal::createSignal([a = in.a, b = in.b](const RFSubscriberPtr& s) -> RFDisposablePtr {
                  s->sendNext(Value(a));
                  s->sendNext(Value(b));
                  s->sendCompleted();
                  return nullptr;
                })
             ->concat();
       },
       {next('b', 1, "b-early"), next('a', 2, "a"), done('a', 3), next('b', 4, "b"), done('b', 5)},
       {"a", "b", "completed"}},
  });
}

TEST(Then, RunsTheBlockOnlyAfterCompletion) {
  int calls = 0;
  marbles::runCases({
      {"values dropped, then the block's signal",
       [&calls](Inputs& in) {
         return in.a->then([&calls] {
           ++calls;
           return RFSignal::returnValue(Value("then"));
         });
       },
       {next('a', 1, 1), done('a', 2)},
       {"then", "completed"}},
      {"never after an error",
       [&calls](Inputs& in) {
         return in.a->sequenceNext([&calls] {
           ++calls;
           return RFSignal::empty();
         });
       },
       {next('a', 1, 1), fail('a', 2, 2)},
       {"error 2"}},
  });
  EXPECT_EQ(calls, 1);
}

TEST(TakeUntil, EndsAtTheTrigger) {
  marbles::runCases({
      {"the trigger's value completes it",
       [](Inputs& in) { return in.a->takeUntil(in.b); },
       {next('a', 1, 1), next('b', 2, "stop"), next('a', 3, 2)},
       {"1", "completed"}},
      {"the trigger's completion completes it",
       [](Inputs& in) { return in.a->takeUntil(in.b); },
       {next('a', 1, 1), done('b', 2), next('a', 3, 2)},
       {"1", "completed"}},
      {"the trigger's error changes nothing",
       [](Inputs& in) { return in.a->takeUntil(in.b); },
       {fail('b', 1, 3), next('a', 2, 1), done('a', 3)},
       {"1", "completed"}},
      {"a trigger that fires at once: the receiver is never subscribed",
       [](Inputs& in) { return in.a->takeUntil(RFSignal::returnValue(Value("now"))); },
       {next('a', 1, 1)},
       {"completed"}},
  });
  RFSubjectPtr receiver = RFSubject::subject();
  receiver->takeUntil(RFSignal::returnValue(Value(1)))->subscribeNext([](const Value&) {});
  EXPECT_EQ(receiver->subscriberCount(), 0u);
}

TEST(TakeUntilReplacement, HandsOverAtTheReplacementsFirstEvent) {
  marbles::runCases({
      {"the receiver until the replacement's first event, then the replacement's",
       [](Inputs& in) { return in.a->takeUntilReplacement(in.b); },
       {next('a', 1, "a1"), next('b', 2, "b1"), next('a', 3, "a2"), next('b', 4, "b2"), done('b', 5)},
       {"a1", "b1", "b2", "completed"}},
      {"the receiver's completion alone does not complete it",
       [](Inputs& in) { return in.a->takeUntilReplacement(in.b); },
       {next('a', 1, "a1"), done('a', 2), mark(3), done('b', 4)},
       {"a1", "@3", "completed"}},
      {"the receiver's error passes",
       [](Inputs& in) { return in.a->takeUntilReplacement(in.b); },
       {fail('a', 1, 5)},
       {"error 5"}},
  });
}

TEST(SwitchToLatest, FollowsTheLatestInnerSignal) {
  marbles::runCases({
      {"an earlier inner signal's values are dropped once the next arrives",
       [](Inputs& in) { return in.c->switchToLatest(); },
       {nextOf('c', 1, [](const Inputs& i) { return Value(i.a); }), next('a', 2, "a1"),
        nextOf('c', 3, [](const Inputs& i) { return Value(i.b); }), next('a', 4, "a2"), next('b', 5, "b1"),
        done('c', 6), mark(6.5), done('b', 7)},
       {"a1", "b1", "@6.5", "completed"}},
      {"a nil inner signal counts as empty",
       [](Inputs& in) { return in.c->switchToLatest(); },
       {next('c', 1, Value()), done('c', 2)},
       {"completed"}},
      {"an inner error ends it",
       [](Inputs& in) { return in.c->switchToLatest(); },
       {nextOf('c', 1, [](const Inputs& i) { return Value(i.a); }), fail('a', 2, 9)},
       {"error 9"}},
  });
}

TEST(Switch, PicksTheCaseOfEachKey) {
  marbles::runCases({
      {"cases, the nil key and the default",
       [](Inputs& in) {
         RFSignalCases cases;
         cases.emplace(Value("x"), RFSignal::returnValue(Value("for x")));
         cases.emplace(RFTupleNil::tupleNilValue(), RFSignal::returnValue(Value("for nil")));
         return RFSignal::switchCases(in.a, std::move(cases), RFSignal::returnValue(Value("default")));
       },
       {next('a', 1, "x"), next('a', 2, Value()), next('a', 3, "other"), done('a', 4)},
       {"for x", "for nil", "default", "completed"}},
      {"a key without a case or default fails",
       [](Inputs& in) { return RFSignal::switchCases(in.a, {}, nullptr); },
       {next('a', 1, "y")},
       {"error 2"}},
      {"if/then/else",
       [](Inputs& in) { return RFSignal::ifThenElse(in.a, in.b, in.c); },
       {next('a', 1, true), next('b', 2, "yes"), next('c', 3, "no-early"), next('a', 4, false),
        next('b', 5, "yes-late"), next('c', 6, "no")},
       {"yes", "no"}},
  });
  platform::ErrorPtr error;
  RFSignal::switchCases(RFSignal::returnValue(Value("y")), {}, nullptr)
      ->subscribeError([&](const platform::ErrorPtr& e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "RFSignalErrorDomain");
  EXPECT_EQ(error->code(), kRFSignalErrorNoMatchingCase);
  EXPECT_EQ(error->localizedDescription(), "No matching signal found for value y");
}

TEST(CombinationNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s"), t = namedSubject("t");
  auto first = [](const Value& a, const Value&) { return a; };
  expectNames({
      startsWith(s->combineLatestWith(t), "[s] -combineLatestWith: <RFSubject: 0x"),
      startsWith(RFSignal::combineLatest({s, t}), "+combineLatest: ("),
      startsWith(RFSignal::combineLatest({s, t}, first), "+combineLatest: ("),
      startsWith(s->merge(t), "[s] -merge: <RFSubject: 0x"),
      startsWith(RFSignal::merge({s, t}), "+merge: ("),
      {s->flatten(std::uint64_t{2}), "[s] -flatten: 2"},
      {s->concat(), "[s] -concat"},
      {s->then([] { return RFSignal::empty(); }), "[s] -then:"},
      startsWith(s->takeUntil(t), "[s] -takeUntil: <RFSubject: 0x"),
      {s->switchToLatest(), "[s] -switchToLatest"},
      startsWith(RFSignal::switchCases(s, {}, t), "+switch: <RFSubject: 0x"),
      startsWith(RFSignal::ifThenElse(s, t, t), "+if: <RFSubject: 0x"),
      {s->takeUntilReplacement(t), "+createSignal:"},  // names nothing of its own
  });
  EXPECT_NE(RFSignal::combineLatest({s, t}, first)->name().find(") reduce:"), std::string::npos);
}

}  // namespace
