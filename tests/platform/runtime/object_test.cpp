#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace {

using platform::Class;
using platform::Object;
using platform::Value;

class ObjAnimal : public Object {
  ZORVEL_CLASS(ObjAnimal, platform::Object)
 public:
  virtual std::string sound() const { return "..."; }
  int legs = 4;
};

class ObjDog : public ObjAnimal {
  ZORVEL_CLASS(ObjDog, ObjAnimal)
 public:
  ~ObjDog() override {
    if (destroyedFlag) *destroyedFlag = true;
  }
  std::string sound() const override { return "woof"; }
  std::string description() const override { return "<dog " + name + ">"; }
  platform::ObjectPtr copy() const override {
    auto dog = platform::make<ObjDog>();
    dog->name = name;
    return dog;
  }
  std::string name = "rex";
  bool* destroyedFlag = nullptr;
};

// No default constructor: registered without a factory.
class ObjNamed : public Object {
  ZORVEL_CLASS(ObjNamed, platform::Object)
 public:
  explicit ObjNamed(std::string n) : name(std::move(n)) {}
  std::string name;
};

// Private constructor: still made through platform::make.
class ObjPrivate : public Object {
  ZORVEL_CLASS(ObjPrivate, platform::Object)
  ObjPrivate() = default;
};

template <class F>
std::string raisedName(F&& f) {
  try {
    f();
  } catch (const platform::Exception& e) {
    return e.name();
  }
  return "";
}

TEST(ObjectClass, RegistersByNameWithSuperclassChain) {
  const Class* dog = Class::named("ObjDog");
  ASSERT_NE(dog, nullptr);
  EXPECT_EQ(dog, &ObjDog::staticClass());
  EXPECT_EQ(dog->superclass(), &ObjAnimal::staticClass());
  EXPECT_EQ(dog->superclass()->superclass(), &Object::staticClass());
  EXPECT_TRUE(dog->isSubclassOf(ObjAnimal::staticClass()));
  EXPECT_FALSE(ObjAnimal::staticClass().isSubclassOf(*dog));
  EXPECT_EQ(Class::named("NoSuchClassAnywhere"), nullptr);

  auto all = Class::allClasses();
  EXPECT_THAT(all, testing::Contains(dog));
  EXPECT_THAT(all, testing::Contains(&ObjNamed::staticClass()));
}

TEST(ObjectClass, KindAndMembershipFollowTheMostDerivedClass) {
  auto dog = platform::make<ObjDog>();
  const Object& asObject = *dog;
  EXPECT_EQ(&asObject.objectClass(), &ObjDog::staticClass());
  EXPECT_TRUE(asObject.isKindOf(ObjAnimal::staticClass()));
  EXPECT_TRUE(asObject.isKindOf(Object::staticClass()));
  EXPECT_TRUE(asObject.isMemberOf(ObjDog::staticClass()));
  EXPECT_FALSE(asObject.isMemberOf(ObjAnimal::staticClass()));
}

TEST(ObjectClass, MakesInstancesByNameOnlyWhenDefaultConstructible) {
  platform::ObjectPtr made = Class::named("ObjDog")->makeInstance();
  ASSERT_NE(made, nullptr);
  EXPECT_TRUE(made->isMemberOf(ObjDog::staticClass()));
  EXPECT_EQ(Class::named("ObjNamed")->makeInstance(), nullptr);
  ASSERT_NE(Class::named("ObjPrivate")->makeInstance(), nullptr);
  EXPECT_NE(platform::make<ObjNamed>("a"), nullptr);
}

TEST(ObjectClass, BuiltInValueClassesAreKnownByName) {
  ASSERT_NE(Class::named("Object"), nullptr);
  for (const char* name : {"NSString", "NSNumber", "NSDate", "NSData", "NSArray", "NSDictionary", "NSSet", "NSNull"}) {
    const Class* cls = Class::named(name);
    ASSERT_NE(cls, nullptr) << name;
    EXPECT_EQ(cls->makeInstance(), nullptr) << name;
  }
  EXPECT_EQ(&platform::classOfValue(Value("x")), Class::named("NSString"));
  EXPECT_EQ(&platform::classOfValue(Value(3)), Class::named("NSNumber"));
  EXPECT_EQ(&platform::classOfValue(Value(platform::make<ObjDog>())), &ObjDog::staticClass());
}

