#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/properties.h"
#include "reactive/RFDeallocating.h"
#include "reactive/RFSubject.h"
#include "reactive/bridges/RFKVOWrapper.h"
#include "reactive/bridges/RFPropertySubscribing.h"
#include "tests/reactive/marbles.h"

class ObservedNode : public platform::Object {
  ZORVEL_CLASS(ObservedNode, platform::Object)
 public:
  ZORVEL_PROPERTY(std::string, name, setName)
  ZORVEL_PROPERTY(std::int64_t, count, setCount)
  ZORVEL_PROPERTY(std::shared_ptr<ObservedNode>, next, setNext)
  ZORVEL_PROPERTY(std::weak_ptr<ObservedNode>, friendNode, setFriendNode)
  ZORVEL_PROPERTY(platform::ValueArray, items, setItems)
};

// A node whose count may be read and written from any thread, as the concurrent test needs: the
// plain properties above are nonatomic.
class SharedCounter : public platform::Object {
  ZORVEL_CLASS(SharedCounter, platform::Object)
 public:
  std::int64_t count() const { return count_.load(std::memory_order_acquire); }
  void setCount(std::int64_t value) {
    willChangeValueForKey("count");
    count_.store(value, std::memory_order_release);
    didChangeValueForKey("count");
  }
  ZORVEL_ACCESSOR_PROPERTY(count, count, setCount)

 private:
  std::atomic<std::int64_t> count_{0};
};

