#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <unordered_set>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

namespace platform {
namespace {

class Named : public Object {
 public:
  explicit Named(std::string name) : name_(std::move(name)) {}
  std::string description() const override { return "<Named " + name_ + ">"; }
  bool isEqual(const Object& other) const override {
    auto* o = dynamic_cast<const Named*>(&other);
    return o && o->name_ == name_;
  }
  std::size_t hash() const override { return std::hash<std::string>{}(name_); }

 private:
  std::string name_;
};

TEST(Value, KindsAreKeptAndQueried) {
  EXPECT_TRUE(Value().isNil());
  EXPECT_TRUE(Value::null().isNull());
  EXPECT_EQ(Value(true).type(), Value::Type::Bool);
  EXPECT_EQ(Value(-3).type(), Value::Type::Int);
  EXPECT_EQ(Value(3u).type(), Value::Type::UInt);
  EXPECT_EQ(Value(std::uint64_t{1} << 63).type(), Value::Type::UInt);
  EXPECT_EQ(Value(2.5).type(), Value::Type::Double);
  EXPECT_EQ(Value("s").type(), Value::Type::String);
  EXPECT_EQ(Value(Bytes{1, 2}).type(), Value::Type::Data);
  EXPECT_EQ(Value(Date(5)).type(), Value::Type::Date);
  EXPECT_EQ(Value::array({1, 2}).type(), Value::Type::Array);
  EXPECT_EQ(Value::dictionary({{"a", 1}}).type(), Value::Type::Dictionary);
  EXPECT_EQ(Value::setOf({1}).type(), Value::Type::Set);
  EXPECT_EQ(Value(std::make_shared<Named>("x")).type(), Value::Type::Object);
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNil());
  EXPECT_TRUE(Value(std::shared_ptr<Named>()).isNil());
}

TEST(Value, AccessorsOfAnotherKindGiveEmptyValues) {
  Value n(42);
  EXPECT_EQ(n.asString(), "");
  EXPECT_TRUE(n.asArray().empty());
  EXPECT_TRUE(n.asDictionary().empty());
  EXPECT_EQ(n.asObject(), nullptr);
  EXPECT_TRUE(n["key"].isNil());
  EXPECT_TRUE(n[0].isNil());
  EXPECT_EQ(n.count(), 0u);
}

TEST(Value, NumberConversionsFollowTheirKinds) {
  EXPECT_EQ(Value(-1).asUInt64(), UINT64_MAX);
  EXPECT_EQ(Value(UINT64_MAX).asDouble(), 18446744073709551616.0);
  EXPECT_EQ(Value(1e30).asInt64(), INT64_MAX);
  EXPECT_EQ(Value(-1e30).asInt64(), INT64_MIN);
  EXPECT_EQ(Value(std::nan("")).asInt64(), 0);
  EXPECT_EQ(Value(3.9).asInt64(), 3);
  EXPECT_TRUE(Value(0.5).asBool());
  EXPECT_FALSE(Value(0).asBool());
}

TEST(Value, StringsReadAsNumbersLeniently) {
  struct Case {
    const char* text;
    std::int64_t integer;
    double real;
    bool boolean;
  } cases[] = {
      {"42", 42, 42, true},
      {"  -17abc", -17, -17, true},
      {"+3.75e2x", 3, 375, true},
      {"abc", 0, 0, false},
      {"", 0, 0, false},
      {"YES", 0, 0, true},
      {"true", 0, 0, true},
      {"no", 0, 0, false},
      {"0009", 9, 9, true},
      {"99999999999999999999999", INT64_MAX, 1e23, true},
      {"-99999999999999999999999", INT64_MIN, -1e23, true},
  };
  for (const Case& c : cases) {
    Value v(c.text);
    EXPECT_EQ(v.asInt64(), c.integer) << c.text;
    EXPECT_DOUBLE_EQ(v.asDouble(), c.real) << c.text;
    EXPECT_EQ(v.asBool(), c.boolean) << c.text;
  }
}

TEST(Value, LookupsReturnNilWhenAbsent) {
  Value d = Value::dictionary({{"a", 1}, {"b", Value::array({"x", "y"})}});
  EXPECT_EQ(d["a"], Value(1));
  EXPECT_EQ(d["b"][1], Value("y"));
  EXPECT_TRUE(d["missing"].isNil());
  EXPECT_TRUE(d["b"][2].isNil());
  EXPECT_TRUE(d["b"][-1].isNil());
  EXPECT_TRUE(d["a"]["deeper"].isNil());
}

TEST(Value, NumbersAreEqualByValueAcrossKinds) {
  struct Case {
    Value a, b;
    bool equal;
  } cases[] = {
      {Value(1), Value(1u), true},
      {Value(1), Value(1.0), true},
      {Value(true), Value(1), true},
      {Value(false), Value(0.0), true},
      {Value(-1), Value(UINT64_MAX), false},
      {Value(UINT64_MAX), Value(18446744073709551615.0), false},  // the double is 2^64
      {Value(std::uint64_t{1} << 63), Value(9223372036854775808.0), true},
      {Value(INT64_MAX), Value(9223372036854775807.0), false},  // the double is 2^63
      {Value(std::int64_t{1} << 53), Value(9007199254740992.0), true},
      {Value((std::int64_t{1} << 53) + 1), Value(9007199254740992.0), false},
      {Value(0.5), Value(0), false},
      {Value(std::nan("")), Value(std::nan("")), true},
      {Value(1), Value("1"), false},
      {Value(), Value::null(), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.a.description() << " vs " << c.b.description();
    EXPECT_EQ(c.b == c.a, c.equal) << c.a.description() << " vs " << c.b.description();
    if (c.equal) {
      EXPECT_EQ(c.a.hash(), c.b.hash()) << c.a.description();
    }
  }
}

TEST(Value, CollectionsCompareByContents) {
  EXPECT_EQ(Value::dictionary({{"a", 1}, {"b", 2}}), Value::dictionary({{"b", 2.0}, {"a", true}}));
  EXPECT_EQ(Value::dictionary({{"a", 1}, {"b", 2}}).hash(), Value::dictionary({{"b", 2}, {"a", 1}}).hash());
  EXPECT_NE(Value::dictionary({{"a", 1}}), Value::dictionary({{"a", 2}}));
  EXPECT_EQ(Value::array({1, "x"}), Value::array({1u, "x"}));
  EXPECT_NE(Value::array({1, 2}), Value::array({2, 1}));
  EXPECT_EQ(Value::setOf({1, 2, 3}), Value::setOf({3, 2, 1}));
  EXPECT_EQ(Value::setOf({1, 2, 3}).hash(), Value::setOf({3, 2, 1}).hash());
  EXPECT_EQ(Value(Bytes{1, 2}), Value::data("\x01\x02", 2));
  EXPECT_EQ(Value(std::make_shared<Named>("a")), Value(std::make_shared<Named>("a")));
  EXPECT_NE(Value(std::make_shared<Named>("a")), Value(std::make_shared<Named>("b")));
}

TEST(Value, HashAgreesWithEqualityInHashedContainers) {
  std::unordered_set<Value, ValueHash> set{Value(1), Value(1.0), Value(true), Value(1u), Value("1")};
  EXPECT_EQ(set.size(), 2u);
}

TEST(ValueSet, KeepsOneOfEqualValues) {
  ValueSet s;
  EXPECT_TRUE(s.insert(1));
  EXPECT_FALSE(s.insert(1.0));
  EXPECT_FALSE(s.insert(Value()));
  EXPECT_TRUE(s.insert("1"));
  EXPECT_TRUE(s.contains(true));
  EXPECT_TRUE(s.remove(1u));
  EXPECT_FALSE(s.contains(1));
  EXPECT_TRUE(s.contains("1"));
  EXPECT_EQ(s.size(), 1u);
}

TEST(ValueDictionary, KeepsInsertionOrderThroughReplaceAndRemove) {
  ValueDictionary d{{"z", 1}, {"a", 2}, {"m", 3}};
  d.set("a", 20);
  d.set("b", 4);
  EXPECT_TRUE(d.remove("z"));
  EXPECT_FALSE(d.remove("z"));
  EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "m", "b"}));
  EXPECT_EQ(*d.find("a"), Value(20));
  EXPECT_EQ(*d.find("b"), Value(4));
  d.set("m", Value());  // nil removes
  EXPECT_FALSE(d.contains("m"));
  EXPECT_EQ(*d.find("b"), Value(4));
}

