#pragma once

// Subjects: signals that are also subscribers. Values sent in by hand (sendNext/sendError/
// sendCompleted, from any thread) reach every current subscriber on the sending thread.
//
// - RFSubject: multicasts to the subscribers listed at the time of the send. The list is an
//   immutable snapshot replaced on subscribe and dispose (see RFSubscriberList.h), so delivery
//   runs without a lock and a subscriber may subscribe or dispose during it (one removed during a
//   delivery may still get that delivery). Subscribing and disposing are cheapest on the thread
//   that sends. Sends from several threads at once are not serialised. A plain subject keeps no
//   terminated state: a subscriber that comes after completion sees only later sends.
// - RFReplaySubject: also remembers up to `capacity` values and the termination, and replays them
//   to each new subscriber before live values; sends and replays are serialised by its own
//   re-entrant lock, which is held while delivering values. The error or completion is delivered
//   (and replayed) after the lock is released, so that a subscriber's handling of the end may
//   take locks that are held while others subscribe or send (two subjects feeding each other's
//   ends, say, or an owner's lock around a subscription).
// - RFBehaviorSubject: sends its latest value to each new subscriber.
// - RFGroupedSignal: a subject with a key.
// - RFMulticastConnection: connects one source signal to one subject, once, on demand.

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <vector>

#include "platform/runtime/thread.h"
#include "platform/system/locks.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubscriberList.h"

class RFSubject;
class RFReplaySubject;
class RFBehaviorSubject;
class RFGroupedSignal;
class RFMulticastConnection;
using RFSubjectPtr = std::shared_ptr<RFSubject>;
using RFReplaySubjectPtr = std::shared_ptr<RFReplaySubject>;
using RFBehaviorSubjectPtr = std::shared_ptr<RFBehaviorSubject>;
using RFGroupedSignalPtr = std::shared_ptr<RFGroupedSignal>;
using RFMulticastConnectionPtr = std::shared_ptr<RFMulticastConnection>;

class RFSubject : public RFSignal, public RFSubscriber {
  ZORVEL_CLASS(RFSubject, RFSignal)

 public:
  static RFSubjectPtr subject();
  ~RFSubject() override;

  // Lists the subscriber; the returned disposable takes it off the list again.
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;
  // Calls the block with each subscriber listed now, in order of subscription.
  void enumerateSubscribers(const std::function<void(RFSubscriber& subscriber)>& block) const;
  std::size_t subscriberCount() const;

  void sendNext(const platform::Value& value) override;
  // Both first end every subscription that feeds this subject.
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;
  void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) override;

  // Disambiguation: the subject is the signal when described.
  std::string description() const override { return RFSignal::description(); }

 protected:
  RFSubject();
  std::shared_ptr<RFSubject> selfSubject() { return std::static_pointer_cast<RFSubject>(shared_from_this()); }

 private:
  rf_detail::SubscriberList list_;
  RFCompoundDisposablePtr disposable_;
};

class RFReplaySubject final : public RFSubject {
  ZORVEL_CLASS(RFReplaySubject, RFSubject)

 public:
  static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

  static RFReplaySubjectPtr replaySubjectWithCapacity(std::uint64_t capacity);
  static RFReplaySubjectPtr subject() { return replaySubjectWithCapacity(kUnlimited); }

  // Replays through the subscription scheduler: the stored values, then the stored termination
  // or the live values.
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;
  void sendNext(const platform::Value& value) override;
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;

  std::uint64_t capacity() const { return capacity_; }

 private:
  RFReplaySubject() = default;

  platform::RecursiveLock lock_;
  std::uint64_t capacity_ = kUnlimited;
  std::deque<platform::Value> values_ ZORVEL_GUARDED_BY(lock_);
  bool hasCompleted_ ZORVEL_GUARDED_BY(lock_) = false;
  bool hasError_ ZORVEL_GUARDED_BY(lock_) = false;
  platform::ErrorPtr error_ ZORVEL_GUARDED_BY(lock_);
};

class RFBehaviorSubject final : public RFSubject {
  ZORVEL_CLASS(RFBehaviorSubject, RFSubject)

 public:
  static RFBehaviorSubjectPtr behaviorSubjectWithDefaultValue(platform::Value value);

  // Lists the subscriber, then sends it the current value (through the subscription scheduler).
  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;
  void sendNext(const platform::Value& value) override;

 private:
  RFBehaviorSubject() = default;

  platform::RecursiveLock lock_;
  platform::Value currentValue_ ZORVEL_GUARDED_BY(lock_);
};

class RFGroupedSignal final : public RFSubject {
  ZORVEL_CLASS(RFGroupedSignal, RFSubject)

 public:
  static RFGroupedSignalPtr signalWithKey(platform::Value key);
  platform::Value key() const;
  void setKey(platform::Value key);

 private:
  RFGroupedSignal() = default;
  mutable platform::SpinLock keyLock_;
  platform::Value key_;
};

class RFMulticastConnection final : public platform::Object {
  ZORVEL_CLASS(RFMulticastConnection, platform::Object)

 public:
  static RFMulticastConnectionPtr create(RFSignalPtr source, RFSubjectPtr subject);

  const RFSignalPtr& sourceSignal() const { return source_; }
  // The subject subscribers subscribe to.
  RFSignalPtr signal() const { return subject_; }

  // Subscribes the subject to the source on the first call only; every call returns the
  // disposable that ends that connection (for good).
  RFDisposablePtr connect();
  // Connects when the first subscriber arrives and disconnects when the last one leaves; a
  // disconnected connection is never made again.
  RFSignalPtr autoconnect();

 private:
  RFMulticastConnection() = default;

  RFSignalPtr source_;
  RFSubjectPtr subject_;
  RFSerialDisposablePtr serialDisposable_;
  std::atomic<std::int32_t> hasConnected_{0};
};
