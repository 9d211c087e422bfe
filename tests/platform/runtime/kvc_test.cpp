#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/kvc.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "support/raised.h"

namespace {

using platform::Value;
using zorvel::test::raised;

class KvcAddress : public platform::Object {
  ZORVEL_CLASS(KvcAddress, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, city, setCity, platform::Copy)
};

class KvcPerson : public platform::Object {
  ZORVEL_CLASS(KvcPerson, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::optional<std::string>, nickname, setNickname, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, age, setAge)
  ZORVEL_PROPERTY(double, height, setHeight)
  ZORVEL_PROPERTY_WITH_GETTER(bool, active, isActive, setActive)
  ZORVEL_PROPERTY(platform::Date, born, setBorn)
  ZORVEL_PROPERTY(std::shared_ptr<KvcAddress>, address, setAddress)
  ZORVEL_PROPERTY(std::weak_ptr<KvcPerson>, friend_, setFriend)
  ZORVEL_PROPERTY(platform::ValueDictionary, info, setInfo)
  ZORVEL_READONLY_PROPERTY(std::string, uuid)
  std::string greeting() const { return "hi " + name(); }
  ZORVEL_COMPUTED_PROPERTY(greeting, greeting)

  // A hand-written setter: key-value coding must go through it.
  std::string email() const { return email_; }
  void setEmail(std::string value) {
    ++emailSets;
    for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    setAndNotify("email", email_, std::move(value));
  }
  ZORVEL_CUSTOM_PROPERTY(email, email, setEmail, email_)
  int emailSets = 0;

  // Validators: trims a name, refuses a negative age.
  bool validateName(Value& value, platform::ErrorPtr* error) {
    (void)error;
    std::string s = value.asString();
    while (!s.empty() && s.back() == ' ') s.pop_back();
    value = Value(s);
    return true;
  }
  ZORVEL_VALIDATOR(name, validateName)
  bool validateAge(Value& value, platform::ErrorPtr* error) {
    if (value.asInt64() >= 0) return true;
    if (error) *error = platform::Error::make("KvcTest", 7);
    return false;
  }
  ZORVEL_VALIDATOR(age, validateAge)

