#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "model/MFJSONAdapter.h"
#include "model/MFValueTransformer.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueArray;

namespace {

// --- Named transformers: every failure text, and their successes ---

struct NamedFailure {
  std::string_view name;
  bool reverse;
  Value input;
  const char* description;
  const char* reason;
};

class MFNamedTransformerFailures : public testing::TestWithParam<NamedFailure> {};

TEST_P(MFNamedTransformerFailures, FailWithTheirTextsAndTheInput) {
  const NamedFailure& c = GetParam();
  auto transformer = MFValueTransformerBase::valueTransformerForName(c.name);
  auto* handling = dynamic_cast<const MFTransformerErrorHandling*>(transformer.get());
  ASSERT_NE(handling, nullptr);
  bool success = true;
  ErrorPtr error;
  Value out = c.reverse ? handling->reverseTransformedValue(c.input, &success, &error)
                        : handling->transformedValue(c.input, &success, &error);
  EXPECT_TRUE(out.isNil());
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "MFTransformerErrorHandlingErrorDomain");
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(), c.description);
  EXPECT_EQ(error->localizedFailureReason(), c.reason);
  EXPECT_EQ(error->userInfo()["MFTransformerErrorHandlingInputValueErrorKey"], c.input);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MFNamedTransformerFailures,
    testing::Values(
        NamedFailure{MFURLValueTransformerName, false, Value(5), "Could not convert string to URL",
                     "Expected an NSString, got: 5."},
        NamedFailure{MFURLValueTransformerName, false, Value("not a url"), "Could not convert string to URL",
                     "Input URL string not a url was malformed"},
        NamedFailure{MFURLValueTransformerName, true, Value("http://x"), "Could not convert URL to string",
                     "Expected an NSURL, got: http://x."},
        NamedFailure{MFUUIDValueTransformerName, false, Value(5), "Could not convert string to UUID",
                     "Expected an NSString, got: 5."},
        NamedFailure{MFUUIDValueTransformerName, false, Value("1234"), "Could not convert string to UUID",
                     "Input UUID string 1234 was malformed"},
        NamedFailure{MFUUIDValueTransformerName, true, Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"),
                     "Could not convert UUID to string",
                     "Expected an NSUUID, got: E621E1F8-C36C-495A-93FC-0C247A3E6E5F."},
        NamedFailure{MFBooleanValueTransformerName, false, Value("yes"),
                     "Could not convert number to boolean-backed number or vice-versa", "Expected an NSNumber, got: yes."},
        NamedFailure{MFBooleanValueTransformerName, true, Value("no"),
                     "Could not convert number to boolean-backed number or vice-versa", "Expected an NSNumber, got: no."}));

TEST(MFNamedTransformers, RegisteredBeforeMainAndConvertBothWays) {
  auto url = MFValueTransformerBase::valueTransformerForName(MFURLValueTransformerName);
  auto uuid = MFValueTransformerBase::valueTransformerForName(MFUUIDValueTransformerName);
  auto boolean = MFValueTransformerBase::valueTransformerForName(MFBooleanValueTransformerName);
  ASSERT_TRUE(url && uuid && boolean);
  EXPECT_TRUE(url->allowsReverseTransformation());

  Value u = url->transformedValue(Value("https://example.com/a?b=c#d"));
  ASSERT_TRUE(u.as<MFURL>());
  EXPECT_EQ(url->reverseTransformedValue(u), Value("https://example.com/a?b=c#d"));

  Value id = uuid->transformedValue(Value("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
  ASSERT_TRUE(id.as<MFUUID>());
  EXPECT_EQ(uuid->reverseTransformedValue(id), Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));

  Value t = boolean->transformedValue(Value(2));
  EXPECT_TRUE(t.isBool());
  EXPECT_TRUE(t.asBool());
  Value f = boolean->reverseTransformedValue(Value(0));
  EXPECT_TRUE(f.isBool());
  EXPECT_FALSE(f.asBool());

  for (const auto& transformer : {url, uuid, boolean}) EXPECT_TRUE(transformer->transformedValue(Value()).isNil());
}

// --- Block transformers ---

MFValueTransformerBlock failing() {
  return [](const Value& value, bool& success, ErrorPtr* error) {
    success = false;
    if (error) *error = MFTransformerError("bad", "reason", value);
    return Value();
  };
}

TEST(MFValueTransformer, PlainCallOfAFailingBlockGivesNilAndReportsNothing) {
  auto transformer = MFValueTransformer::transformerUsingForwardBlock(failing());
  EXPECT_TRUE(transformer->transformedValue(Value(1)).isNil());
  bool success = true;
  ErrorPtr error;
  transformer->transformedValue(Value(1), &success, &error);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "bad");
}