TEST(ObjectBasics, DescriptionEqualityHashAndCopy) {
  auto animal = platform::make<ObjAnimal>();
  EXPECT_THAT(animal->description(), testing::MatchesRegex("<ObjAnimal: 0x[0-9a-f]+>"));
  auto other = platform::make<ObjAnimal>();
  EXPECT_TRUE(animal->isEqual(*animal));
  EXPECT_FALSE(animal->isEqual(*other));
  EXPECT_EQ(animal->hash(), animal->hash());

  EXPECT_EQ(raisedName([&] { animal->copy(); }), "NSInvalidArgumentException");
  auto dog = platform::make<ObjDog>();
  dog->name = "fido";
  auto copied = std::dynamic_pointer_cast<ObjDog>(dog->copy());
  ASSERT_NE(copied, nullptr);
  EXPECT_NE(copied, dog);
  EXPECT_EQ(copied->description(), "<dog fido>");
}

TEST(DeallocHooks, SeeAWholeObjectWhileWeakReferencesAlreadyReadEmpty) {
  bool destroyed = false;
  std::vector<std::string> seen;
  auto dog = platform::make<ObjDog>();
  dog->destroyedFlag = &destroyed;
  std::weak_ptr<ObjDog> weak = dog;
  dog->addDeallocHook([&](Object& object) {
    // Virtual dispatch still reaches the most derived class: no destructor has run yet.
    seen.push_back(static_cast<ObjAnimal&>(object).sound());
    seen.push_back(destroyed ? "destroyed" : "alive");
    seen.push_back(weak.expired() ? "weak-empty" : "weak-live");
    seen.push_back(object.weak_from_this().expired() ? "self-weak-empty" : "self-weak-live");
  });
  dog->addDeallocHook([&](Object&) { seen.push_back("second"); });
  dog.reset();
  EXPECT_THAT(seen, testing::ElementsAre("woof", "alive", "weak-empty", "self-weak-empty", "second"));
  EXPECT_TRUE(destroyed);
}

TEST(DeallocHooks, RemovedHooksDoNotRunAndLateHooksRunAtOnce) {
  std::vector<std::string> seen;
  auto dog = platform::make<ObjDog>();
  auto token = dog->addDeallocHook([&](Object&) { seen.push_back("removed"); });
  dog->addDeallocHook([&](Object& object) {
    seen.push_back("first");
    // Added while deallocating: runs right away, on the still-whole object.
    object.addDeallocHook([&](Object& o) { seen.push_back("late " + static_cast<ObjDog&>(o).name); });
  });
  EXPECT_TRUE(dog->removeDeallocHook(token));
  EXPECT_FALSE(dog->removeDeallocHook(token));
  dog.reset();
  EXPECT_THAT(seen, testing::ElementsAre("first", "late rex"));
}

TEST(DeallocHooks, RefuseObjectsNotMadeByTheFactory) {
  auto unmanaged = std::make_shared<ObjNamed>("x");
  EXPECT_EQ(raisedName([&] { unmanaged->addDeallocHook([](Object&) {}); }), "NSInternalInconsistencyException");
}

// Plain objects are a declared category: each factory takes only its own kind (checked when
// compiling), and a plain object takes no deallocation hooks.
static_assert(platform::isPlainObject<platform::Error>);
static_assert(!platform::isPlainObject<ObjNamed>);

TEST(PlainObjects, AreOrdinaryObjectsWithoutDeallocationHooks) {
  auto error = platform::Error::make("Domain", 3);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->objectClass().name(), "Error");
  EXPECT_EQ(raisedName([&] { error->addDeallocHook([](Object&) {}); }), "NSInternalInconsistencyException");
}

