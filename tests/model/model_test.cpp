#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>
#include <vector>

#include "model/MFModel.h"

using platform::ErrorPtr;
using platform::Value;
using platform::ValueDictionary;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::UnorderedElementsAre;

namespace {

class MFTestPerson : public MFModel {
  ZORVEL_CLASS(MFTestPerson, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, age, setAge)
  ZORVEL_PROPERTY(std::optional<std::string>, scratch, setScratch)
  ZORVEL_READONLY_PROPERTY(std::optional<std::string>, uuid, platform::Copy)
  std::string greeting() const { return "hello " + name().value_or(""); }
  ZORVEL_COMPUTED_PROPERTY(greeting, greeting)

  // Names must not be empty; "Bob" is corrected to "Robert".
  bool validateName(Value& value, ErrorPtr* error) {
    if (value.isString() && value.asString().empty()) {
      if (error) *error = platform::Error::withDescription("TestDomain", 7, "empty name");
      return false;
    }
    if (value.isString() && value.asString() == "Bob") value = Value("Robert");
    return true;
  }
  ZORVEL_VALIDATOR(name, validateName)

  MFPropertyStorage storageBehaviorForPropertyWithKey(std::string_view key) const override {
    if (key == "scratch") return MFPropertyStorageTransitory;
    return MFModel::storageBehaviorForPropertyWithKey(key);
  }

  int mergedScratchCalls = 0;
  bool lastMergeHadModel = false;
  void mergeScratchFromModel(std::shared_ptr<MFModel> other) {
    ++mergedScratchCalls;
    lastMergeHadModel = other != nullptr;
    if (other) setScratch(scratch().value_or("") + "+" + other->valueForKey("scratch").asString());
  }
  ZORVEL_METHOD("mergeScratchFromModel:", mergeScratchFromModel)
};

class MFTestStudent : public MFTestPerson {
  ZORVEL_CLASS(MFTestStudent, MFTestPerson)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, school, setSchool)
  // Redeclared read-only without storage: keeps the inherited behaviour.
  std::optional<std::string> uuidAgain() const { return uuid(); }
  ZORVEL_COMPUTED_PROPERTY(uuid, uuidAgain)
};

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(MFModelPropertyKeys, StoredAndReadOnlyStoredKeysButNotComputedOnes) {
  const MFModel* person = MFModel::forClass(MFTestPerson::staticClass());
  ASSERT_NE(person, nullptr);
  EXPECT_THAT(person->propertyKeys(), UnorderedElementsAre("name", "age", "scratch", "uuid"));
  EXPECT_EQ(person->storageBehaviorForPropertyWithKey("uuid"), MFPropertyStoragePermanent);
  EXPECT_EQ(person->storageBehaviorForPropertyWithKey("greeting"), MFPropertyStorageNone);
  EXPECT_EQ(person->storageBehaviorForPropertyWithKey("nothing"), MFPropertyStorageNone);
  EXPECT_THAT(person->transitoryPropertyKeys(), ElementsAre("scratch"));
  EXPECT_THAT(sorted(person->permanentPropertyKeys()), ElementsAre("age", "name", "uuid"));
}

TEST(MFModelPropertyKeys, SubclassKeysComeFirstAndRedeclaredReadOnlyKeepsSuperclassBehaviour) {
  const MFModel* student = MFModel::forClass(MFTestStudent::staticClass());
  ASSERT_NE(student, nullptr);
  std::vector<std::string> keys = student->propertyKeys();
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys.front(), "school");
  EXPECT_THAT(sorted(keys), ElementsAre("age", "name", "school", "scratch", "uuid"));
  EXPECT_EQ(student->storageBehaviorForPropertyWithKey("uuid"), MFPropertyStoragePermanent);
}

TEST(MFModelPropertyKeys, PlainObjectsAreNotModelClasses) {
  EXPECT_EQ(MFModel::forClass(platform::Object::staticClass()), nullptr);
}

// --- Attribute parsing ---

struct AttributeCase {
  const char* attributes;
  bool parses;
  const char* stderrText;  // substring expected on standard error ("" = nothing)
};

class MFPropertyAttributesParsing : public testing::TestWithParam<AttributeCase> {};

