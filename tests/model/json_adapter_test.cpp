#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "model/MFJSONAdapter.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueDictionary;
using testing::HasSubstr;

namespace {

class MFJSONSkin : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONSkin, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, uuid, setUuid, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::shared_ptr<MFURL>, link, setLink)
  ZORVEL_PROPERTY(std::int8_t, enabled, setEnabled)
  ZORVEL_PROPERTY(std::optional<std::string>, city, setCity)
  ZORVEL_PROPERTY(Value, extra, setExtra)

  ValueDictionary JSONKeyPathsByPropertyKey() const override {
    return {{"uuid", Value("id")},    {"name", Value("name")},       {"link", Value("link")},
            {"enabled", Value("on")}, {"city", Value("where.city")}, {"extra", Value("a.b.c")}};
  }
};

class MFJSONNested : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONNested, MFModel)

 public:
  ZORVEL_PROPERTY(std::shared_ptr<MFJSONSkin>, skin, setSkin)
  ZORVEL_PROPERTY(Value, range, setRange)
  ZORVEL_PROPERTY(std::optional<std::string>, label, setLabel)

  ValueDictionary JSONKeyPathsByPropertyKey() const override {
    return {
        {"skin", Value("skin")}, {"range", Value::array({Value("from"), Value("span.to")})}, {"label", Value("label")}};
  }
  // Labels are upper-cased on the way in; a nil label is written as "none".
  static MFValueTransformerPtr labelJSONTransformer() {
    return MFValueTransformer::reversibleTransformerWithForwardBlock(
        [](const Value& v) { return v.isString() ? Value(v.asString() + "!") : Value(); },
        [](const Value& v) { return v.isNil() ? Value() : v; });
  }
  ZORVEL_CLASS_METHOD("labelJSONTransformer", labelJSONTransformer)
};

class MFJSONBadMapping : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONBadMapping, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  ValueDictionary JSONKeyPathsByPropertyKey() const override { return {{"missing", Value("m")}}; }
};

class MFJSONChooser : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONChooser, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  ValueDictionary JSONKeyPathsByPropertyKey() const override { return {{"name", Value("name")}}; }
  std::optional<const platform::Class*> classForParsingJSONDictionary(const Value& json) const override {
    if (json["kind"] == Value("skin")) return &MFJSONSkin::staticClass();
    if (json["kind"] == Value("self")) return &staticClass();
    return nullptr;
  }
};

class MFJSONThrowing : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONThrowing, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  ValueDictionary JSONKeyPathsByPropertyKey() const override { return {{"name", Value("n")}}; }
  MFValueTransformerPtr JSONTransformerForKey(std::string_view) const override {
    return MFValueTransformer::transformerWithBlock(
        [](const Value&) -> Value { platform::Exception::raise("TestException", "transformer gave up"); });
  }
};

Value skinJSON() {
  return Value::dictionary({{"id", Value("u-1")},
                            {"name", Value("Sunset")},
                            {"link", Value("https://example.com/s")},
                            {"on", Value(1)},
                            {"where", Value::dictionary({{"city", Value("Oslo")}})},
                            {"ignored", Value(true)}});
}

TEST(MFJSONAdapter, MapsKeyPathsIntoTheModel) {
  ErrorPtr error;
  auto skin = MFJSONAdapter::modelOfClass<MFJSONSkin>(skinJSON(), &error);
  ASSERT_TRUE(skin) << (error ? error->description() : "");
  EXPECT_EQ(skin->uuid(), "u-1");
  EXPECT_EQ(skin->name(), "Sunset");
  ASSERT_TRUE(skin->link());
  EXPECT_EQ(skin->link()->absoluteString(), "https://example.com/s");
  EXPECT_EQ(skin->enabled(), 1);
  EXPECT_EQ(skin->city(), "Oslo");
}

