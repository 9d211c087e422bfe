#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "reactive/RFSignal.h"
#include "reactive/RFStreamOperatorsInternal.h"
#include "reactive/RFSubject.h"
#include "tests/reactive/marbles.h"

// A second kind of stream, as small as can be: an eager list of values. The generic operators
// come to it unchanged through its five primitives.
class TestList final : public RFStreamOperators<TestList> {
  ZORVEL_CLASS(TestList, RFStream)

 public:
  using Ptr = std::shared_ptr<TestList>;
  static Ptr of(platform::ValueArray values) {
    auto list = platform::make<TestList>();
    list->values = std::move(values);
    return list;
  }
  static Ptr empty() { return of({}); }
  static Ptr returnValue(platform::Value value) { return of({std::move(value)}); }
  Ptr bind(RFStreamBindBlockFactory factory) {
    RFStreamBindBlock block = factory();
    platform::ValueArray out;
    for (const platform::Value& value : values) {
      bool stop = false;
      RFBindStep step = block(value, stop);
      if (step.kind() == RFBindStep::Kind::Stop) break;
      if (step.kind() == RFBindStep::Kind::Value) out.push_back(step.value());
      if (step.kind() == RFBindStep::Kind::Stream)
        for (const platform::Value& v : step.stream<TestList>()->values) out.push_back(v);
      if (stop) break;
    }
    return of(std::move(out));
  }
  Ptr concat(const Ptr& other) {
    platform::ValueArray out = values;
    out.insert(out.end(), other->values.begin(), other->values.end());
    return of(std::move(out));
  }
  Ptr zipWith(const Ptr& other) {
    platform::ValueArray out;
    for (std::size_t i = 0; i < values.size() && i < other->values.size(); ++i)
      out.push_back(platform::Value(RFTuple::tupleWithValues({values[i], other->values[i]})));
    return of(std::move(out));
  }
  // The kind's own concat hides the collection form; this brings it back.
  using RFStreamOperators<TestList>::concat;
  platform::ValueArray values;

 private:
  TestList() = default;
};

template class RFStreamOperators<TestList>;

