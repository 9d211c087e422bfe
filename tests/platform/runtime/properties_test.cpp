#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/runtime/methods.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace {

using platform::Class;
using platform::Property;

class PropBase : public platform::Object {
  ZORVEL_CLASS(PropBase, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::int64_t, count, setCount)
  ZORVEL_READONLY_PROPERTY(std::string, uuid, platform::Copy)

  platform::ObjectPtr copy() const override {
    auto c = platform::make<PropBase>();
    c->setName(name());
    return c;
  }
};

class PropChild : public PropBase {
  ZORVEL_CLASS(PropChild, PropBase)
 public:
  ZORVEL_PROPERTY(platform::Date, date, setDate)
  ZORVEL_PROPERTY(std::weak_ptr<PropBase>, delegate, setDelegate)
  ZORVEL_PROPERTY(platform::Value, payload, setPayload)
  ZORVEL_PROPERTY_WITH_GETTER(bool, hidden, isHidden, setHidden)
  ZORVEL_PROPERTY(std::shared_ptr<PropBase>, parent, setParent)
  ZORVEL_PROPERTY(std::shared_ptr<PropBase>, prototype, setPrototype, platform::Copy)
  ZORVEL_PROPERTY(double, ratio, setRatio)
  ZORVEL_PROPERTY(std::uint8_t, flags, setFlags)
  ZORVEL_PROPERTY(std::int32_t, small, setSmall)
  ZORVEL_PROPERTY(platform::ValueArray, items, setItems)
  ZORVEL_PROPERTY(std::optional<std::string>, nickname, setNickname)
  bool isEmpty() const { return name().empty(); }
  ZORVEL_COMPUTED_PROPERTY(empty, isEmpty)
  std::string url() const { return url_; }
  void setURL(std::string value) { setAndNotify("url", url_, std::move(value)); }
  ZORVEL_CUSTOM_PROPERTY(url, url, setURL, url_, platform::Copy)
  std::string title() const { return "computed"; }
  void assignTitle(std::string) {}
  ZORVEL_ACCESSOR_PROPERTY(title, title, assignTitle, platform::Dynamic)

 private:
  std::string url_;
};

// Redeclares a superclass property read-only and computed.
class PropGrandchild : public PropChild {
  ZORVEL_CLASS(PropGrandchild, PropChild)
 public:
  std::int64_t countOverride() const { return 7; }
  ZORVEL_COMPUTED_PROPERTY(count, countOverride)
  ZORVEL_PROPERTY(std::string, extra, setExtra)
};

// Properties in each section: the declarations keep the section's access for themselves and for
// what follows them. The first getter is named like the namespace the later declarations name.
class PropAccess : public platform::Object {
  ZORVEL_CLASS(PropAccess, platform::Object)
 public:
  ZORVEL_PROPERTY(std::int64_t, platform, setPlatform)
  ZORVEL_PROPERTY(std::string, shown, setShown, platform::Copy)
  int afterShown() const { return 1; }

 protected:
  ZORVEL_PROPERTY(std::int64_t, guarded, setGuarded)
  int afterGuarded() const { return 2; }

 private:
  ZORVEL_PROPERTY(std::string, secret, setSecret, platform::Copy)
  ZORVEL_READONLY_PROPERTY(std::string, token, platform::Copy)
  ZORVEL_COMPUTED_PROPERTY(secretLength, secretLength)
  std::size_t secretLength() const { return secret().size(); }
  int afterSecret() const { return 3; }
};

template <class T>
concept ShowsShown = requires(T& t) {
  t.shown();
  t.setShown(std::string());
  t.afterShown();
  t.platform();
};
template <class T>
concept ShowsGuarded = requires(T& t) {
  t.guarded();
}
|| requires(T& t) { t.afterGuarded(); };
template <class T>
concept ShowsSecret = requires(T& t) {
  t.secret();
}
|| requires(T& t) { t.setSecret(std::string()); }
|| requires(T& t) { t.token(); }
|| requires(T& t) { t.afterSecret(); };
static_assert(ShowsShown<PropAccess>);
static_assert(!ShowsGuarded<PropAccess>, "a protected property made what follows it public");
static_assert(!ShowsSecret<PropAccess>, "a private property made what follows it public");

TEST(DeclaredProperties, InAnySectionAreRegisteredWithTheirAccessors) {
  const char* names[] = {"platform", "shown", "guarded", "secret", "token", "secretLength"};
  for (const char* name : names) EXPECT_NE(PropAccess::staticClass().property(name), nullptr) << name;
  auto object = platform::make<PropAccess>();
  object->setValueForKey(platform::Value(std::string("abc")), "secret");
  EXPECT_EQ(object->valueForKey("secret"), platform::Value(std::string("abc")));
  EXPECT_EQ(object->valueForKey("secretLength").asInt64(), 3);
  object->setPlatform(2);
  EXPECT_EQ(object->valueForKey("platform").asInt64(), 2);
}

std::vector<std::string> names(const std::vector<const Property*>& properties) {
  std::vector<std::string> out;
  for (const Property* p : properties) out.push_back(p->name());
  return out;
}

