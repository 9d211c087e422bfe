#include "reactive/RFSubject.h"

#include "platform/system/locks.h"
#include "reactive/RFSubscriberInternal.h"
#include "reactive/RFSubscriberListInternal.h"

// --- RFSubject -----------------------------------------------------------------------------------

RFSubject::RFSubject() : disposable_(RFCompoundDisposable::compoundDisposable()) {}

RFSubjectPtr RFSubject::subject() { return platform::make<RFSubject>(); }

RFSubject::~RFSubject() { disposable_->dispose(); }

RFDisposablePtr RFSubject::subscribe(const RFSubscriberPtr& subscriber) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto passthrough = RFPassthroughSubscriber::create(subscriber, weak_from_this(), compound);
  list_.add(passthrough);
  // Takes the passthrough off the list; it does not dispose the subscription's compound. Both
  // the subject and the passthrough are referred to weakly: a subscriber listed no more is gone
  // or elsewhere, and the disposable must not keep either alive.
  std::weak_ptr<RFSubject> weakSubject = selfSubject();
  std::weak_ptr<RFPassthroughSubscriber> weakPassthrough = passthrough;
  return RFDisposable::disposableWithBlock([weakSubject, weakPassthrough] {
    auto subject = weakSubject.lock();
    auto passthrough = weakPassthrough.lock();
    if (subject && passthrough) subject->list_.remove(passthrough.get());
  });
}

void RFSubject::enumerateSubscribers(const std::function<void(RFSubscriber& subscriber)>& block) const {
  rf_detail::SubscriberList::Walk walk(list_);
  for (const rf_detail::SubscriberEntry* entry : walk) block(*entry->passthrough);
}

std::size_t RFSubject::subscriberCount() const {
  rf_detail::SubscriberList::Walk walk(list_);
  return walk.size();
}

// The sends touch no member of this subject once the walk has begun: a subscriber may let go
// of the last reference to it.
void RFSubject::sendNext(const platform::Value& value) {
  rf_detail::SubscriberList::Walk walk(list_);
  if (rf_detail::nextProbeEnabled()) [[unlikely]] {
    for (const rf_detail::SubscriberEntry* entry : walk) entry->passthrough->sendNext(value);
    return;
  }
  for (const rf_detail::SubscriberEntry* entry : walk) {
    // What the passthrough's sendNext does, without going through it.
    if (entry->disposable->isDisposed() || !entry->inner) continue;
    entry->inner->sendNext(value);
  }
}

void RFSubject::sendError(const platform::ErrorPtr& error) {
  disposable_->dispose();
  rf_detail::SubscriberList::Walk walk(list_);
  for (const rf_detail::SubscriberEntry* entry : walk) entry->passthrough->sendError(error);
}

void RFSubject::sendCompleted() {
  disposable_->dispose();
  rf_detail::SubscriberList::Walk walk(list_);
  for (const rf_detail::SubscriberEntry* entry : walk) entry->passthrough->sendCompleted();
}

void RFSubject::didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) {
  if (!disposable || disposable->isDisposed()) return;
  disposable_->addDisposable(disposable);
  std::weak_ptr<RFSubject> weakSubject = selfSubject();
  std::weak_ptr<RFCompoundDisposable> weakDisposable = disposable;
  disposable->addDisposable(RFDisposable::disposableWithBlock([weakSubject, weakDisposable] {
    auto subject = weakSubject.lock();
    auto d = weakDisposable.lock();
    if (subject && d) subject->disposable_->removeDisposable(d.get());
  }));
}

// --- RFReplaySubject -----------------------------------------------------------------------------

RFReplaySubjectPtr RFReplaySubject::replaySubjectWithCapacity(std::uint64_t capacity) {
  auto subject = platform::make<RFReplaySubject>();
  subject->capacity_ = capacity;
  return subject;
}

RFDisposablePtr RFReplaySubject::subscribe(const RFSubscriberPtr& subscriber) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto self = std::static_pointer_cast<RFReplaySubject>(selfSubject());
  RFDisposablePtr scheduled = RFScheduler::subscriptionScheduler()->schedule([self, subscriber, compound] {
    platform::MutexLock lock(self->lock_);
    if (self->hasCompleted_ || self->hasError_) {
      // Nothing can come after the end, so this replay needs no lock: the subscriber's handling
      // of the end may take locks of its own that are held while others subscribe here.
      std::deque<platform::Value> values = self->values_;
      bool completed = self->hasCompleted_;
      platform::ErrorPtr error = self->error_;
      lock.unlock();
      for (const platform::Value& value : values) {
        if (compound->isDisposed()) return;
        if (subscriber) subscriber->sendNext(value);
      }
      if (compound->isDisposed() || !subscriber) return;
      if (completed)
        subscriber->sendCompleted();
      else
        subscriber->sendError(error);
      return;
    }
    for (const platform::Value& value : self->values_) {
      if (compound->isDisposed()) return;
      if (subscriber) subscriber->sendNext(value);
    }
    if (compound->isDisposed()) return;
    compound->addDisposable(self->RFSubject::subscribe(subscriber));
  });
  compound->addDisposable(scheduled);
  return compound;
}