namespace {

using namespace marbles;
using platform::Value;

std::vector<std::string> texts(const TestList::Ptr& list) {
  std::vector<std::string> out;
  for (const Value& v : list->values) out.push_back(marbles::text(v));
  return out;
}

TEST(StreamOperators, ServeAnotherKindOfStreamThroughItsPrimitives) {
  auto list = TestList::of({Value(1), Value(2), Value(3), Value(4)});
  using T = std::vector<std::string>;
  EXPECT_EQ(texts(list->map([](const Value& v) { return Value(v.asInt64() * 10); })), (T{"10", "20", "30", "40"}));
  EXPECT_EQ(texts(list->filter([](const Value& v) { return v.asInt64() % 2 == 0; })), (T{"2", "4"}));
  EXPECT_EQ(texts(list->take(2)), (T{"1", "2"}));
  EXPECT_EQ(texts(list->skip(3)), (T{"4"}));
  EXPECT_EQ(texts(list->startWith(Value(0))->take(2)), (T{"0", "1"}));
  EXPECT_EQ(texts(list->scanWithStart(Value(0),
                                      [](const Value& a, const Value& v) { return Value(a.asInt64() + v.asInt64()); })),
            (T{"1", "3", "6", "10"}));
  EXPECT_EQ(texts(TestList::zip({list, list->skip(1)})), (T{"(1,2)", "(2,3)", "(3,4)"}));
  EXPECT_EQ(texts(TestList::concat({list->take(1), TestList::returnValue(Value("x"))})), (T{"1", "x"}));
  EXPECT_EQ(texts(list->flattenMap([](const Value& v) {
              return v.asInt64() == 2 ? TestList::of({Value("a"), Value("b")}) : nullptr;
            })),
            (T{"a", "b"}));
}

TEST(StreamOperators, ValuesAndEndingsOnSignals) {
  auto add = [](const Value& a, const Value& v) { return Value(a.asInt64() + v.asInt64()); };
  marbles::runCases({
      {"map",
       [](Inputs& in) { return in.a->map([](const Value& v) { return Value(v.asInt64() + 1); }); },
       {next('a', 1, 1), next('a', 2, 2), done('a', 3)},
       {"2", "3", "completed"}},
      {"mapReplace",
       [](Inputs& in) { return in.a->mapReplace(Value("x")); },
       {next('a', 1, 1), next('a', 2, Value()), done('a', 3)},
       {"x", "x", "completed"}},
      {"filter",
       [](Inputs& in) { return in.a->filter([](const Value& v) { return v.asInt64() > 1; }); },
       {next('a', 1, 1), next('a', 2, 2), fail('a', 3, 9)},
       {"2", "error 9"}},
      {"ignore nil drops nil values only",
       [](Inputs& in) { return in.a->ignore(Value()); },
       {next('a', 1, Value()), next('a', 2, 0), next('a', 3, "")},
       {"0", ""}},
      {"ignore drops equal values",
       [](Inputs& in) { return in.a->ignore(Value("b")); },
       {next('a', 1, "a"), next('a', 2, "b"), next('a', 3, "c")},
       {"a", "c"}},
      {"startWith",
       [](Inputs& in) { return in.a->startWith(Value("s")); },
       {mark(0.5), next('a', 1, 1), done('a', 2)},
       {"s", "@0.5", "1", "completed"}},
      {"skip 2",
       [](Inputs& in) { return in.a->skip(2); },
       {next('a', 1, "a"), next('a', 2, "b"), next('a', 3, "c"), done('a', 4)},
       {"c", "completed"}},
      {"skip 0 passes everything",
       [](Inputs& in) { return in.a->skip(0); },
       {next('a', 1, "a"), done('a', 2)},
       {"a", "completed"}},
      {"take 2 completes after the second value",
       [](Inputs& in) { return in.a->take(2); },
       {next('a', 1, "a"), next('a', 2, "b"), next('a', 3, "c"), fail('a', 4, 1)},
       {"a", "b", "completed"}},
      {"take passes an earlier error",
       [](Inputs& in) { return in.a->take(2); },
       {next('a', 1, "a"), fail('a', 2, 5)},
       {"a", "error 5"}},
      {"scan",
       [add](Inputs& in) { return in.a->scanWithStart(Value(0), add); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 3), done('a', 4)},
       {"1", "3", "6", "completed"}},
      {"scan with index",
       [](Inputs& in) {
         return in.a->scanWithStartReduceWithIndex(Value(""), [](const Value& a, const Value& v, std::uint64_t i) {
           return Value(a.asString() + v.asString() + std::to_string(i));
         });
       },
       {next('a', 1, "x"), next('a', 2, "y")},
       {"x0", "x0y1"}},
      {"combinePrevious",
       [](Inputs& in) {
         return in.a->combinePreviousWithStart(Value(0), [](const Value& previous, const Value& current) {
           return Value(current.asInt64() - previous.asInt64());
         });
       },
       {next('a', 1, 1), next('a', 2, 4), next('a', 3, 9)},
       {"1", "3", "5"}},
      {"combinePrevious keeps nil",
       [](Inputs& in) {
         return in.a->mapPreviousWithStart(Value(), [](const Value& previous, const Value&) { return previous; });
       },
       {next('a', 1, 1), next('a', 2, Value()), next('a', 3, 3)},
       {"(null)", "1", "(null)"}},
      {"takeUntilBlock",
       [](Inputs& in) { return in.a->takeUntilBlock([](const Value& v) { return v == Value("b"); }); },
       {next('a', 1, "a"), next('a', 2, "b"), next('a', 3, "c")},
       {"a", "completed"}},
      {"takeWhileBlock",
       [](Inputs& in) { return in.a->takeWhileBlock([](const Value& v) { return v.asInt64() < 2; }); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 1)},
       {"1", "completed"}},
      {"skipUntilBlock",
       [](Inputs& in) { return in.a->skipUntilBlock([](const Value& v) { return v == Value("b"); }); },
       {next('a', 1, "a"), next('a', 2, "b"), next('a', 3, "a")},
       {"b", "a"}},
      {"skipWhileBlock",
       [](Inputs& in) { return in.a->skipWhileBlock([](const Value& v) { return v.asInt64() < 2; }); },
       {next('a', 1, 1), next('a', 2, 2), next('a', 3, 1)},
       {"2", "1"}},
      {"distinctUntilChanged",
       [](Inputs& in) { return in.a->distinctUntilChanged(); },
       {next('a', 1, 1), next('a', 2, 1), next('a', 3, 2), next('a', 4, 2), next('a', 5, 1)},
       {"1", "2", "1"}},
      {"distinctUntilChanged lets the first nil pass, once",
       [](Inputs& in) { return in.a->distinctUntilChanged(); },
       {next('a', 1, Value()), next('a', 2, Value()), next('a', 3, 1)},
       {"(null)", "1"}},
      {"reduceEach",
       [](Inputs& in) {
         return in.a->zipWith(in.b)->reduceEach(
             [](const Value& x, const Value& y) { return Value(x.asString() + y.asString()); });
       },
       {next('a', 1, "a"), next('b', 2, "x"), next('b', 3, "y"), next('a', 4, "b")},
       {"ax", "by"}},
      {"sequenceMany replaces each value",
       [](Inputs& in) { return in.a->sequenceMany([] { return RFSignal::returnValue(Value("m")); }); },
       {next('a', 1, 1), next('a', 2, 2), done('a', 3)},
       {"m", "m", "completed"}},
      {"flattenMap: a nil stream counts as empty and ends nothing",
       [](Inputs& in) {
         RFSubjectPtr b = in.b;
         return in.a->flattenMap([b](const Value& v) -> RFSignalPtr { return v.asInt64() == 1 ? nullptr : b; });
       },
       {next('a', 1, 1), next('a', 2, 2), next('b', 3, "b"), done('a', 4), mark(4.5), done('b', 5)},
       {"b", "@4.5", "completed"}},
      {"flattenMap: an inner error ends everything",
       [](Inputs& in) {
         RFSubjectPtr b = in.b;
         return in.a->flattenMap([b](const Value&) { return b; });
       },
       {next('a', 1, 1), fail('b', 2, 4), next('a', 3, 1), next('b', 4, "late")},
       {"error 4"}},
      {"flatten",
       [](Inputs& in) { return in.a->flatten(); },
       {nextOf('a', 1, [](const Inputs& i) { return Value(i.b); }),
        nextOf('a', 2, [](const Inputs& i) { return Value(i.c); }), next('c', 3, "c1"), next('b', 4, "b1"),
        done('a', 5), done('b', 6), done('c', 7)},
       {"c1", "b1", "completed"}},
  });
}