TEST(MFJSONAdapter, MissingKeyLeavesThePropertyAndNullSetsNil) {
  auto skin = MFJSONAdapter::modelOfClass<MFJSONSkin>(
      Value::dictionary({{"id", Value("u")}, {"name", Value::null()}, {"where", Value::null()}}));
  ASSERT_TRUE(skin);
  EXPECT_EQ(skin->uuid(), "u");
  EXPECT_EQ(skin->name(), std::nullopt);
  EXPECT_EQ(skin->city(), std::nullopt);
}

TEST(MFJSONAdapter, PicksTransformersByDeclaredType) {
  auto transformers = MFJSONAdapter::valueTransformersForModelClass(MFJSONSkin::staticClass());
  EXPECT_EQ(transformers["link"], MFValueTransformerBase::valueTransformerForName(MFURLValueTransformerName));
  EXPECT_EQ(transformers["enabled"], MFValueTransformerBase::valueTransformerForName(MFBooleanValueTransformerName));
  ASSERT_TRUE(transformers["name"]);
  EXPECT_FALSE(transformers["name"]->allowsReverseTransformation());  // a type check
  auto nested = MFJSONAdapter::valueTransformersForModelClass(MFJSONNested::staticClass());
  ASSERT_TRUE(nested["skin"]);
  EXPECT_TRUE(nested["skin"]->allowsReverseTransformation());  // dictionary transformer
}

struct ErrorCase {
  const char* name;
  Value json;
  std::int64_t code;
  const char* description;
  const char* reason;  // substring
};

class MFJSONAdapterErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(MFJSONAdapterErrors, ReportDomainCodeAndTexts) {
  const ErrorCase& c = GetParam();
  ErrorPtr error;
  testing::internal::CaptureStderr();
  auto model = MFJSONAdapter::modelOfClass(
      std::string_view(c.name) == "chooser" ? MFJSONChooser::staticClass() : MFJSONSkin::staticClass(), c.json, &error);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(model);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), c.code == 1 || c.code == 2 || c.code == 3
                                 ? std::string("MFJSONAdapterErrorDomain")
                                 : std::string("MFTransformerErrorHandlingErrorDomain"));
  EXPECT_EQ(error->code(), c.code > 3 ? 1 : c.code);
  EXPECT_EQ(error->localizedDescription(), c.description);
  EXPECT_THAT(error->localizedFailureReason().value_or(""), HasSubstr(c.reason));
}

INSTANTIATE_TEST_SUITE_P(
    Table, MFJSONAdapterErrors,
    testing::Values(
        ErrorCase{"number in path", Value::dictionary({{"where", Value(5)}}), 3, "Invalid JSON dictionary",
                  "JSON key path where.city could not resolved because an incompatible JSON dictionary was supplied: "
                  "\"{\n    where = 5;\n}\""},
        ErrorCase{"chooser", Value::dictionary({{"kind", Value("none")}}), 2, "Could not parse JSON",
                  "No model class could be found to parse the JSON dictionary."},
        ErrorCase{"bad url", Value::dictionary({{"link", Value("a b")}}), 4, "Could not convert string to URL",
                  "Input URL string a b was malformed"},
        ErrorCase{"wrong type", Value::dictionary({{"name", Value(5)}}), 4, "Value did not match expected type",
                  "Expected 5 to be of class NSString but got NSNumber"}));

TEST(MFJSONAdapter, ClassChosenForTheDictionaryIsBuilt) {
  auto chosen = MFJSONAdapter::modelOfClass(MFJSONChooser::staticClass(),
                                            Value::dictionary({{"kind", Value("skin")}, {"name", Value("S")}}));
  auto skin = std::dynamic_pointer_cast<MFJSONSkin>(chosen);
  ASSERT_TRUE(skin);
  EXPECT_EQ(skin->name(), "S");
  auto self =
      MFJSONAdapter::modelOfClass<MFJSONChooser>(Value::dictionary({{"kind", Value("self")}, {"name", Value("C")}}));
  ASSERT_TRUE(self);
  EXPECT_EQ(self->name(), "C");
}