TEST(Value, EditsCopyOnWriteAndNeverReachOtherCopies) {
  Value original = Value::dictionary({{"a", 1}});
  Value copy = original;
  EXPECT_TRUE(copy.set("b", 2));
  EXPECT_EQ(original.count(), 1u);
  EXPECT_EQ(copy.count(), 2u);
  EXPECT_TRUE(copy.removeKey("a"));
  EXPECT_EQ(original["a"], Value(1));

  Value list;
  EXPECT_TRUE(list.append(1));
  Value listCopy = list;
  EXPECT_TRUE(listCopy.append(2));
  EXPECT_EQ(list.count(), 1u);
  EXPECT_EQ(listCopy.count(), 2u);

  Value number(5);
  EXPECT_FALSE(number.set("k", 1));
  EXPECT_FALSE(number.append(1));
  EXPECT_EQ(number, Value(5));
}

TEST(Value, ObjectsComeBackWithTheirClass) {
  auto named = std::make_shared<Named>("n");
  Value v(named);
  EXPECT_EQ(v.as<Named>(), named);
  EXPECT_EQ(v.as<Error>(), nullptr);
}

TEST(Value, WeakObjectReadsAsTheObjectUntilItIsGone) {
  auto named = std::make_shared<Named>("n");
  Value weak = Value::weakObject(named);
  Value copy = weak;
  EXPECT_TRUE(weak.isObject());
  EXPECT_TRUE(weak.isWeakObject());
  EXPECT_FALSE(Value(named).isWeakObject());
  EXPECT_EQ(weak.as<Named>(), named);
  EXPECT_EQ(named.use_count(), 1) << "the reference does not own the object";
  EXPECT_EQ(weak, Value(named));
  EXPECT_EQ(weak.hash(), Value(named).hash());
  EXPECT_EQ(weak.description(), "<Named n>");
  Value dictionary = Value::dictionary({{"who", weak}});

  named.reset();
  for (const Value* v : std::initializer_list<const Value*>{&weak, &copy, &dictionary["who"]}) {
    EXPECT_TRUE(v->isNil());
    EXPECT_EQ(v->type(), Value::Type::Nil);
    EXPECT_FALSE(*v);
    EXPECT_EQ(v->asObject(), nullptr);
    EXPECT_EQ(*v, Value());
    EXPECT_EQ(v->description(), "(null)");
  }
  EXPECT_TRUE(weak.isWeakObject());
  EXPECT_TRUE(Value::weakObject(nullptr).isNil());
}

