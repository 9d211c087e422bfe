#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/codecs/keyed_archiver.h"
#include "platform/dispatch/run_loop.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFSequence.h"
#include "tests/reactive/marbles.h"

namespace {

using platform::Value;
using platform::ValueArray;
using Texts = std::vector<std::string>;

Texts texts(const RFSequencePtr& sequence) {
  Texts out;
  for (const Value& v : sequence->array()) out.push_back(marbles::text(v));
  return out;
}

ValueArray numbers(std::initializer_list<int> values) {
  ValueArray out;
  for (int v : values) out.emplace_back(v);
  return out;
}

// 1, 2, 3, ... without end; counts the heads it computes.
RFSequencePtr naturalsFrom(std::int64_t n, std::shared_ptr<std::atomic<int>> computed = nullptr) {
  return RFSequence::sequenceWithHeadBlock(
      [n, computed] {
        if (computed) ++*computed;
        return Value(n);
      },
      [n, computed] { return naturalsFrom(n + 1, computed); });
}

TEST(Sequence, EmptyFormsAreTheSharedEmptySequence) {
  for (const RFSequencePtr& s : {rf_sequence(ValueArray{}), rf_sequence(Value("")), rf_sequence(platform::IndexSet{}),
                                 rf_sequence(RFTuple::tuple()), rf_sequence(Value())}) {
    ASSERT_TRUE(s);
    EXPECT_EQ(s.get(), RFSequence::empty().get());
    EXPECT_TRUE(s->head().isNil());
    EXPECT_EQ(s->tail(), nullptr);
    EXPECT_TRUE(s->array().empty());
  }
  EXPECT_EQ(rf_sequence(Value(3)), nullptr) << "a number is no collection";
}

TEST(Sequence, ArrayTailsShareTheArrayAndEndInTheEmptySequence) {
  RFSequencePtr s = rf_sequence(numbers({1, 2, 3}));
  EXPECT_EQ(texts(s->tail()), (Texts{"2", "3"}));
  EXPECT_EQ(s->tail()->tail()->tail().get(), RFSequence::empty().get());
  EXPECT_EQ(s->head(), Value(1));
  EXPECT_EQ(s->copy().get(), s.get()) << "immutable: a copy is the sequence itself";
}

TEST(Sequence, CollectionForms) {
  struct Row {
    const char* name;
    RFSequencePtr sequence;
    Texts expected;
  };
  platform::ValueDictionary dictionary{{"a", Value(1)}, {"b", Value(2)}};
  std::vector<Row> rows = {
      {"set, in its order", rf_sequence(Value(platform::ValueSet{Value("x"), Value("y")})), {"x", "y"}},
      {"dictionary as key-value tuples", rf_sequence(Value(dictionary)), {"(a,1)", "(b,2)"}},
      {"dictionary keys", rf_keySequence(dictionary), {"a", "b"}},
      {"dictionary values", rf_valueSequence(dictionary), {"1", "2"}},
      {"index set, sorted, each index once", rf_sequence(platform::IndexSet{5, 1, 3, 1}), {"1", "3", "5"}},
      {"tuple, nil as the null marker",
       rf_sequence(RFTuple::tupleWithValues({Value(1), Value(), Value(3)})),
       {"1", "<null>", "3"}},
      {"string by composed character", rf_sequence(Value("ab\u00e9")), {"a", "b", "\u00e9"}},
  };
  for (const Row& row : rows) EXPECT_EQ(texts(row.sequence), row.expected) << row.name;
}

TEST(Sequence, DictionarySequenceKeepsThePairsOfWhenItWasTaken) {
  Value dictionary = Value::dictionary({{"k", Value(1)}});
  RFSequencePtr s = rf_sequence(dictionary);
  dictionary.set("k", Value(2));
  dictionary.set("l", Value(3));
  EXPECT_EQ(texts(s), (Texts{"(k,1)"}));
}

TEST(Sequence, StringWalksByUtf16UnitButArraysByComposedCharacter) {
  RFSequencePtr s = rf_sequence(Value("e\u0301"));  // e + combining acute accent
  ASSERT_TRUE(s);
  EXPECT_EQ(s->head(), Value("e"));
  EXPECT_EQ(s->tail()->head(), Value("\u0301"));
  EXPECT_EQ(s->tail()->tail().get(), RFSequence::empty().get());
  EXPECT_EQ(texts(s), (Texts{"e\u0301"}));

  // A character beyond the Basic Multilingual Plane is two units: two heads, one element.
  RFSequencePtr emoji = rf_sequence(Value("a\U0001F600b"));
  Texts heads;
  for (RFSequencePtr node = emoji; node && !node->head().isNil(); node = node->tail())
    heads.push_back(node->head().asString());
  EXPECT_EQ(heads, (Texts{"a", "\uFFFD", "\uFFFD", "b"}));
  EXPECT_EQ(texts(emoji), (Texts{"a", "\U0001F600", "b"}));
  EXPECT_EQ(texts(RFStringSequence::sequenceWithString("a\U0001F600b", 2)), (Texts{"\uFFFD", "b"}))
      << "an offset inside a pair starts with its second half";
}

TEST(Sequence, DynamicHeadBlockRunsOnceEvenFromTwoThreads) {
  for (int round = 0; round < 50; ++round) {
    std::atomic<int> runs{0};
    RFSequencePtr s = RFSequence::sequenceWithHeadBlock(
        [&runs] {
          ++runs;
          return Value("h");
        },
        nullptr);
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i)
      readers.emplace_back([s] {
        for (int j = 0; j < 3; ++j) EXPECT_EQ(s->head(), Value("h"));
      });
    for (auto& t : readers) t.join();
    EXPECT_EQ(runs.load(), 1);
  }
}