TEST(MFValueTransformer, ForwardOnlyAndReversibleFactories) {
  auto forwardOnly = MFValueTransformer::transformerWithBlock([](const Value& v) { return Value(v.asInt64() + 1); });
  EXPECT_FALSE(forwardOnly->allowsReverseTransformation());
  EXPECT_EQ(forwardOnly->transformedValue(Value(1)), Value(2));
  EXPECT_THROW(forwardOnly->reverseTransformedValue(Value(1)), platform::Exception);

  auto twoBlocks = MFValueTransformer::transformerUsingForwardBlock(
      [](const Value& v, bool&, ErrorPtr*) { return Value(v.asInt64() * 2); },
      [](const Value& v, bool&, ErrorPtr*) { return Value(v.asInt64() / 2); });
  EXPECT_TRUE(twoBlocks->allowsReverseTransformation());
  EXPECT_EQ(twoBlocks->reverseTransformedValue(Value(8)), Value(4));

  auto same = MFValueTransformer::reversibleTransformerWithBlock([](const Value& v) { return Value(-v.asInt64()); });
  EXPECT_EQ(same->reverseTransformedValue(Value(3)), Value(-3));
}

TEST(MFValueTransformer, InvertingTwiceGivesTheOriginalEffect) {
  auto doubling = MFValueTransformer::reversibleTransformerWithForwardBlock(
      [](const Value& v) { return Value(v.asInt64() * 2); }, [](const Value& v) { return Value(v.asInt64() / 2); });
  auto inverted = doubling->mf_invertedTransformer();
  EXPECT_EQ(inverted->transformedValue(Value(10)), Value(5));
  EXPECT_EQ(inverted->reverseTransformedValue(Value(10)), Value(20));
  auto twice = inverted->mf_invertedTransformer();
  EXPECT_EQ(twice->transformedValue(Value(10)), Value(20));

  auto failingBack = MFValueTransformer::transformerUsingForwardBlock(
      [](const Value& v, bool&, ErrorPtr*) { return v; }, failing());
  bool success = true;
  ErrorPtr error;
  failingBack->mf_invertedTransformer()->transformedValue(Value(1), &success, &error);
  EXPECT_FALSE(success);
  EXPECT_TRUE(error);
}

// --- Array mapping ---

TEST(MFArrayMapping, KeepsNullDropsNilAndNamesTheFailingIndex) {
  auto element = MFValueTransformer::transformerUsingForwardBlock(
      [](const Value& v, bool& success, ErrorPtr* error) -> Value {
        if (v == Value(0)) return Value();
        if (v == Value(-1)) {
          success = false;
          if (error) *error = MFTransformerError("element", "bad element", v);
          return Value();
        }
        return Value(v.asInt64() * 10);
      },
      [](const Value& v, bool&, ErrorPtr*) { return Value(v.asInt64() / 10); });
  auto mapping = MFValueTransformerBase::mf_arrayMappingTransformerWithTransformer(element);
  EXPECT_TRUE(mapping->allowsReverseTransformation());

  EXPECT_EQ(mapping->transformedValue(Value::array({Value(1), Value::null(), Value(0), Value(2)})),
            Value::array({Value(10), Value::null(), Value(20)}));
  EXPECT_EQ(mapping->reverseTransformedValue(Value::array({Value(10), Value(30)})), Value::array({Value(1), Value(3)}));

  bool success = true;
  ErrorPtr error;
  Value input = Value::array({Value(1), Value(2), Value(-1)});
  EXPECT_TRUE(mapping->transformedValue(input, &success, &error).isNil());
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Could not transform array");
  EXPECT_EQ(error->localizedFailureReason(), "Could not transform value at index 2");
  ASSERT_TRUE(error->underlyingError());
  EXPECT_EQ(error->underlyingError()->localizedDescription(), "element");
  EXPECT_EQ(error->userInfo()["MFTransformerErrorHandlingInputValueErrorKey"], input);

  success = true;
  mapping->transformedValue(Value("no array"), &success, &error);
  EXPECT_FALSE(success);
  EXPECT_EQ(error->localizedDescription(), "Could not transform non-array type");
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSArray, got: no array.");

  auto forwardOnly = MFValueTransformerBase::mf_arrayMappingTransformerWithTransformer(
      MFValueTransformer::transformerWithBlock([](const Value& v) { return v; }));
  EXPECT_FALSE(forwardOnly->allowsReverseTransformation());
}

