#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/codecs/json.h"

namespace platform {
namespace {

class Thing : public Object {};

TEST(Json, ReadsEveryKindAndKeepsIntegerKinds) {
  ErrorPtr error;
  Value v = jsonObjectWithData(R"({"s":"t\u00e9\ud83d\ude00","i":-5,"p":7,"big":18446744073709551615,"d":2.5,"e":1E3,)"
                               R"("t":true,"f":false,"n":null,"a":[1,[2]],"o":{"k":"v"},"dup":1,"dup":2})",
                               0, &error);
  ASSERT_TRUE(v.isDictionary()) << (error ? error->description() : "");
  EXPECT_EQ(v["s"], Value("t\xc3\xa9\xf0\x9f\x98\x80"));
  EXPECT_EQ(v["i"].type(), Value::Type::Int);
  EXPECT_EQ(v["i"].asInt64(), -5);
  EXPECT_EQ(v["p"].type(), Value::Type::Int);
  EXPECT_EQ(v["big"].type(), Value::Type::UInt);
  EXPECT_EQ(v["big"].asUInt64(), UINT64_MAX);
  EXPECT_EQ(v["d"].type(), Value::Type::Double);
  EXPECT_EQ(v["e"].type(), Value::Type::Double);
  EXPECT_EQ(v["e"].asDouble(), 1000.0);
  EXPECT_EQ(v["t"].type(), Value::Type::Bool);
  EXPECT_TRUE(v["n"].isNull());
  EXPECT_EQ(v["a"][1][0], Value(2));
  EXPECT_EQ(v["o"]["k"], Value("v"));
  EXPECT_EQ(v["dup"], Value(2));
  EXPECT_EQ(v.asDictionary().keys().front(), "s");  // document order kept
}

TEST(Json, MalformedInputFailsWithAnError) {
  const char* cases[] = {
      "",    "{",          "[1,]", "{\"a\" 1}", "[1] trailing",   "{'a':1}",  "[\"\\ud800\"]x",
      "nul", "[\"\xff\"]", "[01]", "[NaN]",     "\"unterminated", "{\"a\":}", "[1e]",
  };
  for (const char* text : cases) {
    ErrorPtr error;
    Value v = jsonObjectWithData(text, kJsonReadingFragmentsAllowed, &error);
    EXPECT_TRUE(v.isNil()) << text;
    ASSERT_NE(error, nullptr) << text;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), 3840);
    EXPECT_TRUE(error->userInfo()[kDebugDescriptionErrorKey].isString());
  }
  EXPECT_TRUE(jsonObjectWithData("{").isNil());  // no error pointer: still no crash
}

TEST(Json, DeepNestingIsRejectedNotOverflowed) {
  std::string deep(100000, '[');
  ErrorPtr error;
  EXPECT_TRUE(jsonObjectWithData(deep + std::string(100000, ']'), 0, &error).isNil());
  ASSERT_NE(error, nullptr);
  std::string fine = std::string(100, '[') + std::string(100, ']');
  EXPECT_TRUE(jsonObjectWithData(fine).isArray());
}

TEST(Json, FragmentsNeedTheOption) {
  ErrorPtr error;
  EXPECT_TRUE(jsonObjectWithData("42", 0, &error).isNil());
  EXPECT_NE(error, nullptr);
  EXPECT_EQ(jsonObjectWithData("42", kJsonReadingFragmentsAllowed), Value(42));
  EXPECT_EQ(jsonObjectWithData(" \"s\" ", kJsonReadingFragmentsAllowed), Value("s"));
  EXPECT_FALSE(jsonStringWithObject(Value(1)));
  EXPECT_EQ(jsonStringWithObject(Value(1), kJsonWritingFragmentsAllowed), "1");
  EXPECT_EQ(jsonStringWithObject(Value::null(), kJsonWritingFragmentsAllowed), "null");
}

TEST(Json, WritesCompactSortedAndPretty) {
  Value v = Value::dictionary({{"b", Value::array({1, 2.5, true, Value::null()})}, {"a", "x/y\"\n\x01"}});
  EXPECT_EQ(jsonStringWithObject(v), R"({"b":[1,2.5,true,null],"a":"x\/y\"\n\u0001"})");
  EXPECT_EQ(jsonStringWithObject(v, kJsonWritingSortedKeys | kJsonWritingWithoutEscapingSlashes),
            R"({"a":"x/y\"\n\u0001","b":[1,2.5,true,null]})");
  EXPECT_EQ(jsonStringWithObject(Value::dictionary({{"k", Value::array({1})}, {"e", Value(ValueArray{})}}),
                                 kJsonWritingPrettyPrinted),
            "{\n  \"k\" : [\n    1\n  ],\n  \"e\" : []\n}");
}

TEST(Json, NumbersRoundTripExactly) {
  Value v = Value::array({INT64_MIN, INT64_MAX, UINT64_MAX, 0.1, 1.0 / 3, 1e300, -0.0, 123456789012345678.0});
  auto text = jsonStringWithObject(v);
  ASSERT_TRUE(text);
  Value back = jsonObjectWithData(*text);
  ASSERT_EQ(back.count(), v.count()) << *text;
  for (std::size_t k = 0; k < v.count(); ++k) EXPECT_EQ(back[k], v[k]) << *text;
  EXPECT_EQ(back[0].type(), Value::Type::Int);
  EXPECT_EQ(back[2].type(), Value::Type::UInt);
}

TEST(Json, RoundTripsNestedValuesThroughBytes) {
  Value v = Value::dictionary({{"list", Value::array({"a", Value::dictionary({{"n", -1}})})},
                               {"text", "\xe2\x82\xac \xf0\x9f\x98\x80"},
                               {"flag", false}});
  auto data = jsonDataWithObject(v);
  ASSERT_TRUE(data);
  EXPECT_EQ(jsonObjectWithData(*data), v);
}

TEST(Json, UnsupportedValuesFailOnWrite) {
  struct Case {
    const char* name;
    Value value;
  } cases[] = {
      {"nan", Value::array({std::nan("")})},
      {"infinity", Value::array({std::numeric_limits<double>::infinity()})},
      {"data", Value::array({Value(Bytes{1})})},
      {"date", Value::array({Value(Date(0))})},
      {"set", Value::array({Value::setOf({1})})},
      {"object", Value::dictionary({{"o", std::make_shared<Thing>()}})},
      {"nil top level", Value()},
  };
  for (const Case& c : cases) {
    ErrorPtr error;
    EXPECT_FALSE(jsonStringWithObject(c.value, kJsonWritingFragmentsAllowed, &error)) << c.name;
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->code(), 3840) << c.name;
    EXPECT_FALSE(isValidJsonObject(c.value, kJsonWritingFragmentsAllowed)) << c.name;
  }
}

TEST(Json, InvalidUtf8InStringsIsReplacedOnWrite) {
  EXPECT_EQ(jsonStringWithObject(Value::array({"a\xff"})), "[\"a\xef\xbf\xbd\"]");
}

}  // namespace
}  // namespace platform