TEST(Sequence, GenericOperatorsWorkLazilyOnSequences) {
  auto computed = std::make_shared<std::atomic<int>>(0);
  RFSequencePtr naturals = naturalsFrom(1, computed);
  RFSequencePtr evens = naturals->filter([](const Value& v) { return v.asInt64() % 2 == 0; })->map([](const Value& v) {
    return Value(v.asInt64() * 10);
  });
  EXPECT_EQ(computed->load(), 0) << "nothing is computed before it is read";
  EXPECT_EQ(texts(evens->take(3)), (Texts{"20", "40", "60"}));
  EXPECT_EQ(computed->load(), 6) << "only the values up to the third even one";

  using T = Texts;
  RFSequencePtr abc = rf_sequence(ValueArray{Value("a"), Value("b"), Value("c")});
  struct Row {
    const char* name;
    RFSequencePtr result;
    T expected;
  };
  std::vector<Row> rows = {
      {"skip", abc->skip(2), {"c"}},
      {"startWith", abc->startWith(Value("s")), {"s", "a", "b", "c"}},
      {"concat", abc->concat(rf_sequence(numbers({1}))), {"a", "b", "c", "1"}},
      {"zipWith stops at the shorter", abc->zipWith(naturalsFrom(1)), {"(a,1)", "(b,2)", "(c,3)"}},
      {"zip of three", RFSequence::zip({abc, naturalsFrom(1), abc->skip(1)}), {"(a,1,b)", "(b,2,c)"}},
      {"concat of a collection", RFSequence::concat({abc->take(1), RFSequence::returnValue(Value("x"))}), {"a", "x"}},
      {"flattenMap",
       abc->flattenMap([](const Value& v) {
         return v == Value("b") ? rf_sequence(numbers({7, 8})) : nullptr;
       }),
       {"7", "8"}},
      {"distinctUntilChanged", rf_sequence(numbers({1, 1, 2, 2, 1}))->distinctUntilChanged(), {"1", "2", "1"}},
      {"takeUntilBlock", abc->takeUntilBlock([](const Value& v) { return v == Value("b"); }), {"a"}},
      {"scan",
       rf_sequence(numbers({1, 2, 3}))
           ->scanWithStart(Value(0), [](const Value& a, const Value& v) { return Value(a.asInt64() + v.asInt64()); }),
       {"1", "3", "6"}},
      {"take on an infinite sequence", naturalsFrom(5)->take(2), {"5", "6"}},
      {"a value mapped to nil is dropped",
       abc->map([](const Value& v) { return v == Value("b") ? Value() : v; }),
       {"a", "c"}},
  };
  for (const Row& row : rows) EXPECT_EQ(texts(row.result), row.expected) << row.name;
}