TEST(MFJSONAdapter, InvalidMappingGivesNilWithoutAnError) {
  EXPECT_FALSE(MFJSONAdapter::adapterWithModelClass(MFJSONBadMapping::staticClass()));
  ErrorPtr error;
  EXPECT_FALSE(MFJSONAdapter::modelOfClass(MFJSONBadMapping::staticClass(), Value::dictionary({}), &error));
  EXPECT_FALSE(error);
}

TEST(MFJSONAdapter, ExceptionInATransformerIsLoggedAndBecomesCodeOne) {
  ErrorPtr error;
  testing::internal::CaptureStderr();
  auto model =
      MFJSONAdapter::modelOfClass(MFJSONThrowing::staticClass(), Value::dictionary({{"n", Value("x")}}), &error);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(model);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "MFJSONAdapterErrorDomain");
  EXPECT_EQ(error->code(), 1);
  EXPECT_EQ(error->localizedDescription(),
            "Caught exception parsing JSON key path \"n\" for model class: MFJSONThrowing");
  EXPECT_EQ(error->localizedFailureReason(), "transformer gave up");
  EXPECT_EQ(error->localizedRecoverySuggestion(), "transformer gave up");
  EXPECT_TRUE(error->userInfo()["MFJSONAdapterThrownException"].as<MFThrownException>());
  EXPECT_THAT(log, HasSubstr("*** Caught exception transformer gave up parsing JSON key path \"n\" from: "));
}

TEST(MFJSONAdapter, WritesNestedPathsAndRoundTrips) {
  auto skin = MFJSONAdapter::modelOfClass<MFJSONSkin>(skinJSON());
  ASSERT_TRUE(skin);
  skin->setExtra(Value(7));
  ErrorPtr error;
  Value json = MFJSONAdapter::JSONDictionaryFromModel(*skin, &error);
  ASSERT_FALSE(json.isNil()) << (error ? error->description() : "");
  EXPECT_EQ(json["id"], Value("u-1"));
  EXPECT_EQ(json["link"], Value("https://example.com/s"));
  EXPECT_TRUE(json["on"].isBool());
  EXPECT_EQ(json["where"]["city"], Value("Oslo"));
  EXPECT_EQ(json["a"]["b"]["c"], Value(7));  // three components: two levels of dictionaries
  auto back = MFJSONAdapter::modelOfClass<MFJSONSkin>(json);
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isEqual(*skin));
}

TEST(MFJSONAdapter, NilThroughAReversibleTransformerBecomesNull) {
  auto skin = platform::make<MFJSONSkin>();  // link is nil; the URL transformer gives nil back
  Value json = MFJSONAdapter::JSONDictionaryFromModel(*skin);
  ASSERT_TRUE(json.isDictionary());
  EXPECT_TRUE(json["link"].isNull());
  EXPECT_TRUE(json["name"].isNull());  // no reverse transformer: the dictionary's null stays
}

TEST(MFJSONAdapter, NestedModelsMultiplePathsAndPerKeyTransformers) {
  Value json = Value::dictionary({{"skin", Value::dictionary({{"id", Value("inner")}})},
                                  {"from", Value(1)},
                                  {"span", Value::dictionary({{"to", Value(9)}})},
                                  {"label", Value("hi")}});
  ErrorPtr error;
  auto nested = MFJSONAdapter::modelOfClass<MFJSONNested>(json, &error);
  ASSERT_TRUE(nested) << (error ? error->description() : "");
  ASSERT_TRUE(nested->skin());
  EXPECT_EQ(nested->skin()->uuid(), "inner");
  EXPECT_EQ(nested->range(), Value::dictionary({{"from", Value(1)}, {"span.to", Value(9)}}));
  EXPECT_EQ(nested->label(), "hi!");

  Value out = MFJSONAdapter::JSONDictionaryFromModel(*nested, &error);
  EXPECT_EQ(out["skin"]["id"], Value("inner"));
  EXPECT_EQ(out["from"], Value(1));
  EXPECT_EQ(out["span"]["to"], Value(9));
  EXPECT_EQ(out["label"], Value("hi!"));
}

