#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/methods.h"
#include "reactive/RFEvent.h"
#include "reactive/bridges/RFSelectorSignal.h"
#include "tests/reactive/marbles.h"

class SelectorTarget : public platform::Object {
  ZORVEL_CLASS(SelectorTarget, platform::Object)
 public:
  void didTap(std::string where, std::int64_t count) {
    std::lock_guard lock(logLock);
    log.push_back("tap " + where + " " + std::to_string(count));
  }
  ZORVEL_METHOD("didTap:count:", didTap)
  std::int64_t twice(std::int64_t value) { return value * 2; }
  ZORVEL_METHOD("twice:", twice)
  std::mutex logLock;
  std::vector<std::string> log;
};

class SelectorDelegate : public platform::Object {
  ZORVEL_CLASS(SelectorDelegate, platform::Object)
 public:
  bool shouldClose(platform::Value sender) {
    calls.push_back("shouldClose");
    (void)sender;
    return false;
  }
  ZORVEL_METHOD("viewShouldClose:", shouldClose)
  std::vector<std::string> calls;
};

namespace {

using platform::Value;
using Texts = std::vector<std::string>;

const platform::Protocol& viewDelegateProtocol() {
  return platform::Protocol::declare("SelectorViewDelegate", {{"viewShouldClose:", true, {"B", {"@"}}},
                                                              {"view:didScroll:", false, {"v", {"@", "q"}}}});
}

TEST(SelectorSignal, SendsTheArgumentsAfterThePriorImplementationRan) {
  auto target = platform::make<SelectorTarget>();
  auto other = platform::make<SelectorTarget>();
  Texts seen;
  rf_signalForSelector(*target, "didTap:count:")->subscribeNext([&](const Value& v) {
    seen.push_back(marbles::text(v) + " after " + std::to_string(target->log.size()) + " runs");
  });
  target->perform("didTap:count:", {Value("here"), Value(2)});
  other->perform("didTap:count:", {Value("there"), Value(1)});
  EXPECT_EQ(seen, (Texts{"(here,2) after 1 runs"}));
  EXPECT_EQ(target->log, (Texts{"tap here 2"}));
  EXPECT_EQ(other->log, (Texts{"tap there 1"})) << "another object of the class behaves as before";
  EXPECT_EQ(target->perform("twice:", {Value(4)}), Value(8)) << "other methods are untouched";

  EXPECT_EQ(&target->objectClass(), &SelectorTarget::staticClass()) << "the object states its old class";
  EXPECT_EQ(target->actualClass().name(), "SelectorTarget_RFSelectorSignal");
  EXPECT_EQ(&other->actualClass(), &SelectorTarget::staticClass());
  EXPECT_EQ(rf_signalForSelector(*target, "didTap:count:").get(), rf_signalForSelector(*target, "didTap:count:").get());
}

TEST(SelectorSignal, MethodsTheClassLacksAreAddedForTheObjectsWithASignal) {
  auto target = platform::make<SelectorTarget>();
  auto sibling = platform::make<SelectorTarget>();
  Texts seen;
  rf_signalForSelector(*target, "moved:to:")->subscribeNext([&seen](const Value& v) {
    RFTuplePtr tuple = v.as<RFTuple>();
    seen.push_back(std::to_string(tuple->count()) + " " + marbles::text(v) +
                   (RFTupleNil::isTupleNil(tuple->backingArray()[0]) ? " (nil marker)" : ""));
  });
  rf_signalForSelector(*sibling, "somethingElse");  // the sibling shares the run-time class
  ASSERT_EQ(&sibling->actualClass(), &target->actualClass());

  EXPECT_TRUE(target->respondsToSelector("moved:to:"));
  EXPECT_FALSE(sibling->respondsToSelector("moved:to:")) << "only objects with a signal answer yes";
  EXPECT_TRUE(sibling->respondsToSelector("didTap:count:"));
  EXPECT_EQ(target->actualClass().methodSignatureForSelector("moved:to:"),
            (platform::MethodSignature{"v", {"@", "@"}}));

  target->perform("moved:to:", {Value(), Value(3)});
  EXPECT_EQ(seen, (Texts{"2 ((null),3) (nil marker)"}));
  EXPECT_THROW(sibling->perform("moved:to:", {Value(1), Value(2)}), platform::Exception)
      << "an unrecognized selector elsewhere";
}

TEST(SelectorSignal, CompletesWhenTheObjectGoesAndDoesNotKeepIt) {
  auto target = platform::make<SelectorTarget>();
  std::weak_ptr<SelectorTarget> weak = target;
  bool completed = false;
  rf_signalForSelector(*target, "didTap:count:")->subscribeCompleted([&completed] { completed = true; });
  target.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(completed);
}

TEST(SelectorSignal, AClassReplacedBySomeoneElseIsPatchedInPlace) {
  const platform::Class* replacement =
      platform::Class::allocateClass("SelectorTargetReplaced", SelectorTarget::staticClass());
  ASSERT_TRUE(replacement);
  auto target = platform::make<SelectorTarget>();
  target->setActualClass(*replacement);
  int calls = 0;
  rf_signalForSelector(*target, "twice:")->subscribeNext([&calls](const Value&) { ++calls; });
  EXPECT_EQ(&target->actualClass(), replacement);
  EXPECT_EQ(target->perform("twice:", {Value(3)}), Value(6));
  EXPECT_EQ(calls, 1);
}

TEST(SelectorSignal, AProtocolGivesTheTypesAndMustDeclareTheSelector) {
  auto target = platform::make<SelectorTarget>();
  rf_signalForSelector(*target, "view:didScroll:", &viewDelegateProtocol());
  EXPECT_EQ(target->actualClass().methodSignatureForSelector("view:didScroll:"),
            (platform::MethodSignature{"v", {"@", "q"}}));
  platform::ErrorPtr error;
  rf_signalForSelector(*target, "view:didZoom:", &viewDelegateProtocol())
      ->subscribeError([&error](const platform::ErrorPtr& e) { error = e; });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), kRFSelectorSignalErrorDomain);
  EXPECT_EQ(error->code(), kRFSelectorSignalErrorNotInProtocol);
  EXPECT_FALSE(target->respondsToSelector("view:didZoom:"));
}