TEST(Sequence, LazyBindEndsAfterTheFirstValueOfAStoppingStepWhileEagerKeepsThemAll) {
  auto threeAndStop = [] {
    return [](const Value&, bool& stop) -> RFBindStep {
      stop = true;
      return rf_sequence(numbers({1, 2, 3}));
    };
  };
  RFSequencePtr source = rf_sequence(numbers({9, 9}));
  EXPECT_EQ(texts(source->bind(threeAndStop)), (Texts{"1"}));
  RFSequencePtr eager = source->eagerSequence();
  RFSequencePtr eagerResult = eager->bind(threeAndStop);
  EXPECT_EQ(texts(eagerResult), (Texts{"1", "2", "3"}));
  EXPECT_TRUE(eagerResult->isKindOf(RFEagerSequence::staticClass())) << "the eager kind stays eager";
  EXPECT_TRUE(eager->map([](const Value& v) { return v; })->isKindOf(RFEagerSequence::staticClass()));
  EXPECT_TRUE(eager->startWith(Value(0))->isKindOf(RFEagerSequence::staticClass()));
  EXPECT_FALSE(eager->lazySequence()->isKindOf(RFEagerSequence::staticClass()));

  // A stop step ends the result before it.
  RFSequencePtr stopped = rf_sequence(numbers({1, 2, 3}))->bind([] {
    return [](const Value& v, bool&) -> RFBindStep {
      return v.asInt64() == 2 ? RFBindStep::stop() : RFBindStep::value(v);
    };
  });
  EXPECT_EQ(texts(stopped), (Texts{"1"}));
}

TEST(Sequence, EagerSequenceEvaluatesEverythingAtOnce) {
  int calls = 0;
  RFSequencePtr eager = rf_sequence(numbers({1, 2, 3}))->eagerSequence();
  RFSequencePtr mapped = eager->map([&calls](const Value& v) {
    ++calls;
    return v;
  });
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(mapped->eagerSequence().get(), mapped.get());
}

TEST(Sequence, FoldsAndSearches) {
  RFSequencePtr s = rf_sequence(numbers({1, 2, 3}));
  auto minus = [](const Value& a, const Value& v) { return Value(a.asInt64() - v.asInt64()); };
  EXPECT_EQ(s->foldLeftWithStart(Value(0), minus), Value(-6));
  EXPECT_EQ(RFSequence::empty()->foldLeftWithStart(Value(7), minus), Value(7));
  EXPECT_EQ(s->foldRightWithStart(
                Value(0),
                [](const Value& v, const RFSequencePtr& rest) { return Value(v.asInt64() - rest->head().asInt64()); }),
            Value(2));  // 1 - (2 - (3 - 0))
  EXPECT_EQ(RFSequence::empty()->foldRightWithStart(Value(5), nullptr), Value(5));

  // A block that ignores the rest evaluates the first value only, also on an infinite sequence.
  auto computed = std::make_shared<std::atomic<int>>(0);
  EXPECT_EQ(
      naturalsFrom(1, computed)->foldRightWithStart(Value(), [](const Value& v, const RFSequencePtr&) { return v; }),
      Value(1));
  EXPECT_EQ(computed->load(), 1);

  auto isTwo = [](const Value& v) { return v == Value(2); };
  EXPECT_TRUE(s->any(isTwo));
  EXPECT_FALSE(s->all(isTwo));
  EXPECT_TRUE(s->all([](const Value& v) { return v.asInt64() > 0; }));
  EXPECT_EQ(naturalsFrom(1)->objectPassingTest([](const Value& v) { return v.asInt64() > 4; }), Value(5));
  int asked = 0;
  EXPECT_FALSE(s->all([&asked](const Value& v) {
    ++asked;
    return v.asInt64() != 1;
  }));
  EXPECT_EQ(asked, 1) << "no predicate call after the first refusal";
}