struct DescriptionCase {
  const char* name;
  Value value;
  const char* expected;
};

TEST(Value, DescriptionMatchesThePlatformFormat) {
  DescriptionCase cases[] = {
      {"nil", Value(), "(null)"},
      {"null", Value::null(), "<null>"},
      {"bool", Value(true), "1"},
      {"negative", Value(-12), "-12"},
      {"unsigned max", Value(UINT64_MAX), "18446744073709551615"},
      {"tenth", Value(0.1), "0.1"},
      {"third", Value(1.0 / 3), "0.3333333333333333"},
      {"whole double", Value(2.0), "2"},
      {"top-level string is plain", Value("hello world"), "hello world"},
      {"date", Value(Date(0)), "2001-01-01 00:00:00 +0000"},
      {"data", Value(Bytes{0x0a, 0x0b, 0xff}), "{length = 3, bytes = 0x0a0bff}"},
      {"empty array", Value(ValueArray{}), "(\n)"},
      {"empty dictionary", Value(ValueDictionary{}), "{\n}"},
      {"array", Value::array({1, "two words", "plain"}), "(\n    1,\n    \"two words\",\n    plain\n)"},
      {"dictionary sorted by key", Value::dictionary({{"b", 2}, {"a", "x y"}}), "{\n    a = \"x y\";\n    b = 2;\n}"},
      {"nested dictionary",
       Value::dictionary({{"outer", Value::dictionary({{"inner", 1}})}, {"list", Value::array({1, 2})}}),
       "{\n    list =     (\n        1,\n        2\n    );\n    outer =     {\n        inner = 1;\n    };\n}"},
      {"array in array", Value::array({1, Value::array({2})}), "(\n    1,\n        (\n        2\n    )\n)"},
      {"set", Value::setOf({"a"}), "{(\n    a\n)}"},
      {"quoting and escapes",
       Value::array({"", "a\"b", "line\nbreak", "caf\xc3\xa9", "\xf0\x9f\x98\x80", "a-b/c:d.e_$"}),
       "(\n    \"\",\n    \"a\\\"b\",\n    \"line\\nbreak\",\n    \"caf\\U00e9\",\n    \"\\Ud83d\\Ude00\",\n    "
       "a-b/c:d.e_$\n)"},
      {"null and date inside", Value::array({Value::null(), Date(0)}),
       "(\n    \"<null>\",\n    \"2001-01-01 00:00:00 +0000\"\n)"},
      {"object", Value::array({std::make_shared<Named>("n")}), "(\n    \"<Named n>\"\n)"},
  };
  for (const DescriptionCase& c : cases) EXPECT_EQ(c.value.description(), c.expected) << c.name;
}

TEST(Value, LongDataDescriptionIsAbridged) {
  Bytes b(100);
  for (std::size_t k = 0; k < b.size(); ++k) b[k] = static_cast<std::uint8_t>(k);
  EXPECT_EQ(Value(b).description(), "{length = 100, bytes = 0x000102030405060708090a0b0c0d0e0f ... 5c5d5e5f60616263}");
}

}  // namespace
}  // namespace platform