TEST(StreamOperators, TakeZeroIsTheSharedEmptySignalAndNeverSubscribes) {
  int subscriptions = 0;
  auto signal = RFSignal::createSignal([&](const RFSubscriberPtr&) -> RFDisposablePtr {
    ++subscriptions;
    return nullptr;
  });
  RFSignalPtr taken = signal->take(0);
  EXPECT_EQ(taken, RFSignal::empty());
  bool completed = false;
  taken->subscribeCompleted([&] { completed = true; });
  EXPECT_TRUE(completed);
  EXPECT_EQ(subscriptions, 0);
}

TEST(StreamOperators, TakeLetsTheReceiverGoRightAfterTheLastValue) {
  RFSubjectPtr source = RFSubject::subject();
  std::vector<std::size_t> listed;
  source->take(2)->subscribeNext([&](const Value&) { listed.push_back(source->subscriberCount()); });
  source->sendNext(Value("a"));
  source->sendNext(Value("b"));
  EXPECT_EQ(listed, (std::vector<std::size_t>{1, 1}));
  EXPECT_EQ(source->subscriberCount(), 0u);
}

TEST(StreamOperators, ZipAndConcatOfCollections) {
  marbles::runCases({
      {"zip of three",
       [](Inputs& in) {
         return RFSignal::zip({in.a, in.b, in.c});
       },
       {next('a', 1, "a1"), next('b', 2, "b1"), next('a', 3, "a2"), next('c', 4, "c1"), next('c', 5, "c2"),
        next('b', 6, "b2"), mark(6.5), done('b', 7), next('a', 8, "a3")},
       {"(a1,b1,c1)", "(a2,b2,c2)", "@6.5", "completed"}},
      {"zip of one sends one-item tuples",
       [](Inputs& in) { return RFSignal::zip({in.a}); },
       {next('a', 1, "x"), next('a', 2, Value())},
       {"(x)", "((null))"}},
      {"zip with reduce",
       [](Inputs& in) {
         return RFSignal::zip({in.a, in.b},
                              [](const Value& x, const Value& y) { return Value(x.asInt64() * y.asInt64()); });
       },
       {next('a', 1, 2), next('b', 2, 5)},
       {"10"}},
      {"zip of nothing is empty", [](Inputs&) { return RFSignal::zip({}); }, {}, {"completed"}},
      {"concat of a collection",
       [](Inputs& in) {
         return RFSignal::concat(std::vector<RFSignalPtr>{in.a, in.b});
       },
       {next('b', 1, "b-early"), next('a', 2, "a"), done('a', 3), next('b', 4, "b"), done('b', 5)},
       {"a", "b", "completed"}},
      {"concat of nothing is empty",
       [](Inputs&) { return RFSignal::concat(std::vector<RFSignalPtr>{}); },
       {},
       {"completed"}},
  });
  EXPECT_EQ(RFSignal::zip({}), RFSignal::empty());
}