namespace {

using platform::Value;
using Texts = std::vector<std::string>;
using NodePtr = std::shared_ptr<ObservedNode>;

NodePtr node(std::string name) {
  auto n = platform::make<ObservedNode>();
  n->setName(std::move(name));
  return n;
}

TEST(KeyPathStrings, ComponentsAndTheirRemainders) {
  EXPECT_TRUE(rf_keyPathComponents("").empty());
  EXPECT_EQ(rf_keyPathComponents("a"), (Texts{"a"}));
  EXPECT_EQ(rf_keyPathComponents("a.b.c"), (Texts{"a", "b", "c"}));
  EXPECT_EQ(rf_keyPathByDeletingFirstKeyPathComponent("a.b.c"), "b.c");
  EXPECT_EQ(rf_keyPathByDeletingFirstKeyPathComponent("b.c"), "c");
  EXPECT_EQ(rf_keyPathByDeletingFirstKeyPathComponent("a"), std::nullopt);
  EXPECT_EQ(rf_keyPathByDeletingLastKeyPathComponent("a.b.c"), "a.b");
  EXPECT_EQ(rf_keyPathByDeletingLastKeyPathComponent("a"), std::nullopt);
}

TEST(PropertyAttributes, ParsesTheAttributeStringAndReportsWhatItCannot) {
  struct Row {
    const char* attributes;
    bool parsed;
    const char* message;  // what standard error shows ("" for nothing)
    std::function<void(const RFPropertyAttributes&)> check;
  };
  std::vector<Row> rows = {
      {"T@\"NSString\",C,N,V_name", true, "",
       [](const RFPropertyAttributes& a) {
         EXPECT_EQ(a.memoryPolicy, RFPropertyMemoryPolicy::Copy);
         EXPECT_TRUE(a.nonatomic);
         EXPECT_EQ(a.ivar, "_name");
         EXPECT_EQ(a.objectClass, &platform::stringClass());
         EXPECT_EQ(a.type, "@\"NSString\"");
         EXPECT_EQ(a.getter, "name");
         EXPECT_EQ(a.setter, "setName:");
       }},
      {"Tq,R,N", true, "",
       [](const RFPropertyAttributes& a) {
         EXPECT_TRUE(a.readonly);
         EXPECT_EQ(a.setter, "setName:") << "a read-only property still gets the default setter";
       }},
      {"T@,W,&,D,V_x", true, "",
       [](const RFPropertyAttributes& a) {
         EXPECT_TRUE(a.weak);
         EXPECT_TRUE(a.dynamic);
         EXPECT_EQ(a.memoryPolicy, RFPropertyMemoryPolicy::Retain);
         EXPECT_EQ(a.objectClass, nullptr);
       }},
      {"Ti,GisOn,SturnOn:,P", true, "",
       [](const RFPropertyAttributes& a) {
         EXPECT_EQ(a.getter, "isOn");
         EXPECT_EQ(a.setter, "turnOn:");
         EXPECT_TRUE(a.canBeCollected);
       }},
      {"T{Point=dd},N", true, "", [](const RFPropertyAttributes& a) { EXPECT_EQ(a.type, "{Point=dd}"); }},
      {"T@?,C", true, "", [](const RFPropertyAttributes& a) { EXPECT_EQ(a.type, "@?"); }},
      {"Ti,G,N",
       false,
       "ERROR: Found zero length selector name in attribute string \"Ti,G,N\" for property name\n",
       {}},
      {"q,N", false, "ERROR: Expected attribute string \"q,N\" for property name to start with 'T'\n", {}},
      {"T,N", false, "ERROR: Invalid type in attribute string \"T,N\" for property name\n", {}},
      {"T{Point=dd,N",
       false,
       "ERROR: Could not read past type in attribute string \"T{Point=dd,N\" for property name\n",
       {}},
      {"T@\"Foo", false, "ERROR: Could not read class name in attribute string \"T@\"Foo\" for property name\n", {}},
      {"Ti,X",
       true,
       "ERROR: Unrecognized attribute string flag 'X' in attribute string \"Ti,X\" for property name\n",
       {}},
      {"Ti,t,N", true,
       "ERROR: Old-style type encoding is unsupported in attribute string \"Ti,t,N\" for property name\n",
       [](const RFPropertyAttributes& a) { EXPECT_TRUE(a.nonatomic); }},
      {"Ti,Nabc", true, "Warning: Unparsed data \"abc\" in attribute string \"Ti,Nabc\" for property name\n", {}},
  };
  for (const Row& row : rows) {
    testing::internal::CaptureStderr();
    std::unique_ptr<RFPropertyAttributes> parsed = RFPropertyAttributesFromAttributeString(row.attributes, "name");
    std::string message = testing::internal::GetCapturedStderr();
    EXPECT_EQ(parsed != nullptr, row.parsed) << row.attributes;
    EXPECT_EQ(message, row.message) << row.attributes;
    if (parsed && row.check) row.check(*parsed);
  }
  // From a declared property of the runtime.
  auto weak = RFPropertyAttributesFromProperty(ObservedNode::staticClass().property("friendNode"));
  ASSERT_TRUE(weak);
  EXPECT_TRUE(weak->weak);
  EXPECT_EQ(weak->objectClass, &ObservedNode::staticClass());
  testing::internal::CaptureStderr();
  EXPECT_EQ(RFPropertyAttributesFromProperty(nullptr), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ERROR: Could not get attribute string from property (null)\n");
}

// What a key path observation's block received.
struct Calls {
  Texts texts;
  std::vector<Value> changes;
  RFKVOBlock block() {
    return [this](const Value& value, const Value& change, bool dealloc, bool last) {
      texts.push_back(value.description() + (dealloc ? " dealloc" : "") + (last ? " last" : ""));
      changes.push_back(change);
    };
  }
};

TEST(ObserveKeyPath, ReattachesTheRestOfThePathWhenTheFirstComponentChanges) {
  NodePtr root = node("root");
  NodePtr oldA = node("old");
  root->setNext(oldA);
  Calls calls;
  RFDisposablePtr d = rf_observeKeyPath(*root, "next.name", platform::ObserveInitial, nullptr, calls.block());
  EXPECT_EQ(calls.texts, (Texts{"old"}));

  NodePtr newA = node("new");
  root->setNext(newA);
  EXPECT_EQ(calls.texts, (Texts{"old", "new"})) << "the new first component's value, at its change";
  EXPECT_EQ(calls.changes.back()[platform::kKeyValueChangeKindKey], Value(1));

  oldA->setName("ignored");
  EXPECT_EQ(calls.texts.size(), 2u) << "the old first component is no longer observed";
  newA->setName("renamed");
  EXPECT_EQ(calls.texts.back(), "renamed last");

  root->setNext(nullptr);
  EXPECT_EQ(calls.texts.back(), "(null)") << "a nil first component gives nil";

  d->dispose();
  root->setNext(node("after"));
  EXPECT_EQ(calls.texts.size(), 4u);
}

TEST(ObserveKeyPath, PriorCallsComeBeforeTheChangeWithTheOldValue) {
  NodePtr root = node("a");
  Calls calls;
  RFDisposablePtr d = rf_observeKeyPath(*root, "name", platform::ObservePrior, nullptr, calls.block());
  root->setName("b");
  EXPECT_EQ(calls.texts, (Texts{"a last", "b last"}));
  EXPECT_EQ(calls.changes[0][platform::kKeyValueChangeNotificationIsPriorKey], Value(true));
}

TEST(ObserveKeyPath, DeallocationOfAWeakFirstComponentCountsAsAChangeToNil) {
  NodePtr root = node("root");
  NodePtr weakFriend = node("friend");
  root->setFriendNode(weakFriend);
  Calls calls;
  RFDisposablePtr d = rf_observeKeyPath(*root, "friendNode", 0, nullptr, calls.block());
  weakFriend.reset();
  ASSERT_EQ(calls.texts, (Texts{"(null) dealloc last"}));
  EXPECT_EQ(calls.changes[0], Value::dictionary({{"kind", Value(1)}, {"new", Value::null()}}));

  // Not for strongly held properties, nor for a value that is the observer itself.
  NodePtr strong = node("strong");
  root->setNext(strong);
  Calls strongCalls;
  RFDisposablePtr d2 = rf_observeKeyPath(*root, "next", 0, nullptr, strongCalls.block());
  std::weak_ptr<ObservedNode> watched = strong;
  root->setNext(nullptr);
  strong.reset();
  EXPECT_TRUE(watched.expired());
  EXPECT_EQ(strongCalls.texts, (Texts{"(null) last"}));

  NodePtr observer = node("observer");
  root->setFriendNode(observer);
  Calls selfCalls;
  rf_observeKeyPath(*root, "friendNode", 0, observer.get(), selfCalls.block());
  observer.reset();
  EXPECT_TRUE(selfCalls.texts.empty()) << "the observer's own deallocation ends the observation instead";
}

TEST(ObserveKeyPath, TheObservationEndsWithTheReceiverOrTheObserverAndKeepsNeitherAlive) {
  NodePtr root = node("r");
  NodePtr observer = node("o");
  std::weak_ptr<ObservedNode> weakRoot = root, weakObserver = observer;
  Calls calls;
  RFDisposablePtr d = rf_observeKeyPath(*root, "name", 0, observer.get(), calls.block());
  observer.reset();
  EXPECT_TRUE(weakObserver.expired());
  root->setName("after the observer");
  EXPECT_TRUE(calls.texts.empty());
  root.reset();
  EXPECT_TRUE(weakRoot.expired());
  d->dispose();  // after everything is gone: nothing more happens
}

TEST(KVOTrampoline, DisposesOnceAndWithTheTarget) {
  NodePtr target = node("t");
  int calls = 0;
  RFKVOTrampolinePtr trampoline =
      rf_addObserver(*target, nullptr, "next.name", platform::ObserveNew,
                     [&calls](const platform::ObjectPtr&, const platform::ObjectPtr&, const Value&) { ++calls; });
  ASSERT_TRUE(trampoline);
  target->setNext(node("n"));
  target->next()->setName("m");  // the platform follows the whole path
  EXPECT_EQ(calls, 2);
  trampoline->dispose();
  trampoline->dispose();
  target->setName("x");
  target->setNext(nullptr);
  EXPECT_EQ(calls, 2);

  RFKVOTrampolinePtr second = rf_addObserver(*target, nullptr, "name", 0, {});
  target.reset();
  EXPECT_TRUE(second->isDisposed()) << "the target's deallocation disposes it";
  second->dispose();
}

struct Recording {
  Texts texts;
  RFDisposablePtr subscription;
  void record(const RFSignalPtr& signal) {
    subscription = signal->subscribeNext([this](const Value& v) { texts.push_back(marbles::text(v)); }, nullptr,
                                         [this] { texts.push_back("completed"); });
  }
};

TEST(PropertySubscribing, ValuesStartWithTheCurrentOneAndEndWithTheReceiver) {
  NodePtr root = node("a");
  std::weak_ptr<ObservedNode> weakRoot = root;
  Recording r;
  r.record(rf_valuesForKeyPath(*root, "name", nullptr));
  root->setName("b");
  EXPECT_EQ(r.texts, (Texts{"a", "b"}));
  root.reset();
  EXPECT_TRUE(weakRoot.expired()) << "the signal does not keep the receiver";
  EXPECT_EQ(r.texts, (Texts{"a", "b", "completed"}));
}

TEST(PropertySubscribing, TheObserverDeallocationCompletesToo) {
  NodePtr root = node("a");
  NodePtr observer = node("o");
  Recording r;
  r.record(rf_valuesForKeyPath(*root, "name", observer.get()));
  observer.reset();
  root->setName("unseen");
  EXPECT_EQ(r.texts, (Texts{"a", "completed"}));
}

TEST(PropertySubscribing, AFinishedSubscriptionKeepsNothingAlive) {
  NodePtr root = node("a");
  std::weak_ptr<RFSubscriber> weakSubscriber;
  {
    RFSignalPtr values = rf_valuesForKeyPath(*root, "name", nullptr);
    RFSubscriberPtr subscriber = RFSubscriber::subscriberWithNext([](const Value&) {}, nullptr, nullptr);
    weakSubscriber = subscriber;
    values->subscribe(subscriber)->dispose();
  }
  root->setName("b");
  EXPECT_TRUE(weakSubscriber.expired());
}

TEST(PropertySubscribing, ValuesAndChangesCarryTheChangeDictionary) {
  NodePtr root = node("a");
  Recording r;
  std::vector<Value> changes;
  rf_valuesAndChangesForKeyPath(*root, "count", platform::ObserveNew | platform::ObserveOld, nullptr)
      ->subscribeNext([&changes](const Value& v) { changes.push_back(v.as<RFTuple>()->second()); });
  root->setCount(5);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0], Value::dictionary({{"kind", Value(1)}, {"new", Value(5)}, {"old", Value(0)}}));
}

