#include <gtest/gtest.h>

#include <thread>

#include "platform/codecs/keyed_archiver.h"
#include "reactive/RFEvent.h"
#include "reactive/RFTuple.h"

namespace {

using platform::Value;

TEST(Tuple, HoldsNilAsTheMarker) {
  RFTuplePtr tuple = RFTuple::tupleWithObjectsFromArray({Value("a"), Value::null()}, true);
  EXPECT_EQ(tuple->count(), 2u);
  EXPECT_TRUE(tuple->second().isNil());
  EXPECT_TRUE(RFTupleNil::isTupleNil(tuple->backingArray()[1]));
  EXPECT_TRUE(tuple->allObjects()[1].isNull());
  EXPECT_TRUE(RFTuple::tupleWithObjectsFromArray({Value::null()})->first().isNull());

  EXPECT_EQ(RFTuple::tupleWithObjects({Value("a"), Value(), Value("b")})->count(), 1u);
  EXPECT_TRUE(tuple->objectAtIndex(5).isNil());
  EXPECT_TRUE(RFTuple::tuple()->last().isNil());

  RFTuplePtr grown = tuple->tupleByAddingObject(Value());
  EXPECT_EQ(grown->count(), 3u);
  EXPECT_TRUE(grown->last().isNil());
}

TEST(Tuple, EqualityHashAndCopy) {
  RFTuplePtr a = RFTuple::tupleWithValues({Value(1), Value()});
  RFTuplePtr b = RFTuple::tupleWithValues({Value(1), Value()});
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  EXPECT_FALSE(Value(a) == Value(platform::ValueArray{Value(1), Value::null()}));
  EXPECT_EQ(a->copy(), a);
  EXPECT_EQ(RFTupleNil::tupleNil()->copy(), RFTupleNil::tupleNil());
}

TEST(Tuple, ArchivesWithItsNilMarker) {
  RFTuplePtr tuple = RFTuple::tupleWithValues({Value("x"), Value()});
  platform::Bytes bytes = platform::KeyedArchiver::archivedData(Value(tuple));
  platform::ErrorPtr error;
  Value decoded = platform::KeyedUnarchiver::unarchivedObject(bytes, &error);
  ASSERT_FALSE(error) << error->description();
  auto back = decoded.as<RFTuple>();
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*tuple));
  EXPECT_EQ(back->backingArray()[1].asObject(), RFTupleNil::tupleNil());
}

TEST(Tuple, UnpackingTrampolineFillsMissingPositionsWithNil) {
  Value a, b, c = Value("old");
  RFTupleUnpackingTrampoline::trampoline().setObject(RFTuple::tupleWithValues({Value(1), Value(2)}), {&a, &b, &c});
  EXPECT_EQ(a, Value(1));
  EXPECT_EQ(b, Value(2));
  EXPECT_TRUE(c.isNil());
}

TEST(BlockTrampoline, CallsTheBlockWithTheTuplesValues) {
  Value result = RFBlockTrampoline::invokeBlock(
      [](const Value& x, const Value& y, const Value& z) {
        return Value(x.asString() + (y.isNil() ? "-" : y.asString()) + z.asString());
      },
      RFTuple::tupleWithValues({Value("a"), Value(), Value("c")}));
  EXPECT_EQ(result, Value("a-c"));
  // Fewer values than arguments: nil for the rest.
  Value short_ = RFBlockTrampoline::invokeBlock([](Value x, Value y) { return Value(y.isNil() ? x : y); },
                                                RFTuple::tupleWithValues({Value(5)}));
  EXPECT_EQ(short_, Value(5));
  EXPECT_THROW(RFBlockTrampoline::invokeBlock([](Value x) { return x; }, RFTuple::tuple()), platform::Exception);
}

TEST(Event, EqualityFollowsTypeAndObject) {
  struct Case {
    RFEventPtr a, b;
    bool equal;
  };
  auto error = platform::Error::make("D", 1);
  const Case cases[] = {
      {RFEvent::eventWithValue(Value()), RFEvent::eventWithValue(Value()), true},
      {RFEvent::eventWithValue(Value()), RFEvent::eventWithValue(Value(1)), false},
      {RFEvent::eventWithValue(Value(1)), RFEvent::eventWithValue(Value(1)), true},
      {RFEvent::completedEvent(), RFEvent::eventWithType(RFEventType::Completed, Value()), true},
      {RFEvent::eventWithError(error), RFEvent::eventWithValue(Value(error)), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a->isEqual(*c.b), c.equal) << c.a->description() << " vs " << c.b->description();
    if (c.equal) {
      EXPECT_EQ(c.a->hash(), c.b->hash());
    }
  }
}

TEST(Event, AccessorsAndSharedInstances) {
  EXPECT_EQ(RFEvent::completedEvent(), RFEvent::completedEvent());
  RFEventPtr value = RFEvent::eventWithValue(Value("v"));
  EXPECT_FALSE(value->isFinished());
  EXPECT_EQ(value->copy(), value);
  RFEventPtr error = RFEvent::eventWithError(platform::Error::make("D", 1));
  EXPECT_TRUE(error->isFinished());
  EXPECT_TRUE(error->value().isNil());
  EXPECT_EQ(error->error()->code(), 1);
  EXPECT_NE(value->description().find("{ next = v }"), std::string::npos);
  std::shared_ptr<RFUnit> fromThread;
  std::thread([&] { fromThread = RFUnit::defaultUnit(); }).join();
  EXPECT_EQ(fromThread, RFUnit::defaultUnit());
}

}  // namespace
