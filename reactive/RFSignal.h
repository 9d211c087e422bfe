#pragma once

// Signals: the push streams.
//
// A signal does nothing until subscribed; each subscription is independent, receives any number
// of values followed by at most one error or completion, and returns a disposable that ends it.
// Subscription blocks run through the subscription scheduler: at once when the subscribing
// thread has a current scheduler (the main thread always has), otherwise later on a background
// scheduler. Events of one subscription may arrive on any thread; the framework reports failures
// as error events and validates no arguments.
//
// So operators that subscribe as values arrive (flattenMap, switchToLatest, takeUntil, ...) do
// so in step with their input only when the input sends from a thread with a current scheduler;
// from a bare thread those subscriptions, and the values of map, filter and the like, come later
// on the background scheduler, in order.
//
// Operators (the generic ones of RFStream.h and the signal operators below) build a new signal
// and subscribe nothing until it is subscribed (except where said: replay, replayLast,
// setKeyPath and the blocking operators). Each subscription to a result subscribes afresh to
// the inputs and keeps its own state; disposing it disposes everything it set up. Unless an
// operator says otherwise, values, errors and completion pass on at once, unchanged, on the
// thread they arrive on, and the first error or completion ends the result. Operators that
// combine inputs delivering on several threads guard their state with a lock of their own and
// say whether they send while holding it. Where values are stored in a collection or a tuple, a
// nil value is kept as RFTupleNil and given back as nil. Operators that schedule work on "the
// current scheduler" take RFScheduler::currentScheduler() when they schedule, else a background
// scheduler made when the subscription started.
//
// Debug names (the format after each operator, "[%@]" the receiver's name) are kept only when
// RF_DEBUG_SIGNAL_NAMES is set (see RFDescription.h). Errors the operators make themselves are in
// kRFSignalErrorDomain.
//
// Names that are C++ keywords in the operators' usual spelling: catchError (catch), tryBlock
// (try), logicalNot/logicalAnd/logicalOr (not/and/or), switchCases (switch), ifThenElse (if).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/format.h"
#include "platform/runtime/object.h"
#include "platform/runtime/thread.h"
#include "platform/runtime/value.h"
#include "reactive/RFDescription.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFStream.h"
#include "reactive/RFSubscriber.h"

class RFSignal;
class RFSequence;
class RFCommand;
class RFSubject;
class RFReplaySubject;
class RFMulticastConnection;
using RFSignalPtr = std::shared_ptr<RFSignal>;

// Hashes values by their equality (for dictionaries keyed by any value).
struct RFValueHash {
  std::size_t operator()(const platform::Value& value) const { return value.hash(); }
};
// The cases of RFSignal::switchCases: a signal per key.
using RFSignalCases = std::unordered_map<platform::Value, RFSignalPtr, RFValueHash>;

class RFSignal : public RFStreamOperators<RFSignal> {
  ZORVEL_CLASS(RFSignal, RFStream)

 public:
  // Receives the subscriber of one subscription; returns what ends the work it started, or null.
  using SubscribeBlock = std::function<RFDisposablePtr(const RFSubscriberPtr& subscriber)>;
  using Predicate = std::function<bool(const platform::Value& value)>;
  using Reduce = std::function<platform::Value(const platform::Value& accumulator, const platform::Value& value)>;

  // --- Factories -------------------------------------------------------------------------------
  static RFSignalPtr createSignal(SubscribeBlock didSubscribe);
  static RFSignalPtr error(platform::ErrorPtr error);
  // Sends nothing, ever. "+never"
  static RFSignalPtr never();
  // Completes at once (one shared instance).
  static RFSignalPtr empty();
  // Sends the value, then completes. Nil and the unit value give shared instances.
  static RFSignalPtr returnValue(platform::Value value);
  // Calls the block at each subscription and subscribes to the signal it returns (none: no
  // events). "+defer:"
  static RFSignalPtr defer(std::function<RFSignalPtr()> block);

