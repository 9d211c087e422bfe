#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "model/MFJSONAdapter.h"
#include "model/MFValueTransformer.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

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
    testing::Values(NamedFailure{MFURLValueTransformerName, false, Value(5), "Could not convert string to URL",
                                 "Expected an NSString, got: 5."},
                    NamedFailure{MFURLValueTransformerName, false, Value("not a url"),
                                 "Could not convert string to URL", "Input URL string not a url was malformed"},
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
                                 "Could not convert number to boolean-backed number or vice-versa",
                                 "Expected an NSNumber, got: yes."},
                    NamedFailure{MFBooleanValueTransformerName, true, Value("no"),
                                 "Could not convert number to boolean-backed number or vice-versa",
                                 "Expected an NSNumber, got: no."}));

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

  auto failingBack =
      MFValueTransformer::transformerUsingForwardBlock([](const Value& v, bool&, ErrorPtr*) { return v; }, failing());
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
  auto transformer =
      MFValueTransformer::mf_transformerWithFormatter(std::make_shared<WrongKindFormatter>(), platform::dateClass());
  bool success = true;
  ErrorPtr error;
  transformer->transformedValue(Value("x"), &success, &error);
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(error->code(), 2048);
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSDate as output from the formatter, got: 7.");
}

// A formatter that answers as it is told: its flag, the object it hands back and its description.
class ScriptedFormatter : public MFFormatter {
 public:
  ScriptedFormatter(bool answer, Value object, std::string description)
      : answer_(answer), object_(std::move(object)), description_(std::move(description)) {}
  bool getObjectValue(Value& object, std::string_view, std::string* errorDescription) const override {
    object = object_;
    if (errorDescription) *errorDescription = description_;
    return answer_;
  }
  std::string stringForObjectValue(const Value&) const override { return ""; }

 private:
  bool answer_;
  Value object_;
  std::string description_;
};

const Value kSomeDate = Value(platform::Date(1000.0));

struct FormatterAnswer {
  const char* label;
  Value input;
  bool answer;              // what the formatter returns
  Value object;             // the object it hands back
  const char* description;  // its error description ("" for none)
  bool success;             // the flag the caller sees afterwards
  Value output;             // the transformer's result
  const char* domain;       // nullptr: no error
  long code;
  const char* reason;
  bool carriesInput;  // the error names the input value (otherwise it has exactly two entries)
};

void PrintTo(const FormatterAnswer& c, std::ostream* os) { *os << c.label; }

class MFFormatterTransformerAnswers : public testing::TestWithParam<FormatterAnswer> {};