TEST(PropertySubscribing, IndexedChangesOfAToManyKeyCarryTheirKindAndElements) {
  NodePtr root = node("a");
  Texts seen;
  rf_valuesAndChangesForKeyPath(*root, "items", platform::ObserveNew, nullptr)->subscribeNext([&seen](const Value& v) {
    RFTuplePtr pair = v.as<RFTuple>();
    Value change = pair->second();
    seen.push_back(marbles::text(pair->first()) + " kind=" + change["kind"].description() +
                   " new=" + marbles::text(change["new"]));
  });
  auto items = root->mutableArrayValueForKey("items");
  items->addObject(Value("x"));
  items->insertObject(Value("w"), 0);
  items->removeObjectAtIndex(1);
  EXPECT_EQ(seen, (Texts{"[x] kind=2 new=[x]", "[w,x] kind=2 new=[w]", "[w] kind=3 new=(null)"}));
}

TEST(PropertySubscribing, OlderEntryPoints) {
  NodePtr root = node("a");
  Recording changes, values, starting;
  changes.record(rf_signalWithChangesFor(*root, "name", platform::ObserveNew, nullptr)->map([](const Value& change) {
    return change[platform::kKeyValueChangeNewKey];
  }));
  values.record(rf_signalFor(*root, "name", nullptr));
  starting.record(rf_signalWithStartingValueFor(*root, "name", nullptr));
  root->setName("b");
  EXPECT_EQ(changes.texts, (Texts{"b"}));
  EXPECT_EQ(values.texts, (Texts{"b"}));
  EXPECT_EQ(starting.texts, (Texts{"a", "b"}));

  RFSubjectPtr names = RFSubject::subject();
  rf_deriveProperty(*root, "name", names);
  names->sendNext(Value("derived"));
  EXPECT_EQ(root->name(), "derived");
  root.reset();
  EXPECT_EQ(changes.texts.back(), "completed");
  EXPECT_EQ(starting.texts.back(), "completed");
}

TEST(PropertySubscribing, ConcurrentSubscriptionsChangesAndDeallocation) {
  for (int round = 0; round < 20; ++round) {
    auto root = platform::make<SharedCounter>();
    RFSignalPtr values = rf_valuesForKeyPath(*root, "count", nullptr);
    std::atomic<bool> go{false};
    std::atomic<int> seen{0};
    std::thread subscriber([&] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 50; ++i) {
        RFDisposablePtr d = values->subscribeNext([&seen](const Value&) { ++seen; });
        if (d) d->dispose();
      }
    });
    std::thread writer([&, root] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < 200; ++i) root->setCount(i);
    });
    go = true;
    subscriber.join();
    writer.join();
    root.reset();  // deallocates here, with every subscription gone
  }
  SUCCEED();
}

}  // namespace