TEST(Sequence, EqualityComparesValuesInOrder) {
  RFSequencePtr array = rf_sequence(numbers({1, 2}));
  RFSequencePtr dynamic = RFSequence::sequenceWithHeadBlock(
      [] { return Value(1); }, [] { return RFSequence::sequenceWithHeadBlock([] { return Value(2); }, nullptr); });
  EXPECT_TRUE(array->isEqual(*dynamic));
  EXPECT_TRUE(dynamic->isEqual(*array));
  EXPECT_EQ(array->hash(), dynamic->hash());
  EXPECT_FALSE(array->isEqual(*rf_sequence(numbers({1, 2, 3}))));
  EXPECT_FALSE(rf_sequence(numbers({1, 2, 3}))->isEqual(*array));
  EXPECT_FALSE(array->isEqual(*RFTuple::tuple()));
  EXPECT_TRUE(RFSequence::returnValue(Value("x"))->isEqual(*RFSequence::returnValue(Value("x"))));
}

TEST(Sequence, SignalWithSchedulerSendsOneValuePerRunAndEachSubscriptionFromTheStart) {
  auto scheduler = RFTestScheduler::create();
  RFSignalPtr signal = rf_sequence(numbers({1, 2, 3}))->signalWithScheduler(scheduler);
  Texts first, second;
  auto record = [](Texts& into) { return [&into](const Value& v) { into.push_back(v.description()); }; };
  signal->subscribeNextCompleted(record(first), [&first] { first.push_back("completed"); });
  signal->subscribeNextCompleted(record(second), [&second] { second.push_back("completed"); });
  scheduler->step(2);  // the first run of each subscription
  EXPECT_EQ(first, (Texts{"1"}));
  EXPECT_EQ(second, (Texts{"1"}));
  scheduler->stepAll();
  EXPECT_EQ(first, (Texts{"1", "2", "3", "completed"}));
  EXPECT_EQ(second, first);
}

TEST(Sequence, DisposingTheSignalStopsTheWalk) {
  auto scheduler = RFTestScheduler::create();
  Texts got;
  RFDisposablePtr d = naturalsFrom(1)->signalWithScheduler(scheduler)->subscribeNext(
      [&got](const Value& v) { got.push_back(v.description()); });
  scheduler->step(2);
  d->dispose();
  scheduler->stepAll();  // ends: nothing reschedules after the disposal
  EXPECT_EQ(got, (Texts{"1", "2"}));
}

TEST(Sequence, SignalBecomesASequenceThatWaitsForItsValues) {
  RFSubjectPtr subject = RFSubject::subject();
  RFSequencePtr s = subject->sequence();
  std::thread sender([subject] {
    platform::sleepFor(0.05);
    subject->sendNext(Value(1));
    subject->sendNext(Value());
    subject->sendCompleted();
  });
  EXPECT_EQ(s->head(), Value(1)) << "waits for the first value";
  EXPECT_EQ(texts(s), (Texts{"1", "<null>"})) << "a nil value reads as the null marker";
  EXPECT_TRUE(s->tail()->tail()->head().isNil()) << "the end of the signal ends the sequence";
  sender.join();

  RFSequencePtr failed =
      RFSignal::returnValue(Value("a"))->concat(RFSignal::error(platform::Error::make("Test", 1)))->sequence();
  EXPECT_EQ(texts(failed), (Texts{"a"})) << "a failure ends the sequence where it happens";
  EXPECT_TRUE(failed->tail()->head().isNil());
}