  // --- Subscription ----------------------------------------------------------------------------
  // Null on the abstract signal. A null subscriber is accepted (events vanish).
  virtual RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber);
  RFDisposablePtr subscribeNext(RFNextBlock next);
  RFDisposablePtr subscribeNextCompleted(RFNextBlock next, RFCompletedBlock completed);
  RFDisposablePtr subscribeNext(RFNextBlock next, RFErrorBlock error, RFCompletedBlock completed);
  RFDisposablePtr subscribeError(RFErrorBlock error);
  RFDisposablePtr subscribeCompleted(RFCompletedBlock completed);
  RFDisposablePtr subscribeNextError(RFNextBlock next, RFErrorBlock error);
  RFDisposablePtr subscribeError(RFErrorBlock error, RFCompletedBlock completed);

  // --- Primitives ------------------------------------------------------------------------------
  // Each value becomes the stream the bind block returns; values of all those streams are
  // interleaved as they arrive. Completes when the receiver (or the bind block, by stopping or
  // returning null) and every returned stream have finished; the first error ends everything.
  // A one-value or empty step is delivered at once, without a signal, where a return or empty
  // signal would deliver at once (on a thread with a current scheduler); elsewhere it is
  // delivered later on the subscription scheduler's background scheduler, as such a signal
  // would, and later steps of the subscription wait behind it so that values keep their order.
  // "[%@] -bind:"
  RFSignalPtr bind(RFStreamBindBlockFactory block);
  // The receiver's events, then, once it completes, the other signal's. "[%@] -concat: %@"
  RFSignalPtr concat(const RFSignalPtr& signal);
  // Pairs the n-th values of both signals as RFTuples. Completes once either side has completed
  // with no unpaired value left. "[%@] -zipWith: %@"
  RFSignalPtr zipWith(const RFSignalPtr& signal);

  RFStreamPtr emptyStream() const override;
  RFStreamPtr returnStream(const platform::Value& value) const override;
  RFStreamPtr bindStream(RFStreamBindBlockFactory block) override;
  RFStreamPtr concatStream(const RFStreamPtr& stream) override;
  RFStreamPtr zipWithStream(const RFStreamPtr& stream) override;

  // --- Delivery --------------------------------------------------------------------------------
  // Events on the main thread, in order: inline when they arrive on the main thread while
  // nothing of the subscription is waiting in the main queue, else queued on the main queue.
  // "[%@] -deliverOnMainThread"
  RFSignalPtr deliverOnMainThread();
  // Each event goes through scheduler->schedule() (order is the scheduler's). Disposal does not
  // cancel deliveries already scheduled; the subscriber ignores them. "[%@] -deliverOn: %@"
  RFSignalPtr deliverOn(const RFSchedulerPtr& scheduler);
  // Subscribes to the receiver through the scheduler; events are not moved.
  // "[%@] -subscribeOn: %@"
  RFSignalPtr subscribeOn(const RFSchedulerPtr& scheduler);

  // --- Side effects, errors, repetition --------------------------------------------------------
  // The block runs with each value before it is passed on. "[%@] -doNext:"
  RFSignalPtr doNext(RFNextBlock block);
  // The block runs with the error before it is passed on. "[%@] -doError:"
  RFSignalPtr doError(RFErrorBlock block);
  // The block runs before completion is passed on. "[%@] -doCompleted:"
  RFSignalPtr doCompleted(RFCompletedBlock block);
  // The block runs at every subscription, before the receiver is subscribed. "[%@] -initially:"
  RFSignalPtr initially(std::function<void()> block);
  // The block runs once before the error or completion is passed on (not on disposal).
  // "[%@] -finally:"
  RFSignalPtr finally(std::function<void()> block);
  // On an error, the subscriber is subscribed to the signal the block gives (none: nothing more
  // arrives). Disposal ends that subscription first, then the receiver's. "[%@] -catch:"
  RFSignalPtr catchError(std::function<RFSignalPtr(const platform::ErrorPtr& error)> block);
  // catchError with a block that gives `signal`. "[%@] -catchTo: %@"
  RFSignalPtr catchTo(RFSignalPtr signal);
  // Passes each value the block accepts; the first refusal ends the result with the error the
  // block set (null when none). "[%@] -try:"
  RFSignalPtr tryBlock(std::function<bool(const platform::Value& value, platform::ErrorPtr* error)> block);
  // Passes the block's result for each value; a nil result ends the result with the error the
  // block set (null when none). "[%@] -tryMap:"
  RFSignalPtr tryMap(std::function<platform::Value(const platform::Value& value, platform::ErrorPtr* error)> block);
  // Subscribes to the receiver again after every completion, until an error or disposal. Later
  // passes run on the current scheduler (taken when the first pass ends). "[%@] -repeat"
  RFSignalPtr repeat();
  // Subscribes again after an error, up to `count` times (0: without limit); completion or the
  // error past the count ends the result. "[%@] -retry: %lu"
  RFSignalPtr retry(std::int64_t count);
  // "[%@] -retry"
  RFSignalPtr retry();
  // Only the error or the completion. "[%@] -ignoreValues"
  RFSignalPtr ignoreValues();
  // The same. Named as ignoreValues.
  RFSignalPtr ignoreElements();
  // Each event as an RFEvent value; an error or completion is sent as a value, then completed.
  // "[%@] -materialize"
  RFSignalPtr materialize();
  // RFEvent values back into events. "[%@] -dematerialize"
  RFSignalPtr dematerialize();

  // --- Timing ----------------------------------------------------------------------------------
  // Holds each value until `interval` seconds pass without a newer one (which replaces it), on
  // the current scheduler; completion sends a held value at once, an error drops it. Sends under
  // its lock. "[%@] -throttle: %f"
  RFSignalPtr throttle(double interval);
  // The same for values the predicate accepts; others pass at once and drop a held value.
  // "[%@] -throttle: %f valuesPassingTest:"
  RFSignalPtr throttle(double interval, Predicate predicate);
  // Values and completion `interval` seconds later, on the current scheduler; an error at once.
  // "[%@] -delay: %f"
  RFSignalPtr delay(double interval);
  // Values gathered into an RFTuple sent `interval` seconds after the first of each batch, on
  // the scheduler; completion sends what is gathered, an error drops it. Sends under its lock.
  // "[%@] -bufferWithTime: %f onScheduler: %@"
  RFSignalPtr bufferWithTime(double interval, const RFSchedulerPtr& scheduler);
  // On a new high-priority background scheduler.
  RFSignalPtr bufferWithTime(double interval);
  // The current date (the scheduler's) every `interval` seconds, the first one interval after
  // subscription, on the scheduler; never ends. "+interval: %f onScheduler: %@ withLeeway: %f"
  static RFSignalPtr interval(double interval, const RFSchedulerPtr& scheduler, double leeway);
  // With no leeway. "+interval: %f onScheduler: %@"
  static RFSignalPtr interval(double interval, const RFSchedulerPtr& scheduler);
  // On a new high-priority background scheduler.
  static RFSignalPtr interval(double interval);
  static RFSignalPtr intervalWithLeeway(double interval, double leeway);
  // Ends with the error kRFSignalErrorTimedOut (and lets the receiver go) unless the receiver
  // ends within `interval` seconds of subscription. "[%@] -timeout: %f onScheduler: %@"
  RFSignalPtr timeout(double interval, const RFSchedulerPtr& scheduler);
  // On a new high-priority background scheduler.
  RFSignalPtr timeout(double interval);
  // The receiver's latest value, sent again at every value of the sampler (nothing before the
  // receiver's first value). "[%@] -sample: %@"
  RFSignalPtr sample(const RFSignalPtr& sampler);

  // --- Combination and switching ---------------------------------------------------------------
  // RFTuples of both signals' latest values, once both have sent one; completes when both have
  // completed. Sends under its lock. "[%@] -combineLatestWith: %@"
  RFSignalPtr combineLatestWith(const RFSignalPtr& signal);
  // One flat tuple of the latest values of all, in order. "+combineLatest: %@"
  static RFSignalPtr combineLatest(const std::vector<RFSignalPtr>& signals);
  // The same, each tuple reduced by the block (see reduceEach). "+combineLatest: %@ reduce:"
  template <class F>
  static RFSignalPtr combineLatest(const std::vector<RFSignalPtr>& signals, F reduce) {
    RFSignalPtr result = combineLatest(signals)->reduceEach(std::move(reduce));
    result->setNameWithFormat("+combineLatest: %@ reduce:", rf_describeStreams(signals));
    return result;
  }
  // The values of both as they come; completes when both have. "[%@] -merge: %@"
  RFSignalPtr merge(const RFSignalPtr& signal);
  // The collection is copied at the call. "+merge: %@"
  static RFSignalPtr merge(const std::vector<RFSignalPtr>& signals);
  // The receiver sends signals; at most `maxConcurrent` of them (0: no limit) are subscribed at
  // once, the others wait their turn in order. "[%@] -flatten: %lu"
  RFSignalPtr flatten(std::uint64_t maxConcurrent);
  // The receiver's signals one after another. "[%@] -concat"
  RFSignalPtr concat();
  // Drops the receiver's values; once it completes, the block's signal. "[%@] -then:"
  RFSignalPtr then(std::function<RFSignalPtr()> block);
  // The same. Named as then.
  RFSignalPtr sequenceNext(std::function<RFSignalPtr()> block);
  // Completes at the trigger's first value or completion (its error changes nothing).
  // "[%@] -takeUntil: %@"
  RFSignalPtr takeUntil(const RFSignalPtr& trigger);
  // The receiver until the replacement's first event, then the replacement's events; the
  // receiver's completion alone does not complete the result. Not named.
  RFSignalPtr takeUntilReplacement(const RFSignalPtr& replacement);
  // The receiver sends signals; the latest one's values. Completes when the receiver and the
  // latest signal have. "[%@] -switchToLatest"
  RFSignalPtr switchToLatest();
  // The case signal for each key the key signal sends (a nil key is looked up as RFTupleNil),
  // else `defaultSignal`, else the error kRFSignalErrorNoMatchingCase. The cases are copied at
  // the call. "+switch: %@ cases: %@ default: %@"
  static RFSignalPtr switchCases(const RFSignalPtr& keySignal, RFSignalCases cases, RFSignalPtr defaultSignal);
  // The true or the false signal, following the boolean values of `condition`.
  // "+if: %@ then: %@ else: %@"
  static RFSignalPtr ifThenElse(const RFSignalPtr& condition, RFSignalPtr trueSignal, RFSignalPtr falseSignal);

  // --- Aggregation -----------------------------------------------------------------------------
  // On completion, the accumulator reduced with every value and its index (the start when there
  // were none). "[%@] -aggregateWithStart: %@ reduceWithIndex:"
  RFSignalPtr aggregateWithStartReduceWithIndex(
      platform::Value start, std::function<platform::Value(const platform::Value& accumulator,
                                                           const platform::Value& value, std::uint64_t index)>
                                 reduce);
  // "[%@] -aggregateWithStart: %@ reduce:"
  RFSignalPtr aggregateWithStart(platform::Value start, Reduce reduce);
  // Named as aggregateWithStart.
  RFSignalPtr aggregateWithStartCombine(platform::Value start, Reduce combine);
  // A fresh start value from the factory at each subscription.
  // "[%@] -aggregateWithStartFactory:reduce:"
  RFSignalPtr aggregateWithStartFactory(std::function<platform::Value()> factory, Reduce reduce);
  // Named as aggregateWithStartFactory.
  RFSignalPtr aggregateWithStartFactoryCombine(std::function<platform::Value()> factory, Reduce combine);
  // On completion, one array of every value (nil as the null marker). "[%@] -collect"
  RFSignalPtr collect();
  // On completion, the last `count` values. "[%@] -takeLast: %lu"
  RFSignalPtr takeLast(std::uint64_t count);

  // --- Blocking --------------------------------------------------------------------------------
  // These wait in the calling thread until the receiver sends its first value or ends. On the
  // main thread they run the main run loop while they wait, so a receiver that delivers through
  // the main queue cannot leave them waiting for ever.
  //
  // The first value, or `defaultValue` when the receiver ends without one; `success` is false
  // (with the error) when it fails. Names its wait "[%@] -firstOrDefault: %@ success:error:".
  platform::Value firstOrDefault(platform::Value defaultValue, bool* success = nullptr,
                                 platform::ErrorPtr* error = nullptr);
  platform::Value first();
  // True when the receiver completed; false (with the error) when it failed.
  // "[%@] -waitUntilCompleted:"
  bool waitUntilCompleted(platform::ErrorPtr* error = nullptr);
  // Every value (nil as the null marker); none when the receiver fails.
  std::optional<platform::ValueArray> toArray();
  // A sequence of the receiver's values, which subscribes now and keeps every value it receives
  // (see RFSignalSequence in reactive/bridges/RFSequence.h). "[%@] -sequence"
  std::shared_ptr<RFSequence> sequence();
  // On the main thread, waits at most 10 seconds (then fails with kRFSignalErrorTimedOut) while
  // running the main run loop, the events arriving on the main thread. Elsewhere, the same
  // without the run loop.
  platform::Value asynchronousFirstOrDefault(platform::Value defaultValue, bool* success = nullptr,
                                             platform::ErrorPtr* error = nullptr);
  bool asynchronouslyWaitUntilCompleted(platform::ErrorPtr* error = nullptr);

  // --- Multicast -------------------------------------------------------------------------------
  // A connection to a new subject; subscribers get what is sent after connect().
  // Names the subject "[%@] -publish".
  std::shared_ptr<RFMulticastConnection> publish();
  // A connection to the given subject. Names it "[%@] -multicast: %@".
  std::shared_ptr<RFMulticastConnection> multicast(const std::shared_ptr<RFSubject>& subject);
  // Subscribes now; every subscriber gets every value so far, then the rest. "[%@] -replay"
  RFSignalPtr replay();
  // Subscribes now; a subscriber gets the latest value, then the rest. "[%@] -replayLast"
  RFSignalPtr replayLast();
  // replay, subscribing at the first subscription. "[%@] -replayLazily"
  RFSignalPtr replayLazily();

  // --- Grouping, booleans, binding -------------------------------------------------------------
  // An RFGroupedSignal per key (sent when the key first appears, under the lock of the group
  // table), each receiving the transformed values of its key. Error and completion reach the
  // subscriber, then every group in order. "[%@] -groupBy:transform:"
  RFSignalPtr groupBy(std::function<platform::Value(const platform::Value& value)> key,
                      std::function<platform::Value(const platform::Value& value)> transform);
  // "[%@] -groupBy:"
  RFSignalPtr groupBy(std::function<platform::Value(const platform::Value& value)> key);
  // One boolean: true at the first value the predicate accepts, false when the receiver ends
  // (also by an error). "[%@] -any:"
  RFSignalPtr any(Predicate predicate);
  // "[%@] -any"
  RFSignalPtr any();
  // One boolean: false at the first value the predicate refuses or at an error, true at
  // completion. "[%@] -all:"
  RFSignalPtr all(Predicate predicate);
  // Integer 1 for a false value, 0 for a true one. "[%@] -not"
  RFSignalPtr logicalNot();
  // Tuples of booleans to whether all of them are true (true for an empty tuple). "[%@] -and"
  RFSignalPtr logicalAnd();
  // Tuples of booleans to whether any of them is true (false for an empty tuple). "[%@] -or"
  RFSignalPtr logicalOr();
  // Tuples whose first item is an RFBlock: the block's result for the other items.
  // "[%@] -reduceApply"
  RFSignalPtr reduceApply();
  // Subscribes now and sets the key path of `target` to each value (`nilValue` for nil), on the
  // thread the value arrives on. Ends with the receiver, or when the target goes away (the target
  // is not kept alive); an error is logged. Returns what ends the binding.
  RFDisposablePtr setKeyPath(std::string keyPath, const platform::ObjectPtr& target, platform::Value nilValue = {});
  RFDisposablePtr toProperty(std::string keyPath, const platform::ObjectPtr& target);

  // --- Windows and buffers ---------------------------------------------------------------------
  // The opening signal's values open windows (new subjects, sent as values) while none is open;
  // the receiver's values go into the open window; the first event of the signal the block gives
  // for a window completes it. The inputs must deliver one at a time. "[%@] -windowWithStart: %@ close:"
  RFSignalPtr windowWithStart(const RFSignalPtr& openSignal,
                              std::function<RFSignalPtr(const RFSignalPtr& window)> closeSignal);
  // RFTuples of `count` values (at least 1); values left at completion are not sent. Subscribes
  // to the receiver twice. The receiver must deliver one at a time. "[%@] -buffer: %lu"
  RFSignalPtr buffer(std::uint64_t count);
  // The block gets a signal sharing one subscription to the receiver, made after the block's
  // signal is subscribed. "[%@] -let:"
  RFSignalPtr let(std::function<RFSignalPtr(const RFSignalPtr& shared)> block);
  // Subscribes now and executes the command with each value, dropping what execute returns (a
  // disabled command runs nothing and reports nothing; later values are still passed on). See
  // reactive/bridges/RFCommand.h.
  RFDisposablePtr executeCommand(const std::shared_ptr<RFCommand>& command);

  // --- Starting, logging -----------------------------------------------------------------------
  // Runs the block once, at the first subscription, on the scheduler, and replays its events to
  // every subscriber. "+startLazilyWithScheduler: %@ block:"
  static RFSignalPtr startLazilyWithScheduler(const RFSchedulerPtr& scheduler,
                                              std::function<void(const RFSubscriberPtr& subscriber)> block);
  // The same, started now. "+startEagerlyWithScheduler: %@ block:"
  static RFSignalPtr startEagerlyWithScheduler(const RFSchedulerPtr& scheduler,
                                               std::function<void(const RFSubscriberPtr& subscriber)> block);
  // A replay subject that the block, scheduled now, fills. "+startWithScheduler:subjectBlock:"
  static std::shared_ptr<RFReplaySubject> startWithSchedulerSubjectBlock(
      const RFSchedulerPtr& scheduler, std::function<void(const std::shared_ptr<RFSubject>& subject)> block);
  // A replay subject that gets the block's value and completion, or its error when it sets
  // `success` false. "+startWithScheduler:block:"
  static std::shared_ptr<RFReplaySubject> startWithScheduler(
      const RFSchedulerPtr& scheduler, std::function<platform::Value(bool* success, platform::ErrorPtr* error)> block);
  // On a new background scheduler. "+start:"
  static std::shared_ptr<RFReplaySubject> start(
      std::function<platform::Value(bool* success, platform::ErrorPtr* error)> block);
  // The receiver, writing each value / the error / the completion to the log ("<signal> next:
  // <value>", "<signal> error: <error>", "<signal> completed"); named as the receiver.
  RFSignalPtr logNext();
  RFSignalPtr logError();
  RFSignalPtr logCompleted();
  RFSignalPtr logAll();

  // "<Class: 0x...> name: <name>"
  std::string description() const override;

  // Hidden by the signal operators of the same name.
  using RFStreamOperators<RFSignal>::concat;
  using RFStreamOperators<RFSignal>::flatten;

 protected:
  RFSignal() = default;
  RFSignalPtr selfSignal() { return std::static_pointer_cast<RFSignal>(shared_from_this()); }
};

