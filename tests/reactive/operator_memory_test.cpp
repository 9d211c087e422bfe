#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

// A subscription that ends (by completion, error or disposal) lets go of its blocks and of what
// they captured, through every operator; the leak checker of the address-sanitizer build checks
// that nothing else is left behind.

namespace {

using platform::Value;

struct Operator {
  const char* name;
  // Applies the operator to `input`; `token` goes into one of its blocks.
  std::function<RFSignalPtr(const RFSignalPtr& input, const RFSubjectPtr& other, std::shared_ptr<int> token)> apply;
  // Operators that subscribe again after an ending are not ended by it.
  bool endsOnCompletion = true;
  bool endsOnError = true;
};

const std::vector<Operator>& operators() {
  static const std::vector<Operator> list = {
      {"map", [](const RFSignalPtr& in, const RFSubjectPtr&,
                 std::shared_ptr<int> t) { return in->map([t](const Value& v) { return v; }); }},
      {"filter, take, skip",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->filter([t](const Value&) { return true; })->skip(1)->take(100);
       }},
      {"scan, distinct",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->scanWithStart(Value(0), [t](const Value& a, const Value&) { return a; })->distinctUntilChanged();
       }},
      {"flattenMap into the other",
       [](const RFSignalPtr& in, const RFSubjectPtr& other, std::shared_ptr<int> t) {
         return in->flattenMap([t, other](const Value&) { return RFSignalPtr(other); });
       }},
      {"doNext, catch",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->doNext([t](const Value&) {})->catchError([](const platform::ErrorPtr& e) {
           return RFSignal::error(e);
         });
       }},
      {"retry",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->doNext([t](const Value&) {})->retry(1);
       },
       true, false},
      {"repeat",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->doNext([t](const Value&) {})->repeat();
       },
       false, true},
      {"combineLatest, zip, merge",
       [](const RFSignalPtr& in, const RFSubjectPtr& other, std::shared_ptr<int> t) {
         RFSignalPtr mapped = in->map([t](const Value& v) { return v; });
         return RFSignal::merge({RFSignal::combineLatest({mapped, other}), RFSignal::zip({mapped, other})});
       }},
      {"switchToLatest",
       [](const RFSignalPtr& in, const RFSubjectPtr& other, std::shared_ptr<int> t) {
         return in->map([t, other](const Value&) { return Value(RFSignalPtr(other)); })->switchToLatest();
       }},
      {"takeUntil, sample, throttle",
       [](const RFSignalPtr& in, const RFSubjectPtr& other, std::shared_ptr<int> t) {
         return in->map([t](const Value& v) { return v; })->takeUntil(other)->sample(in)->throttle(10);
       }},
      {"delay, timeout, bufferWithTime",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->map([t](const Value& v) { return v; })->delay(10)->timeout(20)->bufferWithTime(5);
       }},
      {"groupBy, flatten",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->groupBy([t](const Value& v) { return v; })->flatten();
       }},
      {"buffer, window", [](const RFSignalPtr& in, const RFSubjectPtr&,
                            std::shared_ptr<int> t) { return in->map([t](const Value& v) { return v; })->buffer(2); }},
      {"let, replayLazily",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return in->let([t](const RFSignalPtr& shared) { return shared->merge(shared); })->replayLazily();
       }},
      {"any, all, collect, takeLast",
       [](const RFSignalPtr& in, const RFSubjectPtr&, std::shared_ptr<int> t) {
         return RFSignal::merge({in->any([t](const Value&) { return false; }),
                                 in->all([t](const Value&) { return true; }), in->collect(), in->takeLast(2)});
       }},
  };
  return list;
}

enum class Ending { Completion, Error, Disposal };

TEST(OperatorMemory, AnEndedSubscriptionReleasesWhatItsBlocksCaptured) {
  for (const Operator& op : operators()) {
    for (Ending ending : {Ending::Completion, Ending::Error, Ending::Disposal}) {
      if ((ending == Ending::Completion && !op.endsOnCompletion) || (ending == Ending::Error && !op.endsOnError))
        continue;
      auto scheduler = RFTestScheduler::create();
      std::weak_ptr<int> watchToken, watchSubscriberCapture;
      {
        RFSubjectPtr input = RFSubject::subject(), other = RFSubject::subject();
        auto token = std::make_shared<int>(0);
        auto subscriberCapture = std::make_shared<int>(0);
        watchToken = token;
        watchSubscriberCapture = subscriberCapture;
        RFSignalPtr signal = op.apply(input, other, std::move(token));
        RFDisposablePtr subscription;
        // Inside a scheduler's block, so that timers go to the test scheduler.
        scheduler->performAsCurrentScheduler([&] {
          subscription =
              signal->subscribeNext([subscriberCapture](const Value&) {},
                                    [subscriberCapture](const platform::ErrorPtr&) {}, [subscriberCapture] {});
          subscriberCapture.reset();
          input->sendNext(Value(1));
          other->sendNext(Value(2));
          input->sendNext(Value(3));
          switch (ending) {
            case Ending::Completion:
              input->sendCompleted();
              other->sendCompleted();
              break;
            case Ending::Error:
              input->sendError(platform::Error::make("D", 1));
              break;
            case Ending::Disposal:
              subscription->dispose();
              break;
          }
        });
        // Timers still pending hold only what ended subscriptions ignore; run them out.
        scheduler->stepAll();
        if (ending != Ending::Disposal) {
          EXPECT_TRUE(subscription->isDisposed()) << op.name;
        }
      }
      const char* how = ending == Ending::Completion ? "completion" : ending == Ending::Error ? "error" : "disposal";
      EXPECT_TRUE(watchToken.expired()) << op.name << " after " << how;
      EXPECT_TRUE(watchSubscriberCapture.expired()) << op.name << " after " << how;
    }
  }
}

TEST(OperatorMemory, ALongChainDisposedMidStreamLeavesNothing) {
  std::weak_ptr<int> watch;
  std::weak_ptr<RFSignal> watchChain;
  {
    RFSubjectPtr source = RFSubject::subject();
    auto token = std::make_shared<int>(0);
    watch = token;
    RFSignalPtr chain = source;
    for (int i = 0; i < 300; ++i) {
      switch (i % 5) {
        case 0:
          chain = chain->map([token](const Value& v) { return Value(v.asInt64() + 1); });
          break;
        case 1:
          chain = chain->filter([](const Value&) { return true; });
          break;
        case 2:
          chain = chain->scanWithStart(Value(0), [](const Value&, const Value& v) { return v; });
          break;
        case 3:
          chain = chain->takeUntil(RFSignal::never());
          break;
        case 4:
          chain = chain->doNext([token](const Value&) {});
          break;
      }
    }
    watchChain = chain;
    token.reset();
    std::int64_t last = 0;
    RFDisposablePtr d = chain->subscribeNext([&last](const Value& v) { last = v.asInt64(); });
    for (int i = 0; i < 10; ++i) source->sendNext(Value(i));
    EXPECT_EQ(last, 9 + 60);
    d->dispose();
    EXPECT_EQ(source->subscriberCount(), 0u);
    source->sendNext(Value(100));
    EXPECT_EQ(last, 69);
  }
  EXPECT_TRUE(watch.expired());
  EXPECT_TRUE(watchChain.expired());
}

}  // namespace