TEST(Sequence, EnumeratorsHandOutEachValueOnce) {
  RFSequenceEnumeratorPtr e = rf_sequence(numbers({1, 2, 3}))->objectEnumerator();
  EXPECT_EQ(e->nextObject(), Value(1));
  EXPECT_EQ(e->allObjects(), numbers({2, 3}));
  EXPECT_TRUE(e->nextObject().isNil());

  // A sequence over an enumerator: the order of reading decides which node gets which object.
  auto source = std::make_shared<int>(0);
  auto next = [source]() -> Value { return *source < 3 ? Value(++*source) : Value(); };
  RFSequencePtr s = rf_sequenceWithEnumerator(next);
  RFSequencePtr t = s->tail();
  EXPECT_EQ(t->head(), Value(1)) << "the tail read first takes the first object";
  EXPECT_EQ(s->head(), Value(2));
  EXPECT_EQ(texts(rf_sequenceWithEnumerator(next)), (Texts{"3"}));
}

TEST(Sequence, ArchivesAsAnArraySequence) {
  struct Row {
    const char* name;
    RFSequencePtr sequence;
    const platform::Class& decodedClass;
  };
  std::vector<Row> rows = {
      {"dynamic", naturalsFrom(1)->take(3), RFArraySequence::staticClass()},
      {"eager", rf_sequence(numbers({1, 2, 3}))->eagerSequence(), RFArraySequence::staticClass()},
      {"array from an offset", rf_sequence(numbers({0, 1, 2, 3}))->tail(), RFArraySequence::staticClass()},
      {"one value", RFSequence::returnValue(Value(1)), RFUnarySequence::staticClass()},
  };
  for (const Row& row : rows) {
    platform::Bytes bytes = platform::KeyedArchiver::archivedData(Value(row.sequence));
    auto decoded = platform::KeyedUnarchiver::unarchivedObject(bytes).as<RFSequence>();
    ASSERT_TRUE(decoded) << row.name;
    EXPECT_TRUE(decoded->isMemberOf(row.decodedClass)) << row.name;
    EXPECT_TRUE(decoded->isEqual(*row.sequence)) << row.name;
  }
  auto empty =
      platform::KeyedUnarchiver::unarchivedObject(platform::KeyedArchiver::archivedData(Value(RFSequence::empty())));
  EXPECT_EQ(empty.asObject().get(), RFSequence::empty().get()) << "the shared empty sequence comes back";
}

TEST(Sequence, ReleasingAMillionNodeMemoisedChainDoesNotExhaustTheStack) {
  RFSequencePtr head = naturalsFrom(0);
  RFSequencePtr node = head;
  for (int i = 0; i < 1'000'000; ++i) node = node->tail();
  EXPECT_EQ(node->head(), Value(1'000'000));
  node.reset();
  head.reset();  // lets the whole memoised chain go
  SUCCEED();
}

TEST(Sequence, DescriptionsAndDebugNames) {
  marbles::DebugNames names;
  RFSequencePtr s = RFSequence::sequenceWithHeadBlock([] { return Value(1); }, nullptr);
  EXPECT_NE(s->description().find("head = (unresolved), tail = (null)"), std::string::npos);
  RFSequencePtr unresolvedTail = RFSequence::sequenceWithHeadBlock(nullptr, [] { return RFSequence::empty(); });
  EXPECT_NE(unresolvedTail->description().find("tail = (unresolved)"), std::string::npos);
  s->head();
  EXPECT_NE(s->description().find("head = 1, tail = (null)"), std::string::npos);
  EXPECT_EQ(s->name(), "+sequenceWithHeadBlock:tailBlock:");
  RFSequencePtr array = rf_sequence(numbers({1, 2}));
  array->setName("nums");
  EXPECT_EQ(array->tail()->name(), "nums") << "tails take their parent's name";
  EXPECT_EQ(array->map([](const Value& v) { return v; })->name(), "[nums] -map:");
  EXPECT_NE(rf_sequence(platform::IndexSet{1, 2})->description().find("indexes = 1, 2"), std::string::npos);
  EXPECT_EQ(RFSequence::empty()->name(), "") << "the shared empty sequence keeps no name";
}

}  // namespace
