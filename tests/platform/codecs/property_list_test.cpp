#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>

#include "fuzz/hostile_inputs.h"
#include "platform/codecs/property_list.h"

namespace platform {
namespace {

class Thing : public Object {};

Value sample() {
  return Value::dictionary({
      {"string", "caf\xc3\xa9 \xf0\x9f\x98\x80 <&>"},
      {"negative", -42},
      {"min", INT64_MIN},
      {"max", INT64_MAX},
      {"unsigned", UINT64_MAX},
      {"real", 0.1},
      {"yes", true},
      {"no", false},
      {"date", Value(Date(123456789))},
      {"before 2001", Value(Date(-86400 * 365))},
      {"data", Value(Bytes{0, 1, 2, 255})},
      {"empty data", Value(Bytes{})},
      {"list", Value::array({1, "two", Value::array({}), Value::dictionary({})})},
      {"nested", Value::dictionary({{"deeper", Value::dictionary({{"k", "v"}})}})},
  });
}

class PropertyListRoundTrip : public ::testing::TestWithParam<PropertyListFormat> {};

TEST_P(PropertyListRoundTrip, KeepsEveryKind) {
  ErrorPtr error;
  auto bytes = dataWithPropertyList(sample(), GetParam(), &error);
  ASSERT_TRUE(bytes) << error->description();
  PropertyListFormat found{};
  Value back = propertyListWithData(*bytes, &found, &error);
  ASSERT_FALSE(back.isNil()) << error->description();
  EXPECT_EQ(found, GetParam());
  EXPECT_EQ(back, sample()) << back.description();
  EXPECT_EQ(back["negative"].type(), Value::Type::Int);
  EXPECT_EQ(back["unsigned"].type(), Value::Type::UInt);
  EXPECT_EQ(back["yes"].type(), Value::Type::Bool);
  EXPECT_EQ(back["real"].type(), Value::Type::Double);
  EXPECT_EQ(back["date"].type(), Value::Type::Date);
}

TEST_P(PropertyListRoundTrip, KeepsScalarRoots) {
  for (Value v : {Value("text"), Value(-1), Value(2.5), Value(true), Value(Bytes{9})}) {
    auto bytes = dataWithPropertyList(v, GetParam());
    ASSERT_TRUE(bytes) << v.description();
    EXPECT_EQ(propertyListWithData(*bytes), v) << v.description();
  }
}

TEST_P(PropertyListRoundTrip, RejectsKindsAPropertyListCannotHold) {
  struct Case {
    const char* name;
    Value value;
  } cases[] = {
      {"nil", Value()},
      {"null marker", Value::array({Value::null()})},
      {"set", Value::dictionary({{"s", Value::setOf({1})}})},
      {"object", Value::array({std::make_shared<Thing>()})},
      {"far date", Value::array({Value(Date::distantFuture())})},
      {"NUL in string", Value::array({Value(std::string("a\0b", 3))})},
  };
  for (const Case& c : cases) {
    ErrorPtr error;
    EXPECT_FALSE(dataWithPropertyList(c.value, GetParam(), &error)) << c.name;
    ASSERT_NE(error, nullptr) << c.name;
    EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
    EXPECT_EQ(error->code(), 3851);
    EXPECT_FALSE(isValidPropertyList(c.value)) << c.name;
  }
}

TEST_P(PropertyListRoundTrip, TruncatedInputFailsWithAnError) {
  auto bytes = dataWithPropertyList(sample(), GetParam());
  ASSERT_TRUE(bytes);
  for (std::size_t length = 0; length < bytes->size(); length += (length < 64 ? 1 : 7)) {
    Bytes cut(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(length));
    ErrorPtr error;
    Value v = propertyListWithData(cut, nullptr, &error);
    if (v.isNil()) {
      ASSERT_NE(error, nullptr) << length;
      EXPECT_EQ(error->code(), 3840);
    }
  }
}

TEST_P(PropertyListRoundTrip, CorruptedBytesNeverCrash) {
  auto bytes = dataWithPropertyList(sample(), GetParam());
  ASSERT_TRUE(bytes);
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    Bytes corrupt = *bytes;
    for (int flips = 0; flips < 4; ++flips) corrupt[random() % corrupt.size()] = static_cast<std::uint8_t>(random());
    ErrorPtr error;
    Value v = propertyListWithData(corrupt, nullptr, &error);
    EXPECT_TRUE(!v.isNil() || error != nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, PropertyListRoundTrip,
                         ::testing::Values(PropertyListFormat::Xml, PropertyListFormat::Binary),
                         [](const auto& info) { return info.param == PropertyListFormat::Xml ? "Xml" : "Binary"; });

TEST(PropertyList, BinaryKeepsFractionalSeconds) {
  // XML dates hold whole seconds; binary ones keep the fraction on both sides of the reference date.
  for (double seconds : {0.25, 123456789.5, -86400.25, -1.75, 1e9 + 0.125}) {
    auto bytes = dataWithPropertyList(Value::array({Value(Date(seconds))}), PropertyListFormat::Binary);
    ASSERT_TRUE(bytes);
    EXPECT_DOUBLE_EQ(propertyListWithData(*bytes)[0].asDate().timeIntervalSinceReferenceDate(), seconds);
  }
}

TEST(PropertyList, BinaryStringsWithNulAreRejectedNotFatal) {
  auto bytes = dataWithPropertyList(Value::dictionary({{"abc", "xyz"}}), PropertyListFormat::Binary);
  ASSERT_TRUE(bytes);
  for (const char* target : {"abc", "xyz"}) {
    Bytes corrupt = *bytes;
    auto at = std::search(corrupt.begin(), corrupt.end(), target, target + 3);
    ASSERT_NE(at, corrupt.end());
    at[1] = 0;
    ErrorPtr error;
    EXPECT_TRUE(propertyListWithData(corrupt, nullptr, &error).isNil()) << target;
    EXPECT_NE(error, nullptr);
  }
}

TEST(PropertyList, ReadsHandWrittenXml) {
  std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>Name</key><string>Zorvel</string>
  <key>Count</key><integer>-3</integer>
  <key>When</key><date>2001-01-02T00:00:00Z</date>
  <key>Blob</key><data>AAEC</data>
  <key>On</key><true/>
</dict>
</plist>)";
  PropertyListFormat format{};
  ErrorPtr error;
  Value v = propertyListWithData(xml, &format, &error);
  ASSERT_TRUE(v.isDictionary()) << (error ? error->description() : "");
  EXPECT_EQ(format, PropertyListFormat::Xml);
  EXPECT_EQ(v["Name"], Value("Zorvel"));
  EXPECT_EQ(v["Count"], Value(-3));
  EXPECT_EQ(v["When"], Value(Date(86400)));
  EXPECT_EQ(v["Blob"], Value(Bytes{0, 1, 2}));
  EXPECT_EQ(v["On"], Value(true));
}

TEST(PropertyList, GarbageFailsWithAnError) {
  const std::string cases[] = {
      "",
      "not a plist",
      "bplist00",
      std::string("bplist00\xff\xff\xff\xff\xff\xff\xff\xff", 16),
      "<plist><array><integer>1</integer>",
      "<?xml version=\"1.0\"?><plist><string>unterminated",
      std::string(64, '\0'),
  };
  for (const std::string& text : cases) {
    ErrorPtr error;
    Value v = propertyListWithData(text, nullptr, &error);
    EXPECT_TRUE(v.isNil()) << text;
    ASSERT_NE(error, nullptr) << text;
    EXPECT_EQ(error->code(), 3840);
  }
}

TEST(PropertyList, RandomBinaryGarbageNeverCrashes) {
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    Bytes junk(8 + random() % 200);
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    const char magic[] = "bplist00";
    std::copy(magic, magic + 8, junk.begin());
    ErrorPtr error;
    Value v = propertyListWithData(junk, nullptr, &error);
    EXPECT_TRUE(!v.isNil() || error != nullptr);
  }
}

// Each would expand past memory, or overflow the stack inside the property-list library, if it
// reached the library: all are refused up front, quickly.
TEST(PropertyList, HostileNestingAndExpansionFailWithTheReadError) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"134-byte binary list doubling per level", zorvel::fuzz::binaryDoublingArrays(23)},
      {"binary list doubling just past the node budget", zorvel::fuzz::binaryDoublingArrays(16)},
      {"binary list nested 100,000 deep", zorvel::fuzz::binaryNestedArrays(100'000)},
      {"binary list nested one past the limit", zorvel::fuzz::binaryNestedArrays(kPropertyListMaxDepth + 1)},
      {"XML list nested 200,000 deep", zorvel::fuzz::xmlNestedArrays(200'000)},
      {"XML list nested one past the limit", zorvel::fuzz::xmlNestedArrays(kPropertyListMaxDepth + 2)},
  };
  EXPECT_EQ(cases[0].bytes.size(), 134u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    ErrorPtr error;
    Value v = propertyListWithData(c.bytes, nullptr, &error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_TRUE(v.isNil());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kCocoaErrorDomain);
    EXPECT_EQ(error->code(), kPropertyListReadCorruptError);
  }
}

TEST(PropertyList, SharedObjectsAndNestingWithinTheLimitsStillRead) {
  // 2^12 values from 13 objects: shared references are fine while the expansion stays bounded.
  Value doubled = propertyListWithData(zorvel::fuzz::binaryDoublingArrays(12));
  ASSERT_TRUE(doubled.isArray());
  EXPECT_EQ(doubled[0][1][0].count(), 2u);
  // The deepest nesting the reader accepts, in both formats.
  for (const std::string& bytes : {zorvel::fuzz::binaryNestedArrays(kPropertyListMaxDepth),
                                   zorvel::fuzz::xmlNestedArrays(kPropertyListMaxDepth)}) {
    ErrorPtr error;
    Value v = propertyListWithData(bytes, nullptr, &error);
    EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
    EXPECT_TRUE(v.isArray());
  }
  // Markup that only looks deep: comments, CDATA and quoted '>' do not nest.
  const std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY x \"y\">]><plist version=\"1>0\">" +
                          std::string(600 * 4, 'x').replace(0, 0, "<!--") + "--><array><string><![CDATA[" +
                          std::string(1000, '<') + "]]></string><true/></array></plist>";
  ErrorPtr error;
  Value v = propertyListWithData(xml, nullptr, &error);
  EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
  EXPECT_EQ(v[1], Value(true));
}

TEST(PropertyList, CyclicBinaryReferencesFailWithTheReadError) {
  // Object 0 is an array holding itself.
  const std::string cyclic = zorvel::fuzz::binaryPropertyList({zorvel::fuzz::binaryArrayOf(1, 0, 1)}, 1);
  ErrorPtr error;
  EXPECT_TRUE(propertyListWithData(cyclic, nullptr, &error).isNil());
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), kPropertyListReadCorruptError);
}

}  // namespace
}  // namespace platform