extern template class RFStreamOperators<RFSignal>;

// A signal made from a subscription block.
class RFDynamicSignal final : public RFSignal {
  ZORVEL_CLASS(RFDynamicSignal, RFSignal)

 public:
  static RFSignalPtr createSignal(SubscribeBlock didSubscribe);
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;

 private:
  RFDynamicSignal() = default;
  SubscribeBlock didSubscribe_;
};

class RFEmptySignal final : public RFSignal {
  ZORVEL_CLASS(RFEmptySignal, RFSignal)

 public:
  static const RFSignalPtr& empty();
  std::string name() const override { return "+empty"; }
  void setName(std::string) override {}
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;

 private:
  RFEmptySignal() = default;
};

class RFErrorSignal final : public RFSignal {
  ZORVEL_CLASS(RFErrorSignal, RFSignal)

 public:
  static RFSignalPtr error(platform::ErrorPtr error);
  const platform::ErrorPtr& errorValue() const { return error_; }
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;

 private:
  RFErrorSignal() = default;
  platform::ErrorPtr error_;
};

class RFReturnSignal final : public RFSignal {
  ZORVEL_CLASS(RFReturnSignal, RFSignal)

 public:
  static RFSignalPtr returnValue(platform::Value value);
  const platform::Value& value() const { return value_; }
  std::string name() const override { return "+return:"; }
  void setName(std::string) override {}
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;