void RFReplaySubject::sendNext(const platform::Value& value) {
  platform::MutexLock lock(lock_);
  if (capacity_ != 0) values_.push_back(value);
  RFSubject::sendNext(value);
  if (capacity_ != kUnlimited)
    while (values_.size() > capacity_) values_.pop_front();
}

// The end is recorded under the lock and delivered after it: a subscriber listed by then gets
// it from here, a later one from its replay.
void RFReplaySubject::sendCompleted() {
  {
    platform::MutexLock lock(lock_);
    hasCompleted_ = true;
  }
  RFSubject::sendCompleted();
}

void RFReplaySubject::sendError(const platform::ErrorPtr& error) {
  {
    platform::MutexLock lock(lock_);
    hasError_ = true;
    error_ = error;
  }
  RFSubject::sendError(error);
}

// --- RFBehaviorSubject ---------------------------------------------------------------------------

RFBehaviorSubjectPtr RFBehaviorSubject::behaviorSubjectWithDefaultValue(platform::Value value) {
  auto subject = platform::make<RFBehaviorSubject>();
  platform::MutexLock lock(subject->lock_);
  subject->currentValue_ = std::move(value);
  return subject;
}

RFDisposablePtr RFBehaviorSubject::subscribe(const RFSubscriberPtr& subscriber) {
  RFDisposablePtr subscription = RFSubject::subscribe(subscriber);
  auto self = std::static_pointer_cast<RFBehaviorSubject>(selfSubject());
  RFDisposablePtr scheduled = RFScheduler::subscriptionScheduler()->schedule([self, subscriber] {
    platform::MutexLock lock(self->lock_);
    if (subscriber) subscriber->sendNext(self->currentValue_);
  });
  return RFDisposable::disposableWithBlock([subscription, scheduled] {
    if (subscription) subscription->dispose();
    if (scheduled) scheduled->dispose();
  });
}

void RFBehaviorSubject::sendNext(const platform::Value& value) {
  platform::MutexLock lock(lock_);
  currentValue_ = value;
  RFSubject::sendNext(value);
}

// --- RFGroupedSignal -----------------------------------------------------------------------------

RFGroupedSignalPtr RFGroupedSignal::signalWithKey(platform::Value key) {
  auto signal = platform::make<RFGroupedSignal>();
  signal->setKey(std::move(key));
  return signal;
}

platform::Value RFGroupedSignal::key() const {
  platform::MutexLock lock(keyLock_);
  return key_;
}

void RFGroupedSignal::setKey(platform::Value key) {
  // Keys are copied on set; values are immutable, objects are copied.
  if (key.isObject()) key = platform::Value(key.asObject()->copy());
  platform::MutexLock lock(keyLock_);
  key_ = std::move(key);
}

// --- RFMulticastConnection -----------------------------------------------------------------------

RFMulticastConnectionPtr RFMulticastConnection::create(RFSignalPtr source, RFSubjectPtr subject) {
  auto connection = platform::make<RFMulticastConnection>();
  connection->source_ = std::move(source);
  connection->subject_ = std::move(subject);
  connection->serialDisposable_ = RFSerialDisposable::serialDisposable();
  return connection;
}

RFDisposablePtr RFMulticastConnection::connect() {
  std::int32_t expected = 0;
  if (hasConnected_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel))
    serialDisposable_->setDisposable(source_->subscribe(subject_));
  return serialDisposable_;
}

RFSignalPtr RFMulticastConnection::autoconnect() {
  auto self = std::static_pointer_cast<RFMulticastConnection>(shared_from_this());
  auto subscribers = std::make_shared<std::atomic<std::int32_t>>(0);
  RFSignalPtr result =
      RFSignal::createSignal([self, subscribers](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
        subscribers->fetch_add(1, std::memory_order_acq_rel);
        RFDisposablePtr subscription = self->subject_->subscribe(subscriber);
        RFDisposablePtr connection = self->connect();
        return RFDisposable::disposableWithBlock([subscription, connection, subscribers] {
          if (subscription) subscription->dispose();
          if (subscribers->fetch_sub(1, std::memory_order_acq_rel) - 1 == 0) connection->dispose();
        });
      });
  result->setNameWithFormat("[%@] -autoconnect", subject_->name());
  return result;
}