TEST_P(MFPropertyAttributesParsing, ReportsProblemsOnStandardError) {
  const AttributeCase& c = GetParam();
  testing::internal::CaptureStderr();
  auto parsed = mf_parsePropertyAttributes(c.attributes, "prop");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(parsed.has_value(), c.parses) << c.attributes;
  if (*c.stderrText)
    EXPECT_THAT(err, HasSubstr(c.stderrText));
  else
    EXPECT_EQ(err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, MFPropertyAttributesParsing,
    testing::Values(
        AttributeCase{"T@\"NSString\",C,N,V_name", true, ""}, AttributeCase{"Tq,N,V_age", true, ""},
        AttributeCase{"X@,N", false, "ERROR: Expected attribute string \"X@,N\" for property prop to start with 'T'\n"},
        AttributeCase{"T{broken,N", false,
                      "ERROR: Could not read past type in attribute string \"T{broken,N\" for property prop\n"},
        AttributeCase{"T@\"NSString,N", false,
                      "ERROR: Could not read past type in attribute string \"T@\"NSString,N\" for property prop\n"},
        AttributeCase{"Tq,G,N", false,
                      "ERROR: Found zero length selector name in attribute string \"Tq,G,N\" for property prop\n"},
        AttributeCase{
            "Tq,t@,N", true,
            "ERROR: Old-style type encoding is unsupported in attribute string \"Tq,t@,N\" for property prop\n"},
        AttributeCase{
            "Tq,X,N", true,
            "ERROR: Unrecognized attribute string flag 'X' in attribute string \"Tq,X,N\" for property prop\n"},
        AttributeCase{"Tq,Xjunk", true,
                      "Warning: Unparsed data \"junk\" in attribute string \"Tq,Xjunk\" for property prop\n"}));

TEST(MFPropertyAttributes, ReadsFlagsAccessorsIvarAndClass) {
  auto a = mf_parsePropertyAttributes("T@\"NSString\",R,C,N,GisOn,SsetOn:,V_url", "url");
  ASSERT_TRUE(a);
  EXPECT_TRUE(a->readonly);
  EXPECT_TRUE(a->nonatomic);
  EXPECT_EQ(a->memoryManagementPolicy, MFPropertyMemoryPolicy::Copy);
  EXPECT_EQ(a->getter, "isOn");
  EXPECT_EQ(a->setter, "setOn:");
  EXPECT_EQ(a->ivar, "_url");
  EXPECT_EQ(a->type, "@\"NSString\"");
  EXPECT_EQ(a->objectClass, &platform::stringClass());

  auto d = mf_parsePropertyAttributes("T@,V_x,D", "url");  // "V" ends flag reading
  ASSERT_TRUE(d);
  EXPECT_EQ(d->ivar, "_x,D");
  auto dyn = mf_parsePropertyAttributes("T@,&,D,W", "url");
  ASSERT_TRUE(dyn);
  EXPECT_TRUE(dyn->dynamic);
  EXPECT_TRUE(dyn->weak);
  EXPECT_FALSE(dyn->ivar);
  EXPECT_EQ(dyn->memoryManagementPolicy, MFPropertyMemoryPolicy::Retain);
  EXPECT_EQ(dyn->getter, "url");
  EXPECT_EQ(dyn->setter, "setUrl:");
  EXPECT_EQ(mf_parsePropertyAttributes("T@\"NoSuchClassAnywhere\",N", "p")->objectClass, nullptr);
}

TEST(MFSelectorBuilders, CapitaliseTheFirstCharacterOnly) {
  EXPECT_EQ(mf_selectorWithCapitalizedKey("merge", "userName", "FromModel:"), "mergeUserNameFromModel:");
  EXPECT_EQ(mf_selectorWithKeySuffix("url", "JSONTransformer"), "urlJSONTransformer");
  EXPECT_EQ(mf_selectorWithKeySuffix("\xff", "x"), std::nullopt);
}

// --- Initialisation and validation ---

TEST(MFModelInit, SetsValuesThroughValidationAndNullBecomesNil) {
  ErrorPtr error;
  auto person = MFModel::modelWithDictionary<MFTestPerson>(
      ValueDictionary{{"name", Value("Bob")}, {"age", Value(42)}, {"scratch", Value::null()}}, &error);
  ASSERT_TRUE(person) << (error ? error->description() : "");
  EXPECT_EQ(person->name(), "Robert");  // replaced by validation
  EXPECT_EQ(person->age(), 42);
  EXPECT_EQ(person->scratch(), std::nullopt);
}

TEST(MFModelInit, RefusedValueReturnsTheValidatorsError) {
  ErrorPtr error;
  auto person = MFModel::modelWithDictionary<MFTestPerson>(ValueDictionary{{"name", Value("")}}, &error);
  EXPECT_FALSE(person);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "TestDomain");
  EXPECT_EQ(error->code(), 7);
}