TEST(MFJSONAdapter, ArraysOfModels) {
  ErrorPtr error;
  Value models =
      MFJSONAdapter::modelsOfClass(MFJSONSkin::staticClass(), Value::array({skinJSON(), skinJSON()}), &error);
  ASSERT_EQ(models.count(), 2u);
  Value back = MFJSONAdapter::JSONArrayFromModels(models, &error);
  ASSERT_EQ(back.count(), 2u);
  EXPECT_EQ(back[1]["name"], Value("Sunset"));

  Value none = MFJSONAdapter::modelsOfClass(MFJSONSkin::staticClass(), Value::dictionary({}), &error);
  EXPECT_TRUE(none.isNil());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(error->localizedDescription(), "Missing JSON array");
  EXPECT_EQ(error->localizedFailureReason(),
            "MFJSONSkin could not be created because an invalid JSON array was provided: NSDictionary");
}

struct ModelTransformerCase {
  bool array;
  bool reverse;
  Value input;
  const char* description;
  const char* reason;
};

class MFModelTransformerFailures : public testing::TestWithParam<ModelTransformerCase> {};

TEST_P(MFModelTransformerFailures, ReportTheirTexts) {
  const ModelTransformerCase& c = GetParam();
  auto transformer = c.array ? MFJSONAdapter::arrayTransformerWithModelClass(MFJSONSkin::staticClass())
                             : MFJSONAdapter::dictionaryTransformerWithModelClass(MFJSONSkin::staticClass());
  bool success = true;
  ErrorPtr error;
  Value out = c.reverse ? transformer->reverseTransformedValue(c.input, &success, &error)
                        : transformer->transformedValue(c.input, &success, &error);
  EXPECT_TRUE(out.isNil());
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "MFTransformerErrorHandlingErrorDomain");
  EXPECT_EQ(error->localizedDescription(), c.description);
  EXPECT_EQ(error->localizedFailureReason(), c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MFModelTransformerFailures,
    testing::Values(ModelTransformerCase{false, false, Value(1), "Could not convert JSON dictionary to model object",
                                         "Expected an NSDictionary, got: 1"},
                    ModelTransformerCase{false, true, Value("s"), "Could not convert model object to JSON dictionary",
                                         "Expected a MFModel object conforming to <MFJSONSerializing>, got: s."},
                    ModelTransformerCase{true, false, Value(1), "Could not convert JSON array to model array",
                                         "Expected an NSArray, got: 1."},
                    ModelTransformerCase{true, false, Value::array({Value(2)}),
                                         "Could not convert JSON array to model array",
                                         "Expected an NSDictionary or an NSNull, got: 2."},
                    ModelTransformerCase{true, true, Value(1), "Could not convert model array to JSON array",
                                         "Expected an NSArray, got: 1."},
                    ModelTransformerCase{true, true, Value::array({Value(2)}),
                                         "Could not convert model array to JSON array",
                                         "Expected a MFModel or an NSNull, got: 2."}));

TEST(MFJSONAdapter, ArrayTransformerKeepsNullsAndConvertsModels) {
  auto transformer = MFJSONAdapter::arrayTransformerWithModelClass(MFJSONSkin::staticClass());
  Value models = transformer->transformedValue(Value::array({skinJSON(), Value::null()}));
  ASSERT_EQ(models.count(), 2u);
  EXPECT_TRUE(models[0].as<MFJSONSkin>());
  EXPECT_TRUE(models[1].isNull());
  Value json = transformer->reverseTransformedValue(models);
  EXPECT_EQ(json[0]["id"], Value("u-1"));
  EXPECT_TRUE(json[1].isNull());
}

TEST(MFJSONAdapter, AdapterCacheReturnsTheSameAdapterPerClass) {
  auto adapter = MFJSONAdapter::adapterWithModelClass(MFJSONChooser::staticClass());
  ASSERT_TRUE(adapter);
  auto first = adapter->JSONAdapterForModelClass(MFJSONSkin::staticClass());
  EXPECT_TRUE(first);
  EXPECT_EQ(first, adapter->JSONAdapterForModelClass(MFJSONSkin::staticClass()));
  EXPECT_FALSE(adapter->JSONAdapterForModelClass(MFJSONBadMapping::staticClass()));
}