TEST(AssociatedObjects, FollowTheirPolicy) {
  static const char strongKey = 0, weakKey = 0, copyKey = 0, valueKey = 0;
  auto owner = platform::make<ObjAnimal>();
  auto dog = platform::make<ObjDog>();
  std::weak_ptr<ObjDog> watch = dog;

  owner->setAssociatedObject(&weakKey, Value(dog), platform::AssociationPolicy::Weak);
  owner->setAssociatedObject(&copyKey, Value(dog), platform::AssociationPolicy::Copy);
  owner->setAssociatedObject(&valueKey, Value("text"));
  EXPECT_EQ(owner->associatedObject(&weakKey).asObject(), dog);
  EXPECT_NE(owner->associatedObject(&copyKey).asObject(), dog);
  EXPECT_TRUE(owner->associatedObject(&copyKey).asObject()->isMemberOf(ObjDog::staticClass()));
  EXPECT_EQ(owner->associatedObject(&valueKey), Value("text"));
  EXPECT_TRUE(owner->associatedObject(&strongKey).isNil());

  dog.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(owner->associatedObject(&weakKey).isNil());

  auto kept = platform::make<ObjDog>();
  watch = kept;
  owner->setAssociatedObject(&strongKey, Value(kept));
  kept.reset();
  EXPECT_FALSE(watch.expired());  // held by the association
  owner->setAssociatedObject(&strongKey, Value());
  EXPECT_TRUE(watch.expired());

  kept = platform::make<ObjDog>();
  watch = kept;
  owner->setAssociatedObject(&strongKey, Value(kept));
  kept.reset();
  owner.reset();  // associations go with their owner
  EXPECT_TRUE(watch.expired());
}

TEST(AssociatedObjects, RemoveAllClearsEveryKey) {
  static const char a = 0, b = 0;
  auto owner = platform::make<ObjAnimal>();
  owner->setAssociatedObject(&a, Value(1));
  owner->setAssociatedObject(&b, Value(2));
  owner->removeAssociatedObjects();
  EXPECT_TRUE(owner->associatedObject(&a).isNil());
  EXPECT_TRUE(owner->associatedObject(&b).isNil());
}

TEST(ObjectMonitor, IsRecursiveAndExcludesOtherThreads) {
  auto animal = platform::make<ObjAnimal>();
  {
    std::lock_guard outer(animal->monitor());
    std::lock_guard inner(animal->monitor());
  }
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) {
        std::lock_guard lock(animal->monitor());
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 4000);
}

TEST(RuntimeClasses, AreMadeOnceByNameAndGiveInstancesTheirActualClass) {
  const Class* sub = Class::allocateClass("ObjDog_Runtime", ObjDog::staticClass());
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(Class::allocateClass("ObjDog_Runtime", ObjDog::staticClass()), nullptr);
  EXPECT_EQ(Class::named("ObjDog_Runtime"), sub);
  EXPECT_EQ(sub->superclass(), &ObjDog::staticClass());

  platform::ObjectPtr made = sub->makeInstance();
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(&made->actualClass(), sub);
  EXPECT_EQ(&made->objectClass(), &ObjDog::staticClass());  // still states its C++ class

  auto plain = platform::make<ObjDog>();
  EXPECT_EQ(&plain->actualClass(), &ObjDog::staticClass());
  plain->setActualClass(*sub);
  EXPECT_EQ(&plain->actualClass(), sub);
  auto animal = platform::make<ObjAnimal>();
  EXPECT_EQ(raisedName([&] { animal->setActualClass(Class::named("NSString")[0]); }), "NSInvalidArgumentException");
}

TEST(RuntimeClasses, ConcurrentAllocationOfOneNameSucceedsOnce) {
  std::atomic<int> made{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      if (Class::allocateClass("ObjRace_Runtime", ObjAnimal::staticClass())) ++made;
      Class::allClasses();
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 1);
}

}  // namespace