TEST(DeclaredProperties, CarryThePlatformAttributeStrings) {
  struct Case {
    const char* name;
    const char* attributes;
  };
  const Case cases[] = {
      {"name", "T@\"NSString\",C,N,V_name"},
      {"count", "Tq,N,V_count"},
      {"uuid", "T@\"NSString\",R,C,N,V_uuid"},
      {"date", "T@\"NSDate\",&,N,V_date"},
      {"delegate", "T@\"PropBase\",W,N,V_delegate"},
      {"payload", "T@,&,N,V_payload"},
      {"hidden", "TB,N,GisHidden,V_hidden"},
      {"parent", "T@\"PropBase\",&,N,V_parent"},
      {"prototype", "T@\"PropBase\",C,N,V_prototype"},
      {"ratio", "Td,N,V_ratio"},
      {"flags", "TC,N,V_flags"},
      {"small", "Ti,N,V_small"},
      {"items", "T@\"NSArray\",&,N,V_items"},
      {"nickname", "T@\"NSString\",&,N,V_nickname"},
      {"empty", "TB,R,N,GisEmpty"},
      {"url", "T@\"NSString\",C,N,SsetURL:,V_url"},
      {"title", "T@\"NSString\",&,D,N,SassignTitle:"},
  };
  for (const Case& c : cases) {
    const Property* p = PropChild::staticClass().property(c.name);
    ASSERT_NE(p, nullptr) << c.name;
    EXPECT_EQ(p->attributeString(), c.attributes) << c.name;
  }
}

TEST(DeclaredProperties, DescribeNamesTypesAndAccessors) {
  const Class& cls = PropChild::staticClass();
  const Property* hidden = cls.property("hidden");
  EXPECT_EQ(hidden->getterName(), "isHidden");
  EXPECT_EQ(hidden->setterName(), "setHidden:");
  EXPECT_EQ(hidden->ivarName(), "_hidden");
  EXPECT_TRUE(hidden->isScalar());

  const Property* uuid = cls.property("uuid");
  EXPECT_TRUE(uuid->isReadOnly());
  EXPECT_TRUE(uuid->hasStorage());
  EXPECT_FALSE(uuid->hasSetter());
  EXPECT_EQ(uuid->setterName(), "setUuid:");  // the default even without a setter
  EXPECT_EQ(uuid->declaringClass(), &PropBase::staticClass());

  const Property* delegate = cls.property("delegate");
  EXPECT_TRUE(delegate->isWeak());
  EXPECT_EQ(delegate->objectClassName(), "PropBase");
  EXPECT_EQ(Class::named(delegate->objectClassName()), &PropBase::staticClass());
  EXPECT_EQ(Class::named(cls.property("name")->objectClassName()), Class::named("NSString"));
  EXPECT_EQ(cls.property("payload")->objectClassName(), "");

  const Property* empty = cls.property("empty");
  EXPECT_FALSE(empty->hasStorage());
  EXPECT_TRUE(empty->ivarName().empty());
  EXPECT_EQ(cls.property("nothing"), nullptr);
}

TEST(DeclaredProperties, EnumerateOwnThenInheritedInDeclarationOrder) {
  EXPECT_THAT(names(PropBase::staticClass().ownProperties()), testing::ElementsAre("name", "count", "uuid"));
  EXPECT_THAT(names(PropGrandchild::staticClass().ownProperties()), testing::ElementsAre("count", "extra"));
  // Each name once, the nearest declaration winning, subclass first.
  EXPECT_THAT(
      names(PropGrandchild::staticClass().properties()),
      testing::ElementsAre("count", "extra", "date", "delegate", "payload", "hidden", "parent", "prototype", "ratio",
                           "flags", "small", "items", "nickname", "empty", "url", "title", "name", "uuid"));
  const Property* count = PropGrandchild::staticClass().property("count");
  EXPECT_EQ(count->declaringClass(), &PropGrandchild::staticClass());
  EXPECT_TRUE(count->isReadOnly());
  EXPECT_EQ(PropChild::staticClass().property("count")->declaringClass(), &PropBase::staticClass());
}

TEST(DeclaredProperties, GeneratedAccessorsStoreCopiesAndWeakReferences) {
  auto child = platform::make<PropChild>();
  auto base = platform::make<PropBase>();
  base->setName("original");
  child->setPrototype(base);
  ASSERT_NE(child->prototype(), nullptr);
  EXPECT_NE(child->prototype(), base);  // copy attribute
  child->setDelegate(base);
  EXPECT_EQ(child->delegate(), base);
  base.reset();
  EXPECT_EQ(child->delegate(), nullptr);  // weak
}

TEST(DeclaredProperties, AccessorsAnswerAsMethodsByName) {
  const Class& cls = PropChild::staticClass();
  for (const char* selector : {"isHidden", "setHidden:", "uuid", "name", "setName:", "setURL:", "isEmpty"})
    EXPECT_TRUE(cls.instancesRespondToSelector(selector)) << selector;
  for (const char* selector : {"hidden", "setUuid:", "setEmpty:", "setUrl:"})
    EXPECT_FALSE(cls.instancesRespondToSelector(selector)) << selector;
  auto child = platform::make<PropChild>();
  child->perform("setName:", {platform::Value("via method")});
  EXPECT_EQ(child->perform("name"), platform::Value("via method"));
}

}  // namespace