TEST(MFModelInit, UnknownKeyIsLoggedAndBecomesModelErrorWithTheException) {
  ErrorPtr error;
  testing::internal::CaptureStderr();
  auto person = MFModel::modelWithDictionary<MFTestPerson>(ValueDictionary{{"nosuchkey", Value(1)}}, &error);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(person);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), "MFModelErrorDomain");
  EXPECT_EQ(error->code(), 1);
  auto thrown = error->userInfo()["MFModelThrownException"].as<MFThrownException>();
  ASSERT_TRUE(thrown);
  EXPECT_EQ(thrown->exception().name(), "NSUnknownKeyException");
  EXPECT_EQ(error->localizedFailureReason(), thrown->exception().reason());
  EXPECT_THAT(err, HasSubstr("*** Caught exception setting key \"nosuchkey\" : "));
}

TEST(MFModelInit, NilForAScalarFailsInsteadOfCrashing) {
  ErrorPtr error;
  testing::internal::CaptureStderr();
  auto person = MFModel::modelWithDictionary<MFTestPerson>(ValueDictionary{{"age", Value::null()}}, &error);
  testing::internal::GetCapturedStderr();
  EXPECT_FALSE(person);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 1);
}

TEST(MFModelValidate, RunsValidatorsOnCurrentValuesAndKeepsReplacements) {
  auto person = platform::make<MFTestPerson>();
  person->setName("Bob");
  EXPECT_TRUE(person->validate());
  EXPECT_EQ(person->name(), "Robert");
  person->setName("");
  ErrorPtr error;
  EXPECT_FALSE(person->validate(&error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), 7);
}

// --- Values, equality, hash, copy, description ---

TEST(MFModelValues, DictionaryValueHoldsTransitoryAndPermanentKeysWithNullForNil) {
  auto person = platform::make<MFTestPerson>();
  person->setAge(3);
  ValueDictionary values = person->dictionaryValue();
  EXPECT_THAT(sorted(values.keys()), ElementsAre("age", "name", "scratch", "uuid"));
  EXPECT_TRUE(values.find("name")->isNull());
  EXPECT_EQ(*values.find("age"), Value(3));
}

TEST(MFModelEquality, PermanentValuesDecideAndTransitoryOnesAreIgnored) {
  auto a = platform::make<MFTestPerson>();
  auto b = platform::make<MFTestPerson>();
  a->setName("Ada");
  b->setName("Ada");
  a->setScratch("x");
  b->setScratch("y");
  EXPECT_TRUE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), b->hash());
  b->setAge(1);
  EXPECT_FALSE(a->isEqual(*b));
}

TEST(MFModelEquality, NilMatchesNilButNotAnEmptyString) {
  auto a = platform::make<MFTestPerson>();
  auto b = platform::make<MFTestPerson>();
  EXPECT_TRUE(a->isEqual(*b));
  b->setName("");
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_FALSE(b->isEqual(*a));
}

TEST(MFModelEquality, SubclassInstanceWithSameValuesIsNotEqual) {
  auto person = platform::make<MFTestPerson>();
  auto student = platform::make<MFTestStudent>();
  EXPECT_FALSE(person->isEqual(*student));
  EXPECT_FALSE(student->isEqual(*person));
}

TEST(MFModelCopy, CopyIsEqualIndependentAndSkipsValidation) {
  auto person = platform::make<MFTestPerson>();
  person->setName("");  // a value validation would refuse
  person->setScratch("s");
  auto copy = std::dynamic_pointer_cast<MFTestPerson>(person->copy());
  ASSERT_TRUE(copy);
  EXPECT_NE(copy.get(), person.get());
  EXPECT_TRUE(copy->isEqual(*person));
  EXPECT_EQ(copy->scratch(), "s");
  copy->setName("Other");
  EXPECT_EQ(person->name(), "");
}