 private:
  std::string email_;
};

TEST(KeyValueCoding, ReadsAndWritesEveryPropertyKindBoxed) {
  auto person = platform::make<KvcPerson>();
  auto address = platform::make<KvcAddress>();
  struct Case {
    const char* key;
    Value value;
  };
  const std::vector<Case> cases = {
      {"name", Value("Ada")},      {"nickname", Value("ada")},
      {"age", Value(36)},          {"height", Value(1.7)},
      {"active", Value(true)},     {"born", Value(platform::Date(1000))},
      {"address", Value(address)}, {"info", Value::dictionary({{"k", Value(1)}})},
  };
  for (const Case& c : cases) {
    person->setValueForKey(c.value, c.key);
    EXPECT_EQ(person->valueForKey(c.key), c.value) << c.key;
  }
  EXPECT_EQ(person->name(), "Ada");
  EXPECT_EQ(person->age(), 36);
  EXPECT_TRUE(person->isActive());
  EXPECT_EQ(person->address(), address);
  EXPECT_TRUE(person->valueForKey("age").isInteger());  // scalars come back as numbers
  EXPECT_EQ(person->valueForKey("greeting"), Value("hi Ada"));

  // Numbers are converted to the property's kind; strings read as numbers like the platform's.
  person->setValueForKey(Value(41.9), "age");
  EXPECT_EQ(person->age(), 41);
  person->setValueForKey(Value("52"), "age");
  EXPECT_EQ(person->age(), 52);
}

TEST(KeyValueCoding, NilGoesToObjectsAndIsRefusedForScalars) {
  auto person = platform::make<KvcPerson>();
  person->setNickname("n");
  person->setValueForKey(Value(), "nickname");
  EXPECT_EQ(person->nickname(), std::nullopt);
  EXPECT_TRUE(person->valueForKey("nickname").isNil());
  person->setAddress(platform::make<KvcAddress>());
  person->setValueForKey(Value(), "address");
  EXPECT_EQ(person->address(), nullptr);

  auto e = raised([&] { person->setValueForKey(Value(), "age"); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "NSInvalidArgumentException");
  EXPECT_THAT(e->reason(),
              testing::MatchesRegex("\\[<KvcPerson 0x[0-9a-f]+> setNilValueForKey\\]: could not set nil as the "
                                    "value for the key age\\."));
}

TEST(KeyValueCoding, ValuesOfTheWrongKindRaiseInsteadOfCorrupting) {
  auto person = platform::make<KvcPerson>();
  for (const char* key : {"name", "address", "age", "born"}) {
    auto e = raised([&] { person->setValueForKey(Value::array({Value(1)}), key); });
    ASSERT_TRUE(e) << key;
    EXPECT_EQ(e->name(), "NSInvalidArgumentException") << key;
  }
  auto e = raised([&] { person->setValueForKey(Value(platform::make<KvcPerson>()), "address"); });
  ASSERT_TRUE(e);
}

TEST(KeyValueCoding, UnknownKeysRaiseWithThePlatformText) {
  auto person = platform::make<KvcPerson>();
  struct Case {
    std::function<void()> call;
    const char* method;
  };
  const Case cases[] = {
      {[&] { person->valueForKey("missing"); }, "valueForUndefinedKey:"},
      {[&] { person->setValueForKey(Value(1), "missing"); }, "setValue:forUndefinedKey:"},
      {[&] { person->setValueForKey(Value("x"), "greeting"); }, "setValue:forUndefinedKey:"},  // computed
      {[&] { person->valueForKeyPath("address.missing"); }, nullptr},
  };
  person->setAddress(platform::make<KvcAddress>());
  for (const Case& c : cases) {
    auto e = raised(c.call);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->name(), "NSUnknownKeyException");
    if (c.method) {
      EXPECT_THAT(e->reason(), testing::MatchesRegex(std::string("\\[<KvcPerson 0x[0-9a-f]+> ") + c.method +
                                                     "\\]: this class is not key value coding-compliant for the key "
                                                     "(missing|greeting)\\."));
      EXPECT_EQ(e->userInfo()["NSTargetObjectUserInfoKey"].asObject(), person);
    } else {
      EXPECT_THAT(e->reason(), testing::StartsWith("[<KvcAddress 0x"));
      EXPECT_EQ(e->userInfo()["NSUnknownUserInfoKey"], Value("missing"));
    }
  }
}

TEST(KeyValueCoding, WritesReadOnlyStorageAndGoesThroughHandWrittenSetters) {
  auto person = platform::make<KvcPerson>();
  person->setValueForKey(Value("1234"), "uuid");
  EXPECT_EQ(person->uuid(), "1234");
  person->setValueForKey(Value("Ada@Example.org"), "email");
  EXPECT_EQ(person->email(), "ada@example.org");
  EXPECT_EQ(person->emailSets, 1);
}

TEST(KeyValueCoding, FollowsKeyPathsAcrossObjectsAndDictionaries) {
  auto person = platform::make<KvcPerson>();
  EXPECT_TRUE(person->valueForKeyPath("address.city").isNil());  // nil intermediate
  person->setValueForKeyPath(Value("Paris"), "address.city");    // nothing to write into
  auto address = platform::make<KvcAddress>();
  person->setAddress(address);
  person->setValueForKeyPath(Value("Paris"), "address.city");
  EXPECT_EQ(address->city(), "Paris");
  EXPECT_EQ(person->valueForKeyPath("address.city"), Value("Paris"));

  auto other = platform::make<KvcPerson>();
  other->setFriend(person);
  EXPECT_EQ(other->valueForKeyPath("friend_.address.city"), Value("Paris"));

  person->setInfo(platform::ValueDictionary{{"inner", Value::dictionary({{"x", Value(5)}})}});
  EXPECT_EQ(person->valueForKeyPath("info.inner.x"), Value(5));
  EXPECT_TRUE(person->valueForKeyPath("info.absent.x").isNil());
  EXPECT_EQ(platform::valueForKeyPathOfValue(Value::array({Value(person), Value(other)}), "address.city"),
            Value::array({Value("Paris"), Value::null()}));
}

TEST(KeyValueCoding, DictionariesUseTheNullMarkerForNil) {
  auto person = platform::make<KvcPerson>();
  person->setName("Ada");
  platform::ValueDictionary values = person->dictionaryWithValuesForKeys({"name", "nickname", "address", "age"});
  EXPECT_EQ(values.keys(), (std::vector<std::string>{"name", "nickname", "address", "age"}));
  EXPECT_EQ(*values.find("name"), Value("Ada"));
  EXPECT_TRUE(values.find("nickname")->isNull());
  EXPECT_TRUE(values.find("address")->isNull());
  EXPECT_EQ(*values.find("age"), Value(0));

  auto copy = platform::make<KvcPerson>();
  copy->setNickname("old");
  copy->setValuesForKeysWithDictionary(values);
  EXPECT_EQ(copy->name(), "Ada");
  EXPECT_EQ(copy->nickname(), std::nullopt);

  auto e = raised([&] { copy->setValuesForKeysWithDictionary(platform::ValueDictionary{{"nope", Value(1)}}); });
  ASSERT_TRUE(e);
  EXPECT_EQ(e->name(), "NSUnknownKeyException");
}

TEST(KeyValueCoding, ValidationRoutesToPerKeyValidators) {
  auto person = platform::make<KvcPerson>();
  Value name("Ada   ");
  EXPECT_TRUE(person->validateValueForKey(name, "name"));
  EXPECT_EQ(name, Value("Ada"));  // replaced by the validator

  Value age(-1);
  platform::ErrorPtr error;
  EXPECT_FALSE(person->validateValueForKey(age, "age", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->domain(), "KvcTest");
  EXPECT_EQ(error->code(), 7);
  EXPECT_FALSE(person->validateValueForKey(age, "age"));  // without an error out-parameter

  Value anything("x");
  EXPECT_TRUE(person->validateValueForKey(anything, "nickname"));  // no validator
  EXPECT_TRUE(person->validateValueForKey(anything, "notAKey"));
  EXPECT_EQ(anything, Value("x"));
}

}  // namespace