TEST_P(MFFormatterTransformerAnswers, FollowTheFormattersAnswerInOrder) {
  const FormatterAnswer& c = GetParam();
  auto transformer = MFValueTransformer::mf_transformerWithFormatter(
      std::make_shared<ScriptedFormatter>(c.answer, c.object, c.description), platform::dateClass());
  bool success = !c.success;
  ErrorPtr error;
  Value out = transformer->transformedValue(c.input, &success, &error);
  EXPECT_EQ(success, c.success);
  EXPECT_EQ(out, c.output);
  if (!c.domain) {
    EXPECT_FALSE(error) << error->description();
    return;
  }
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), c.domain);
  EXPECT_EQ(error->code(), c.code);
  EXPECT_EQ(error->localizedDescription(), "Could not convert string to NSDate");
  EXPECT_EQ(error->localizedFailureReason(), c.reason);
  if (c.carriesInput) {
    EXPECT_EQ(error->userInfo()["MFTransformerErrorHandlingInputValueErrorKey"], c.input);
  } else {
    EXPECT_EQ(error->userInfo().asDictionary().size(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MFFormatterTransformerAnswers,
    testing::Values(FormatterAnswer{"AcceptsAnObjectOfTheClass", Value("x"), true, kSomeDate, "", true, kSomeDate,
                                    nullptr, 0, "", false},
                    FormatterAnswer{"InputIsNotAString", Value(3), true, kSomeDate, "", false, Value(),
                                    "MFTransformerErrorHandlingErrorDomain", 1,
                                    "Expected an NSString as input, got: 3.", true},
                    FormatterAnswer{"RefusesWithADescription", Value("x"), false, Value(), "no such day", false,
                                    Value(), "MFTransformerErrorHandlingErrorDomain", 1, "no such day", true},
                    FormatterAnswer{"AcceptsButStillDescribesAnError", Value("x"), true, kSomeDate, "odd", false,
                                    Value(), "MFTransformerErrorHandlingErrorDomain", 1, "odd", true},
                    FormatterAnswer{"RefusesSilentlyWithoutAnObject", Value("x"), false, Value(), "", false, Value(),
                                    "NSCocoaErrorDomain", 2048,
                                    "Expected an NSDate as output from the formatter, got: (null).", false},
                    FormatterAnswer{"RefusesSilentlyWithAnObjectOfAnotherClass", Value("x"), false, Value(7), "", false,
                                    Value(), "NSCocoaErrorDomain", 2048,
                                    "Expected an NSDate as output from the formatter, got: 7.", false},
                    FormatterAnswer{"AcceptsAnObjectOfAnotherClass", Value("x"), true, Value("day"), "", false, Value(),
                                    "NSCocoaErrorDomain", 2048,
                                    "Expected an NSDate as output from the formatter, got: day.", false},
                    // The flag is the formatter's answer even when it hands back an object of the class.
                    FormatterAnswer{"RefusesSilentlyWithAnObjectOfTheClass", Value("x"), false, kSomeDate, "", false,
                                    kSomeDate, nullptr, 0, "", false}),
    [](const testing::TestParamInfo<FormatterAnswer>& info) { return std::string(info.param.label); });

TEST(MFNumberTransformer, ParsesAndFormatsInTheStyleAndLocale) {
  using Style = platform::NumberFormatterStyle;
  struct Case {
    Style style;
    const char* locale;
    const char* text;
    Value number;
  };
  const Case cases[] = {
      {Style::Decimal, "en_US", "1,234.5", Value(1234.5)}, {Style::Decimal, "de_DE", "1.234,5", Value(1234.5)},
      {Style::Decimal, "en_US", "-42", Value(-42)},        {Style::None, "en_US", "1234", Value(1234)},
      {Style::Percent, "en_US", "12%", Value(0.12)},       {Style::SpellOut, "en_US", "forty-two", Value(42)},
      {Style::Currency, "en_US", "$3.50", Value(3.5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto transformer = MFValueTransformerBase::mf_numberTransformerWithNumberStyle(c.style, std::string(c.locale));
    bool success = true;
    ErrorPtr error;
    Value number = transformer->transformedValue(Value(c.text), &success, &error);
    EXPECT_TRUE(success) << (error ? error->description() : "");
    EXPECT_EQ(number, c.number);
    EXPECT_EQ(transformer->reverseTransformedValue(c.number), Value(c.text));
  }
  auto decimal = MFValueTransformerBase::mf_numberTransformerWithNumberStyle(Style::Decimal, std::string("en_US"));
  bool success = true;
  ErrorPtr error;
  EXPECT_TRUE(decimal->transformedValue(Value("12 apples"), &success, &error).isNil());
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "Could not convert string to NSNumber");
  success = true;
  decimal->reverseTransformedValue(Value("7"), &success, &error);
  EXPECT_FALSE(success);
  EXPECT_EQ(error->localizedFailureReason(), "Expected an NSNumber as input, got: 7.");
  EXPECT_EQ(MFValueTransformerBase::mf_numberTransformerWithNumberStyle(Style::None, std::nullopt)
                ->reverseTransformedValue(Value(1234.6)),
            Value("1235"));
}

TEST(MFDateTransformer, AppliesCalendarLocaleTimeZoneAndDefaultDate) {
  platform::Calendar utc("UTC");
  platform::DateComponents parts;
  parts.year = 2017;
  parts.month = 5;
  parts.day = 3;  // a Wednesday
  platform::Date may3 = *utc.dateFromComponents(parts);

  // The default date fills the day a time-only text lacks, in the transformer's time zone.
  auto times = MFValueTransformerBase::mf_dateTransformerWithDateFormat("HH:mm", nullptr, std::string("en_US_POSIX"),
                                                                        std::string("Europe/Berlin"), may3);
  Value parsed = times->transformedValue(Value("12:30"));
  ASSERT_TRUE(parsed.isDate());
  EXPECT_EQ(parsed.asDate().timeIntervalSince(may3), 10 * 3600 + 30 * 60);  // 12:30 in Berlin is 10:30 UTC
  EXPECT_EQ(times->reverseTransformedValue(parsed), Value("12:30"));

  // Without a default date the missing fields come from 1970-01-01.
  auto bare = MFValueTransformerBase::mf_dateTransformerWithDateFormat("HH:mm", nullptr, std::string("en_US_POSIX"),
                                                                       std::string("UTC"), std::nullopt);
  EXPECT_EQ(bare->transformedValue(Value("00:01")).asDate().timeIntervalSince1970(), 60.0);

  // The calendar decides the week rules: Wednesday is day 4 of a week from Sunday, 3 from Monday.
  platform::Calendar sundayFirst("UTC", "en_US");
  platform::Calendar mondayFirst("UTC", "de_DE");
  for (auto [calendar, day] : {std::pair{&sundayFirst, "4"}, std::pair{&mondayFirst, "3"}}) {
    auto weekdays = MFValueTransformerBase::mf_dateTransformerWithDateFormat("e", calendar, std::string("en_US_POSIX"),
                                                                             std::string("UTC"), std::nullopt);
    EXPECT_EQ(weekdays->reverseTransformedValue(Value(may3)), Value(day));
  }
  // The locale decides the words.
  auto months = MFValueTransformerBase::mf_dateTransformerWithDateFormat("MMMM", nullptr, std::string("de_DE"),
                                                                         std::string("UTC"), std::nullopt);
  EXPECT_EQ(months->reverseTransformedValue(Value(may3)), Value("Mai"));
}

TEST(MFValueTransformer, TransformedValueClassIsTheRootClass) {
  EXPECT_EQ(&MFValueTransformer::transformerWithBlock([](const Value& v) { return v; })->transformedValueClass(),
            &platform::Object::staticClass());
}

TEST(MFModelHelpers, RemovingEntriesWithASetOfKeys) {
  ValueDictionary dictionary{{"a", Value(1)}, {"b", Value(2)}, {"c", Value(3)}};
  ValueDictionary left =
      mf_dictionaryByRemovingEntriesWithKeys(dictionary, platform::ValueSet{Value("a"), Value("c"), Value(5)});
  EXPECT_EQ(left, (ValueDictionary{{"b", Value(2)}}));
  EXPECT_EQ(dictionary.size(), 3u);
}

}  // namespace
