// Dependent keys: observers of a computed key hear of changes of the key paths it is made from.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/methods.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"

namespace {

using platform::KeyValueChange;
using platform::KeyValueChangeKind;
using platform::Value;
using platform::ValueSet;

class DepPerson : public platform::Object {
  ZORVEL_CLASS(DepPerson, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, firstName, setFirstName)
  ZORVEL_PROPERTY(std::string, lastName, setLastName)
  ZORVEL_PROPERTY(std::string, title, setTitle)
  ZORVEL_PROPERTY(std::shared_ptr<DepPerson>, partner, setPartner)
  ZORVEL_PROPERTY(platform::ValueArray, tags, setTags)

  std::string fullName() const { return firstName() + " " + lastName(); }
  ZORVEL_COMPUTED_PROPERTY(fullName, fullName)
  static ValueSet keyPathsForValuesAffectingFullName() { return {Value("firstName"), Value("lastName")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingFullName", keyPathsForValuesAffectingFullName)

  // Depends on another computed key: the dependency is followed through it.
  std::string heading() const { return title() + " " + fullName(); }
  ZORVEL_COMPUTED_PROPERTY(heading, heading)
  static platform::ValueArray keyPathsForValuesAffectingHeading() { return {Value("title"), Value("fullName")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingHeading", keyPathsForValuesAffectingHeading)

  // Depends on a key of another object.
  std::string partnerName() const { return partner() ? partner()->firstName() : std::string("-"); }
  ZORVEL_COMPUTED_PROPERTY(partnerName, partnerName)
  static ValueSet keyPathsForValuesAffectingPartnerName() { return {Value("partner.firstName")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingPartnerName", keyPathsForValuesAffectingPartnerName)

  std::int64_t tagCount() const { return static_cast<std::int64_t>(tags().size()); }
  ZORVEL_COMPUTED_PROPERTY(tagCount, tagCount)
  static ValueSet keyPathsForValuesAffectingTagCount() { return {Value("tags")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingTagCount", keyPathsForValuesAffectingTagCount)

  void appendTag(Value tag) {
    std::size_t index = tags_.size();
    willChange(KeyValueChangeKind::Insertion, {index}, "tags");
    tags_.push_back(std::move(tag));
    didChange(KeyValueChangeKind::Insertion, {index}, "tags");
  }
};

// Overrides the general form: every key starting with "shout" depends on "title", besides what
// the inherited answer gives.
class DepLoudPerson : public DepPerson {
  ZORVEL_CLASS(DepLoudPerson, DepPerson)
 public:
  std::string shoutTitle() const { return title() + "!"; }
  ZORVEL_COMPUTED_PROPERTY(shoutTitle, shoutTitle)

 private:
  static bool declareGeneralForm() {
    staticClass().addClassMethod(std::string(platform::kKeyPathsForValuesAffectingValueForKeySelector),
                                 [](const platform::Class& cls, const std::vector<Value>& args) -> Value {
                                   Value inherited = staticClass().superclass()->classMethodForSelector(
                                       platform::kKeyPathsForValuesAffectingValueForKeySelector)(cls, args);
                                   ValueSet paths = inherited.isNil() ? ValueSet() : inherited.asSet();
                                   if (args[0].asString().starts_with("shout")) paths.insert(Value("title"));
                                   return Value(std::move(paths));
                                 });
    return true;
  }
  static inline const bool declared_ = declareGeneralForm();
};

// Two keys that each declare the other: registration must end.
class DepCycle : public platform::Object {
  ZORVEL_CLASS(DepCycle, platform::Object)
 public:
  ZORVEL_PROPERTY(std::int64_t, a, setA)
  ZORVEL_PROPERTY(std::int64_t, b, setB)
  ZORVEL_PROPERTY(std::shared_ptr<DepCycle>, other, setOther)
  static ValueSet keyPathsForValuesAffectingA() { return {Value("b"), Value("other.b")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingA", keyPathsForValuesAffectingA)
  static ValueSet keyPathsForValuesAffectingB() { return {Value("a"), Value("other.a")}; }
  ZORVEL_CLASS_METHOD("keyPathsForValuesAffectingB", keyPathsForValuesAffectingB)
};

class Recorder : public platform::KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, platform::Object&, const KeyValueChange& change,
                              void*) override {
    std::lock_guard lock(mutex_);
    std::string s = std::string(keyPath) + (change.isPrior ? " prior" : "");
    s += " kind=" + std::to_string(static_cast<int>(change.kind));
    if (!change.oldValue.isNil()) s += " old=" + change.oldValue.description();
    if (!change.newValue.isNil()) s += " new=" + change.newValue.description();
    records_.push_back(std::move(s));
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(records_, {});
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return records_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> records_;
};

constexpr unsigned kNewOld = platform::ObserveNew | platform::ObserveOld;

std::vector<std::string> pathsOf(const platform::Class& cls, std::string_view key) {
  std::vector<std::string> out;
  for (const Value& v : platform::keyPathsForValuesAffectingValueForKey(cls, key)) out.push_back(v.asString());
  return out;
}

TEST(DependentKeys, ClassesAnswerThroughEitherFormAndOverridesKeepTheInheritedAnswer) {
  const platform::Class& person = DepPerson::staticClass();
  const platform::Class& loud = DepLoudPerson::staticClass();
  EXPECT_THAT(pathsOf(person, "fullName"), testing::ElementsAre("firstName", "lastName"));
  EXPECT_THAT(pathsOf(person, "heading"), testing::ElementsAre("title", "fullName"));  // an array answer
  EXPECT_THAT(pathsOf(person, "firstName"), testing::IsEmpty());
  EXPECT_THAT(pathsOf(person, "shoutTitle"), testing::IsEmpty());
  // The subclass's general form sees its own keys and, through the inherited answer, the
  // per-key class methods, which look the method up on the asking class.
  EXPECT_THAT(pathsOf(loud, "shoutTitle"), testing::ElementsAre("title"));
  EXPECT_THAT(pathsOf(loud, "fullName"), testing::ElementsAre("firstName", "lastName"));
  EXPECT_THAT(pathsOf(platform::Object::staticClass(), "anything"), testing::IsEmpty());
}

TEST(DependentKeys, ObserversOfAComputedKeyHearItsInputsChange) {
  auto person = platform::make<DepPerson>();
  person->setFirstName("Ada");
  person->setLastName("Byron");
  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "fullName", kNewOld | platform::ObservePrior);
  person->setFirstName("Augusta");
  person->setLastName("King");
  person->setTitle("Countess");  // not an input of fullName
  EXPECT_THAT(recorder->take(), testing::ElementsAre("fullName prior kind=1 old=Ada Byron",
                                                     "fullName kind=1 old=Ada Byron new=Augusta Byron",
                                                     "fullName prior kind=1 old=Augusta Byron",
                                                     "fullName kind=1 old=Augusta Byron new=Augusta King"));

  person->removeObserver(recorder.get(), "fullName");
  person->setFirstName("A.");
  EXPECT_EQ(recorder->size(), 0u);
}

TEST(DependentKeys, DependenciesAreFollowedThroughOtherComputedKeys) {
  auto person = platform::make<DepPerson>();
  person->setTitle("Dr");
  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "heading", platform::ObserveNew);
  person->setLastName("Who");  // affects fullName, which affects heading
  person->setTitle("Prof");    // affects heading directly
  EXPECT_THAT(recorder->take(), testing::ElementsAre("heading kind=1 new=Dr  Who", "heading kind=1 new=Prof  Who"));

  // Two observers of the same key each hear a change once.
  auto second = std::make_shared<Recorder>();
  person->addObserver(second, "heading", 0);
  person->setFirstName("X");
  EXPECT_EQ(recorder->size(), 1u);
  EXPECT_EQ(second->size(), 1u);
}

TEST(DependentKeys, DottedInputsFollowReplacedIntermediates) {
  auto person = platform::make<DepPerson>();
  auto first = platform::make<DepPerson>();
  first->setFirstName("Ann");
  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "partnerName", kNewOld);
  person->setPartner(first);
  first->setFirstName("Anna");
  auto second = platform::make<DepPerson>();
  second->setFirstName("Bo");
  person->setPartner(second);
  first->setFirstName("stale");  // no longer the partner: not heard
  second->setFirstName("Bob");
  EXPECT_THAT(recorder->take(),
              testing::ElementsAre("partnerName kind=1 old=- new=Ann", "partnerName kind=1 old=Ann new=Anna",
                                   "partnerName kind=1 old=Anna new=Bo", "partnerName kind=1 old=Bo new=Bob"));

  // Removing the observer also stops following the intermediate.
  person->removeObserver(recorder.get(), "partnerName");
  second->setFirstName("Bobby");
  person->setPartner(nullptr);
  EXPECT_EQ(recorder->size(), 0u);
}

// An observer that leaves in the middle of a forwarded change (on its prior notification) ends it
// cleanly: later registrations pair their halves as usual.
class LeavingObserver : public platform::KeyValueObserver {
 public:
  void observeValueForKeyPath(std::string_view keyPath, platform::Object& object, const KeyValueChange& change,
                              void*) override {
    ++calls;
    if (change.isPrior) object.removeObserver(this, keyPath);
  }
  int calls = 0;
};

TEST(DependentKeys, LeavingDuringAForwardedChangeLeavesNothingHalfDone) {
  auto person = platform::make<DepPerson>();
  auto partner = platform::make<DepPerson>();
  person->setPartner(partner);
  auto leaving = std::make_shared<LeavingObserver>();
  person->addObserver(leaving, "partnerName", platform::ObservePrior);
  partner->setFirstName("Ed");
  EXPECT_EQ(leaving->calls, 1);  // the prior only

  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "partnerName", kNewOld | platform::ObservePrior);
  partner->setFirstName("Eddie");
  EXPECT_THAT(recorder->take(),
              testing::ElementsAre("partnerName prior kind=1 old=Ed", "partnerName kind=1 old=Ed new=Eddie"));
  EXPECT_EQ(leaving->calls, 1);
  person->removeObserver(recorder.get(), "partnerName");
}

TEST(DependentKeys, DependentKeysWorkAsPartsOfObservedPaths) {
  auto person = platform::make<DepPerson>();
  auto partner = platform::make<DepPerson>();
  person->setPartner(partner);
  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "partner.fullName", platform::ObserveNew);
  partner->setFirstName("Cy");
  auto next = platform::make<DepPerson>();
  person->setPartner(next);
  partner->setLastName("stale");
  next->setLastName("Dee");
  EXPECT_THAT(recorder->take(), testing::ElementsAre("partner.fullName kind=1 new=Cy ", "partner.fullName kind=1 new= ",
                                                     "partner.fullName kind=1 new= Dee"));
}

TEST(DependentKeys, AnIndexedChangeOfAnInputIsASettingOfTheDependentKey) {
  auto person = platform::make<DepPerson>();
  auto recorder = std::make_shared<Recorder>();
  person->addObserver(recorder, "tagCount", kNewOld);
  person->addObserver(recorder, "tags", platform::ObserveNew);
  person->appendTag(Value("x"));
  EXPECT_THAT(recorder->take(), testing::ElementsAre("tagCount kind=1 old=0 new=1", "tags kind=2 new=(\n    x\n)"));
}

// Declarations that lead back to themselves (also across objects) register in finite time; a
// change reached along several paths may be heard once per path.
TEST(DependentKeys, CyclicDeclarationsRegisterAndStopWithTheirObserver) {
  auto one = platform::make<DepCycle>();
  auto two = platform::make<DepCycle>();
  one->setOther(two);
  two->setOther(one);
  auto recorder = std::make_shared<Recorder>();
  one->addObserver(recorder, "a", platform::ObserveNew);
  one->setB(5);  // b affects a
  EXPECT_THAT(recorder->take(), testing::Contains("a kind=1 new=0"));
  two->setA(7);  // other.a affects b, which affects a
  EXPECT_THAT(recorder->take(), testing::Contains("a kind=1 new=0"));
  one->removeObserver(recorder.get(), "a");
  one->setB(6);
  two->setA(8);
  EXPECT_EQ(recorder->size(), 0u);
  one->setOther(nullptr);  // break the ownership cycle
}

TEST(DependentKeys, ObservedObjectsThatGoAwayTakeTheirForwardersWithThem) {
  auto recorder = std::make_shared<Recorder>();
  std::weak_ptr<DepPerson> gone;
  auto partner = platform::make<DepPerson>();
  {
    auto person = platform::make<DepPerson>();
    person->setPartner(partner);
    person->addObserver(recorder, "partnerName", 0);
    gone = person;
  }
  EXPECT_TRUE(gone.expired());
  partner->setFirstName("after");
  EXPECT_EQ(recorder->size(), 0u);
}

// Each writer owns its object (accessors are non-atomic); registrations come and go meanwhile.
TEST(DependentKeys, ConcurrentChangesAndRegistrationsAreSafe) {
  constexpr int kWriters = 3, kSets = 200;
  std::vector<std::shared_ptr<DepPerson>> people;
  std::vector<std::shared_ptr<DepPerson>> partners;
  for (int i = 0; i < kWriters; ++i) {
    people.push_back(platform::make<DepPerson>());
    partners.push_back(platform::make<DepPerson>());
    people.back()->setPartner(partners.back());
  }
  auto steady = std::make_shared<Recorder>();
  for (auto& p : people) p->addObserver(steady, "partnerName", 0);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    auto transient = std::make_shared<Recorder>();
    while (!stop.load()) {
      for (auto& p : people) p->addObserver(transient, "heading", 0);
      for (auto& p : people) p->removeObserver(transient.get(), "heading");
    }
  });
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      for (int n = 0; n < kSets; ++n) {
        partners[i]->setFirstName(std::to_string(n));
        people[i]->setLastName(std::to_string(n));
      }
    });
  }
  for (auto& t : writers) t.join();
  stop = true;
  churn.join();
  EXPECT_EQ(steady->size(), static_cast<std::size_t>(kWriters * kSets));
}

}  // namespace