TEST(SelectorSignal, ArgumentsAndResultsOfCalls) {
  RFTuplePtr tuple = rf_argumentsTuple({Value(1), Value(), Value("x")});
  EXPECT_EQ(tuple->count(), 3u);
  EXPECT_TRUE(RFTupleNil::isTupleNil(tuple->backingArray()[1]));
  std::vector<Value> back = rf_argumentsFromTuple(tuple);
  EXPECT_EQ(back, (std::vector<Value>{Value(1), Value(), Value("x")}));
  EXPECT_EQ(rf_argumentsTuple({})->count(), 0u);
  EXPECT_EQ(rf_returnValue(Value(), platform::MethodSignature{"v", {}}), RFUnit::unitValue());
  EXPECT_EQ(rf_returnValue(Value(5), platform::MethodSignature{"q", {}}), Value(5));
  EXPECT_TRUE(rf_returnValue(Value(), std::nullopt).isNil());
}

TEST(DelegateProxy, ForwardsToTheRealDelegateAndCatchesProtocolMethods) {
  auto proxy = RFDelegateProxy::proxyWithProtocol(viewDelegateProtocol());
  auto delegate = platform::make<SelectorDelegate>();
  proxy->setProxiedDelegate(delegate);
  EXPECT_TRUE(proxy->conformsToProtocol(viewDelegateProtocol()));
  EXPECT_TRUE(proxy->isProxy());
  EXPECT_TRUE(proxy->respondsToSelector("viewShouldClose:"));
  EXPECT_FALSE(proxy->respondsToSelector("view:didScroll:"));
  EXPECT_EQ(proxy->perform("viewShouldClose:", {Value(1)}), Value(false));
  EXPECT_EQ(delegate->calls, (Texts{"shouldClose"}));

  Texts scrolls;
  proxy->signalForSelector("view:didScroll:")->subscribeNext([&scrolls](const Value& v) {
    scrolls.push_back(marbles::text(v));
  });
  EXPECT_TRUE(proxy->respondsToSelector("view:didScroll:")) << "caught though the delegate lacks it";
  proxy->perform("view:didScroll:", {Value("list"), Value(40)});
  EXPECT_EQ(scrolls, (Texts{"(list,40)"}));

  std::weak_ptr<SelectorDelegate> weakDelegate = delegate;
  delegate.reset();
  EXPECT_TRUE(weakDelegate.expired()) << "the proxy holds its delegate weakly";
  EXPECT_TRUE(proxy->perform("viewShouldClose:", {Value(1)}).isNil()) << "without a delegate, calls go nowhere";
  EXPECT_FALSE(proxy->respondsToSelector("viewShouldClose:"));
}

TEST(SelectorSignal, ConcurrentSetUpAndCalls) {
  constexpr int kThreads = 4;
  std::atomic<int> caught{0};
  std::vector<std::shared_ptr<SelectorTarget>> targets;
  for (int i = 0; i < kThreads; ++i) targets.push_back(platform::make<SelectorTarget>());
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      auto& mine = targets[i];
      auto& neighbour = targets[(i + 1) % kThreads];
      rf_signalForSelector(*mine, "didTap:count:")->subscribeNext([&caught](const Value&) { ++caught; });
      for (int n = 0; n < 100; ++n) {
        mine->perform("didTap:count:", {Value("t"), Value(n)});
        neighbour->perform("twice:", {Value(n)});
        rf_signalForSelector(*neighbour, "twice:");
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(caught.load(), kThreads * 100);
}

}  // namespace
