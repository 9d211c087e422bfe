#pragma once

// Streams and signals.
//
// RFStream is the root of the two kinds of stream: signals (pushed to subscribers) and sequences
// (pulled). Generic operators are built only on its five primitives (empty, return, bind, concat,
// zipWith), reached through the receiver so that they give a stream of the receiver's kind.
//
// RFSignal is the push stream: it does nothing until subscribed; each subscription is
// independent, receives any number of values followed by at most one error or completion, and
// returns a disposable that ends it. Subscription blocks run through the subscription
// scheduler: at once when the subscribing thread has a current scheduler (the main thread always
// has), otherwise later on a background scheduler. Events of one subscription may arrive on any
// thread; the framework reports failures as error events and validates no arguments.
//
// Debug names are kept only when RF_DEBUG_SIGNAL_NAMES is set (see RFDescription.h).

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/object.h"
#include "platform/thread.h"
#include "platform/value.h"
#include "reactive/RFDescription.h"
#include "reactive/RFDisposable.h"
#include "reactive/RFScheduler.h"
#include "reactive/RFSubscriber.h"

class RFStream;
class RFSignal;
using RFStreamPtr = std::shared_ptr<RFStream>;
using RFSignalPtr = std::shared_ptr<RFSignal>;

// Takes a value and may set `stop`; returns the stream that replaces the value (null ends the
// receiver's part, as does `stop`).
using RFStreamBindBlock = std::function<RFStreamPtr(const platform::Value& value, bool& stop)>;
// Called once per subscription to get that subscription's bind block (so it can keep state).
using RFStreamBindBlockFactory = std::function<RFStreamBindBlock()>;

class RFStream : public platform::Object {
  ZORVEL_CLASS(RFStream, platform::Object)

 public:
  // Thread-safe.
  virtual std::string name() const;
  virtual void setName(std::string name);
  // Formats and stores the name only when debug naming is on; otherwise builds nothing.
  template <class... Args>
  void setNameWithFormat(std::string_view format, const Args&... args) {
    if (rf_debugNamesEnabled()) setName(platform::format(format, args...));
  }

  // The primitives, each giving a stream of the receiver's kind; null on the abstract root.
  virtual RFStreamPtr emptyStream() const;
  virtual RFStreamPtr returnStream(const platform::Value& value) const;
  virtual RFStreamPtr bindStream(RFStreamBindBlockFactory block);
  virtual RFStreamPtr concatStream(const RFStreamPtr& stream);
  virtual RFStreamPtr zipWithStream(const RFStreamPtr& stream);

 protected:
  RFStream() = default;

 private:
  mutable platform::SpinLock nameLock_;
  std::string name_;
};

class RFSignal : public RFStream {
  ZORVEL_CLASS(RFSignal, RFStream)

 public:
  // Receives the subscriber of one subscription; returns what ends the work it started, or null.
  using SubscribeBlock = std::function<RFDisposablePtr(const RFSubscriberPtr& subscriber)>;

  // --- Factories -------------------------------------------------------------------------------
  static RFSignalPtr createSignal(SubscribeBlock didSubscribe);
  static RFSignalPtr error(platform::ErrorPtr error);
  // Sends nothing, ever.
  static RFSignalPtr never();
  // Completes at once (one shared instance).
  static RFSignalPtr empty();
  // Sends the value, then completes. Nil and the unit value give shared instances.
  static RFSignalPtr returnValue(platform::Value value);
  // Calls the block at each subscription and subscribes to the signal it returns (none: no
  // events).
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
  RFSignalPtr bind(RFStreamBindBlockFactory block);
  // The receiver's events, then, once it completes, the other signal's.
  RFSignalPtr concat(const RFSignalPtr& signal);
  // Pairs the n-th values of both signals as RFTuples (nil as the tuple's nil marker). Completes
  // once either side has completed with no unpaired value left.
  RFSignalPtr zipWith(const RFSignalPtr& signal);

  // --- Delivery --------------------------------------------------------------------------------
  // Events on the main thread, in order: inline when they arrive on the main thread while
  // nothing of the subscription is waiting in the main queue, else queued on the main queue.
  RFSignalPtr deliverOnMainThread();
  // Each event goes through scheduler->schedule() (order is the scheduler's).
  RFSignalPtr deliverOn(const RFSchedulerPtr& scheduler);
  // Subscribes to the receiver through the scheduler; events are not moved.
  RFSignalPtr subscribeOn(const RFSchedulerPtr& scheduler);

  RFStreamPtr emptyStream() const override;
  RFStreamPtr returnStream(const platform::Value& value) const override;
  RFStreamPtr bindStream(RFStreamBindBlockFactory block) override;
  RFStreamPtr concatStream(const RFStreamPtr& stream) override;
  RFStreamPtr zipWithStream(const RFStreamPtr& stream) override;

  // "<Class: 0x...> name: <name>"
  std::string description() const override;

 protected:
  RFSignal() = default;
  RFSignalPtr selfSignal() { return std::static_pointer_cast<RFSignal>(shared_from_this()); }
};

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

// Errors that the framework's operators make themselves.
inline constexpr std::string_view kRFSignalErrorDomain = "RFSignalErrorDomain";
inline constexpr std::int64_t kRFSignalErrorTimedOut = 1;
inline constexpr std::int64_t kRFSignalErrorNoMatchingCase = 2;