 private:
  RFReturnSignal() = default;
  platform::Value value_;
};

// Binds signals to key paths with a subscript: RFSubscriptingAssignmentTrampoline(target,
// nilValue)["key.path"] = signal; is signal->setKeyPath("key.path", target, nilValue), the
// binding's disposable not kept.
class RFSubscriptingAssignmentTrampoline {
 public:
  // None for a null target.
  static std::optional<RFSubscriptingAssignmentTrampoline> create(platform::ObjectPtr target,
                                                                  platform::Value nilValue = {});
  void setObject(const RFSignalPtr& signal, std::string keyPath) const;

  class Assignment {
   public:
    Assignment& operator=(const RFSignalPtr& signal) {
      trampoline_.setObject(signal, keyPath_);
      return *this;
    }

   private:
    friend class RFSubscriptingAssignmentTrampoline;
    Assignment(const RFSubscriptingAssignmentTrampoline& trampoline, std::string keyPath)
        : trampoline_(trampoline), keyPath_(std::move(keyPath)) {}
    const RFSubscriptingAssignmentTrampoline& trampoline_;
    std::string keyPath_;
  };
  Assignment operator[](std::string keyPath) const { return Assignment(*this, std::move(keyPath)); }

  const platform::ObjectPtr& target() const { return target_; }
  const platform::Value& nilValue() const { return nilValue_; }

 private:
  RFSubscriptingAssignmentTrampoline(platform::ObjectPtr target, platform::Value nilValue)
      : target_(std::move(target)), nilValue_(std::move(nilValue)) {}
  platform::ObjectPtr target_;
  platform::Value nilValue_;
};

// Errors that the framework's operators make themselves.
inline constexpr std::string_view kRFSignalErrorDomain = "RFSignalErrorDomain";
inline constexpr std::int64_t kRFSignalErrorTimedOut = 1;
inline constexpr std::int64_t kRFSignalErrorNoMatchingCase = 2;

// Where logNext, logError and logCompleted write their lines: the console (standard error).
void rf_writeLogLine(std::string_view line);