TEST(StreamOperators, OffAnySchedulerOneValueStepsArriveLaterInOrder) {
  // A thread without a current scheduler: each value goes through a return signal, delivered
  // on the subscription scheduler's background scheduler, and completion follows the last one.
  RFSubjectPtr source = RFSubject::subject();
  std::mutex lock;
  std::vector<std::string> events;
  platform::DispatchSemaphore completed;
  std::thread::id sender;
  bool sameThread = false;
  bool delivered = false;
  source->map([](const Value& v) { return Value(v.asInt64() * 2); })
      ->subscribeNext(
          [&](const Value& v) {
            std::lock_guard g(lock);
            if (std::this_thread::get_id() == sender) sameThread = true;
            events.push_back(v.description());
          },
          nullptr,
          [&] {
            {
              std::lock_guard g(lock);
              events.push_back("completed");
            }
            completed.signal();
          });
  std::thread([&] {
    {
      std::lock_guard g(lock);
      sender = std::this_thread::get_id();
    }
    for (int i = 1; i <= 50; ++i) source->sendNext(Value(i));
    source->sendCompleted();
    // The sender stays alive until the last delivery: a thread that has ended may pass its id on
    // to a worker started later.
    delivered = completed.wait(10);
  }).join();
  ASSERT_TRUE(delivered);
  std::lock_guard g(lock);
  ASSERT_EQ(events.size(), 51u);
  for (int i = 1; i <= 50; ++i) EXPECT_EQ(events[i - 1], std::to_string(i * 2));
  EXPECT_FALSE(sameThread);
}

TEST(StreamOperators, AValueFromASchedulerThreadWaitsBehindValuesStillQueued) {
  // A value from a bare thread is queued on the background scheduler; one sent on the main
  // thread while it waits there must not overtake it (a return signal would deliver it at once).
  RFSubjectPtr source = RFSubject::subject();
  std::mutex lock;
  std::vector<std::string> events;
  platform::DispatchSemaphore mainSent, second;
  source->map([](const Value& v) { return v; })->subscribeNext([&](const Value& v) {
    std::lock_guard g(lock);
    events.push_back(v.description());
    if (events.size() == 2) second.signal();
  });
  // Holds the background queue until the main thread has sent.
  auto& subscriptions = static_cast<RFSubscriptionScheduler&>(*RFScheduler::subscriptionScheduler());
  subscriptions.backgroundScheduler()->schedule([&] { mainSent.wait(5); });
  std::thread([&] { source->sendNext(Value("queued")); }).join();
  source->sendNext(Value("main"));
  mainSent.signal();
  ASSERT_TRUE(second.wait(10));
  std::lock_guard g(lock);
  EXPECT_EQ(events, (std::vector<std::string>{"queued", "main"}));
}

TEST(StreamOperatorNames, FollowTheirFormats) {
  DebugNames on;
  RFSubjectPtr s = namedSubject("s");
  auto id = [](const Value& v) { return v; };
  auto yes = [](const Value&) { return true; };
  auto keep = [](const Value& a, const Value&) { return a; };
  expectNames({
      {s->flattenMap([](const Value&) { return RFSignal::empty(); }), "[s] -flattenMap:"},
      {s->flatten(), "[s] -flatten"},
      {s->map(id), "[s] -map:"},
      {s->mapReplace(Value("x")), "[s] -mapReplace: x"},
      {s->filter(yes), "[s] -filter:"},
      {s->ignore(Value(3)), "[s] -ignore: 3"},
      {s->reduceEach([](const Value& v) { return v; }), "[s] -reduceEach:"},
      {s->startWith(Value(1)), "[s] -startWith: 1"},
      {s->skip(2), "[s] -skip: 2"},
      {s->take(3), "[s] -take: 3"},
      {s->scanWithStart(Value(0), keep), "[s] -scanWithStart: 0 reduce:"},
      {s->scanWithStartCombine(Value(0), keep), "[s] -scanWithStart: 0 reduce:"},
      {s->scanWithStartReduceWithIndex(Value(0), [](const Value& a, const Value&, std::uint64_t) { return a; }),
       "[s] -scanWithStart: 0 reduceWithIndex:"},
      {s->combinePreviousWithStart(Value(0), keep), "[s] -combinePreviousWithStart: 0 reduce:"},
      {s->mapPreviousWithStart(Value(0), keep), "[s] -combinePreviousWithStart: 0 reduce:"},
      {s->takeUntilBlock(yes), "[s] -takeUntilBlock:"},
      {s->takeWhileBlock(yes), "[s] -takeWhileBlock:"},
      {s->skipUntilBlock(yes), "[s] -skipUntilBlock:"},
      {s->skipWhileBlock(yes), "[s] -skipWhileBlock:"},
      {s->distinctUntilChanged(), "[s] -distinctUntilChanged"},
      {s->sequenceMany([] { return RFSignal::empty(); }), "[s] -sequenceMany:"},
      {s->bind([] { return [](const Value&, bool&) { return RFBindStep::stop(); }; }), "[s] -bind:"},
      startsWith(RFSignal::zip({s, s}), "+zip: ("),
      startsWith(RFSignal::concat(std::vector<RFSignalPtr>{s}), "+concat: ("),
  });
}

}  // namespace