TEST(MFJSONAdapter, KeyPathReading) {
  Value json = Value::dictionary({{"a", Value::dictionary({{"b", Value::null()}})}, {"n", Value(1)}});
  bool success = false;
  EXPECT_TRUE(mf_valueForJSONKeyPath(json, "a.b.c", &success).isNull());
  EXPECT_TRUE(success);
  EXPECT_TRUE(mf_valueForJSONKeyPath(json, "x.y", &success).isNil());
  EXPECT_TRUE(success);
  ErrorPtr error;
  EXPECT_TRUE(mf_valueForJSONKeyPath(json, "n.m", &success, &error).isNil());
  EXPECT_FALSE(success);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 3);
  EXPECT_EQ(mf_identityPropertyMapWithModel(MFJSONChooser::staticClass()), (ValueDictionary{{"name", Value("name")}}));
}

}  // namespace

namespace {

class MFJSONConcurrent : public MFModel, public MFJSONSerializing {
  ZORVEL_CLASS(MFJSONConcurrent, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName)
  ValueDictionary JSONKeyPathsByPropertyKey() const override { return {{"name", Value("n")}}; }
};

TEST(MFJSONAdapterThreads, CachesAndSharedAdapterWorkFromManyThreadsAtOnce) {
  auto shared = MFJSONAdapter::adapterWithModelClass(MFJSONChooser::staticClass());
  ASSERT_TRUE(shared);
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 50; ++j) {
        auto model = MFJSONAdapter::modelOfClass<MFJSONConcurrent>(Value::dictionary({{"n", Value("x")}}));
        auto viaCache = shared->JSONAdapterForModelClass(MFJSONConcurrent::staticClass());
        Value json = viaCache ? viaCache->JSONDictionaryFrom(*model) : Value();
        if (model && json["n"] == Value("x")) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 400);
}

}  // namespace

namespace {

// An adapter class with its own URL transformer: the adapters it makes for nested models must be
// of its own class too.
class MFMarkingAdapter : public MFJSONAdapter {
  ZORVEL_CLASS(MFMarkingAdapter, MFJSONAdapter)

 public:
  static MFValueTransformerPtr NSURLJSONTransformer() {
    return MFValueTransformer::reversibleTransformerWithForwardBlock(
        [](const Value& v) { return v.isString() ? Value(MFURL::URLWithString(v.asString() + "#marked")) : Value(); },
        [](const Value& v) { return v.as<MFURL>() ? Value(v.as<MFURL>()->absoluteString()) : Value(); });
  }
  ZORVEL_CLASS_METHOD("NSURLJSONTransformer", NSURLJSONTransformer)
};

}  // namespace

TEST(MFJSONAdapter, NestedModelsAreMappedWithTheReceivingAdaptersClass) {
  Value json = Value::dictionary(
      {{"skin", Value::dictionary({{"id", Value("inner")}, {"link", Value("https://a.example/x")}})}});
  ErrorPtr error;
  auto adapter = MFJSONAdapter::adapterWithModelClass(MFJSONNested::staticClass(), MFMarkingAdapter::staticClass());
  ASSERT_TRUE(adapter);
  auto nested = std::dynamic_pointer_cast<MFJSONNested>(adapter->modelFromJSONDictionary(json, &error));
  ASSERT_TRUE(nested) << (error ? error->description() : "");
  ASSERT_TRUE(nested->skin() && nested->skin()->link());
  EXPECT_EQ(nested->skin()->link()->absoluteString(), "https://a.example/x#marked");
  // The plain adapter keeps the plain transformer.
  auto plain = MFJSONAdapter::modelOfClass<MFJSONNested>(json, &error);
  ASSERT_TRUE(plain && plain->skin() && plain->skin()->link());
  EXPECT_EQ(plain->skin()->link()->absoluteString(), "https://a.example/x");
}