// --- Validating, value mapping, dates ---

TEST(MFValidatingTransformer, PassesInstancesAndRefusesOthers) {
  auto strings = MFValueTransformerBase::mf_validatingTransformerForClass(platform::stringClass());
  EXPECT_EQ(strings->transformedValue(Value("s")), Value("s"));
  EXPECT_TRUE(strings->transformedValue(Value()).isNil());
  bool success = true;
  ErrorPtr error;
  strings->transformedValue(Value(4), &success, &error);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Value did not match expected type");
  EXPECT_EQ(error->localizedFailureReason(), "Expected 4 to be of class NSString but got NSNumber");

  auto scalars = MFValueTransformerBase::mf_validatingTransformerForClass(MFValueClass());
  EXPECT_EQ(scalars->transformedValue(Value(1.5)), Value(1.5));
}

TEST(MFValueMappingTransformer, LooksUpBothWaysWithDefaults) {
  auto mapping = MFValueTransformerBase::mf_valueMappingTransformerWithDictionary(
      {{Value("active"), Value(2)}, {Value("done"), Value(3)}, {Value::null(), Value(0)}}, Value(-1), Value("unknown"));
  EXPECT_EQ(mapping->transformedValue(Value("done")), Value(3));
  EXPECT_EQ(mapping->transformedValue(Value()), Value(0));  // nil looks up the null key
  EXPECT_EQ(mapping->transformedValue(Value("other")), Value(-1));
  EXPECT_EQ(mapping->reverseTransformedValue(Value(2)), Value("active"));
  EXPECT_EQ(mapping->reverseTransformedValue(Value()), Value("unknown"));
  EXPECT_EQ(mapping->reverseTransformedValue(Value(9)), Value("unknown"));
}

TEST(MFDateTransformer, ParsesAndFormatsAndReportsBadInput) {
  auto dates = MFValueTransformerBase::mf_dateTransformerWithDateFormat("yyyy-MM-dd'T'HH:mm:ss", "en_US_POSIX", "UTC");
  Value date = dates->transformedValue(Value("2001-01-01T00:01:00"));
  ASSERT_TRUE(date.isDate());
  EXPECT_EQ(date.asDate().timeIntervalSinceReferenceDate(), 60.0);
  EXPECT_EQ(dates->reverseTransformedValue(date), Value("2001-01-01T00:01:00"));

  bool success = true;
  ErrorPtr error;
  dates->transformedValue(Value(3), &success, &error);
  EXPECT_FALSE(success);
  EXPECT_EQ(error->localizedDescription(), "Could not convert string to NSDate");
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSString as input, got: 3.");
  success = true;
  dates->transformedValue(Value("yesterday"), &success, &error);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Could not convert string to NSDate");
  success = true;
  dates->reverseTransformedValue(Value("x"), &success, &error);
  EXPECT_FALSE(success);
  EXPECT_EQ(error->localizedDescription(), "Could not convert NSDate to string");
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSDate as input, got: x.");
}

class WrongKindFormatter : public MFFormatter {
 public:
  bool getObjectValue(Value& object, std::string_view, std::string*) const override {
    object = Value(7);
    return true;
  }
  std::string stringForObjectValue(const Value&) const override { return ""; }
};

TEST(MFFormatterTransformer, OutputOfTheWrongClassIsACocoaError) {
  auto transformer = MFValueTransformer::mf_transformerWithFormatter(std::make_shared<WrongKindFormatter>(),
                                                                     platform::dateClass());
  bool success = true;
  ErrorPtr error;
  transformer->transformedValue(Value("x"), &success, &error);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), 2048);
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSDate as output from the formatter, got: 7.");
}

}  // namespace