TEST(MFModelDescription, NamesClassAddressAndPermanentValues) {
  auto person = platform::make<MFTestPerson>();
  person->setName("Ada");
  person->setScratch("hidden");
  std::string text = person->description();
  EXPECT_THAT(text, testing::StartsWith("<MFTestPerson: 0x"));
  EXPECT_THAT(text, HasSubstr("name = Ada;"));
  EXPECT_THAT(text, testing::Not(HasSubstr("hidden")));
}

// --- Merging ---

TEST(MFModelMerge, HookRunsEvenWithoutAModelAndPlainKeysNeedOne) {
  auto a = platform::make<MFTestPerson>();
  auto b = platform::make<MFTestPerson>();
  a->setName("A");
  a->setScratch("a");
  b->setName("B");
  b->setScratch("b");

  a->mergeValueForKey("name", nullptr);
  EXPECT_EQ(a->name(), "A");
  a->mergeValueForKey("scratch", nullptr);
  EXPECT_EQ(a->mergedScratchCalls, 1);
  EXPECT_FALSE(a->lastMergeHadModel);

  a->mergeValuesForKeysFromModel(b);
  EXPECT_EQ(a->name(), "B");
  EXPECT_EQ(a->scratch(), "a+b");
  EXPECT_EQ(a->mergedScratchCalls, 2);
}

TEST(MFModelMerge, KeysTheOtherClassLacksAreSkipped) {
  auto student = platform::make<MFTestStudent>();
  student->setSchool("Old");
  auto person = platform::make<MFTestPerson>();
  person->setName("P");
  student->mergeValuesForKeysFromModel(person);
  EXPECT_EQ(student->name(), "P");
  EXPECT_EQ(student->school(), "Old");
}

// --- Per-class caches ---

// Used by no other test, so the first questions about it come from the threads below at once.
class MFTestFirstUse : public MFModel {
  ZORVEL_CLASS(MFTestFirstUse, MFModel)

 public:
  ZORVEL_PROPERTY(std::optional<std::string>, title, setTitle, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, count, setCount)
};

// The caches are filled by whichever thread asks first and read by all; every thread must see the
// complete value (ThreadSanitizer checks the hand-over).
TEST(MFModelClassCache, FirstUseFromManyThreadsAtOnceIsSafe) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> keys(kThreads);
  std::vector<const MFModel*> prototypes(kThreads);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      auto model = platform::make<MFTestFirstUse>();
      model->setTitle("t");
      start.arrive_and_wait();
      prototypes[static_cast<std::size_t>(i)] = MFModel::forClass(MFTestFirstUse::staticClass());
      keys[static_cast<std::size_t>(i)] = model->propertyKeys();
      EXPECT_EQ(model->dictionaryValue().size(), 2u);
      EXPECT_EQ(model->allowedSecureCodingClassesByPropertyKey().size(), 2u);
    });
  }
  for (auto& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(prototypes[static_cast<std::size_t>(i)], prototypes[0]) << "one prototype is kept";
    EXPECT_THAT(keys[static_cast<std::size_t>(i)], UnorderedElementsAre("title", "count"));
  }
}

// --- Collections ---

TEST(MFCollections, HelpersReturnNewCollections) {
  platform::ValueArray array{Value(1), Value(2), Value(1)};
  EXPECT_EQ(mf_firstObject(array), Value(1));
  EXPECT_TRUE(mf_firstObject({}).isNil());
  EXPECT_EQ(mf_arrayByRemovingObject(array, Value(1)), platform::ValueArray{Value(2)});
  EXPECT_EQ(mf_arrayByRemovingFirstObject(array), (platform::ValueArray{Value(2), Value(1)}));
  EXPECT_EQ(mf_arrayByRemovingLastObject(array), (platform::ValueArray{Value(1), Value(2)}));
  EXPECT_TRUE(mf_arrayByRemovingFirstObject({}).empty());
  ValueDictionary d{{"a", Value(1)}, {"b", Value(2)}};
  EXPECT_EQ(mf_dictionaryByAddingEntriesFromDictionary(d, {{"b", Value(3)}}),
            (ValueDictionary{{"a", Value(1)}, {"b", Value(3)}}));
  EXPECT_EQ(mf_dictionaryByRemovingValuesForKeys(d, {"a"}), (ValueDictionary{{"b", Value(2)}}));
}

}  // namespace
