#include "reactive/RFSubject.h"

#include <algorithm>

#include "reactive/RFBarrier.h"

// --- Subscriber lists ----------------------------------------------------------------------------
//
// A subject's list is immutable and replaced whole. A send walks it without taking a lock or a
// reference: it announces the list in one of its thread's hazard slots, and a replaced list is
// freed only when no slot names it. The hot side pairs a compiler barrier with the process-wide
// barrier of the (rare) replacing side; see RFBarrier.h.

namespace rf_detail {
struct SubjectEntry {
  std::shared_ptr<RFPassthroughSubscriber> passthrough;
  // The passthrough's disposable and receiver, kept here so a send reaches them directly.
  const RFCompoundDisposable* disposable;
  RFSubscriber* inner;
  bool operator==(const std::shared_ptr<RFPassthroughSubscriber>& other) const { return passthrough == other; }
};
struct SubjectList {
  std::vector<SubjectEntry> entries;
};
}  // namespace rf_detail

namespace {

using rf_detail::SubjectList;

// Sends nested deeper than this on one thread walk a copy of the list instead.
constexpr int kHazardSlots = 16;

struct HazardRecord {
  std::atomic<const SubjectList*> slots[kHazardSlots] = {};
  std::atomic<bool> taken{true};
  HazardRecord* next = nullptr;  // fixed once the record is published
  int depth = 0;                 // slots in use; the owning thread's alone
};

// Every record ever made; records are reused by later threads but never freed, so a scan may
// walk them at any time.
std::atomic<HazardRecord*> gHazardRecords{nullptr};

HazardRecord* takeRecord() {
  for (HazardRecord* record = gHazardRecords.load(std::memory_order_acquire); record; record = record->next) {
    bool free = false;
    if (!record->taken.load(std::memory_order_relaxed) &&
        record->taken.compare_exchange_strong(free, true, std::memory_order_acquire, std::memory_order_relaxed))
      return record;
  }
  auto* record = new HazardRecord;
  record->next = gHazardRecords.load(std::memory_order_relaxed);
  while (!gHazardRecords.compare_exchange_weak(record->next, record, std::memory_order_release,
                                               std::memory_order_relaxed)) {
  }
  return record;
}

thread_local HazardRecord* tRecord = nullptr;
thread_local bool tRecordReleased = false;

struct RecordReleaser {
  ~RecordReleaser() {
    if (tRecord) tRecord->taken.store(false, std::memory_order_release);
    tRecord = nullptr;
    tRecordReleased = true;
  }
};

[[gnu::noinline]] HazardRecord* firstThreadRecord() {
  if (tRecordReleased) return nullptr;
  static thread_local RecordReleaser releaser;
  tRecord = takeRecord();
  return tRecord;
}

// Null once this thread is exiting and has handed its record back.
inline HazardRecord* threadRecord() {
  if (tRecord) [[likely]]
    return tRecord;
  return firstThreadRecord();
}

// Lists replaced but possibly still walked. Never destroyed: threads may send during exit.
struct RetiredLists {
  platform::SpinLock lock;
  std::vector<const SubjectList*> lists;
};
RetiredLists& retiredLists() {
  static auto* retired = new RetiredLists;
  return *retired;
}
std::atomic<std::size_t> gRetiredCount{0};

// Frees every retired list that no hazard slot names. Only lists whose retirement has passed the
// process-wide barrier are ever in the retired set, so every slot still guarding one is seen.
void freeUnguardedLists() {
  RetiredLists& retired = retiredLists();
  std::vector<const SubjectList*> unguarded;
  {
    std::lock_guard lock(retired.lock);
    if (retired.lists.empty()) return;
    std::vector<const SubjectList*> guarded;
    for (HazardRecord* record = gHazardRecords.load(std::memory_order_acquire); record; record = record->next)
      for (const auto& slot : record->slots)
        if (const SubjectList* list = slot.load(std::memory_order_acquire)) guarded.push_back(list);
    auto kept = std::partition(retired.lists.begin(), retired.lists.end(), [&](const SubjectList* list) {
      return std::find(guarded.begin(), guarded.end(), list) != guarded.end();
    });
    unguarded.assign(kept, retired.lists.end());
    retired.lists.erase(kept, retired.lists.end());
    gRetiredCount.store(retired.lists.size(), std::memory_order_relaxed);
  }
  // Outside the lock: dropping passthroughs may run subscribers' destructors, which may replace
  // other lists.
  for (const SubjectList* list : unguarded) delete list;
}

void retire(const SubjectList* list) {
  if (!list) return;
  // Every send that took `list` before the replacement now shows it in its slot.
  rf_detail::heavyBarrier();
  {
    RetiredLists& retired = retiredLists();
    std::lock_guard lock(retired.lock);
    retired.lists.push_back(list);
    gRetiredCount.store(retired.lists.size(), std::memory_order_relaxed);
  }
  // Every send that clears its slot after this point sees the count and frees the list itself.
  rf_detail::heavyBarrier();
  freeUnguardedLists();
}

// The list of one subject for the duration of one walk.
class ListReader {
 public:
  [[gnu::always_inline]] ListReader(const std::atomic<const SubjectList*>& source, platform::SpinLock& lock) {
    const SubjectList* list = source.load(std::memory_order_acquire);
    if (!list) return;
    HazardRecord* record = threadRecord();
    if (record && record->depth < kHazardSlots) [[likely]] {
      slot_ = &record->slots[record->depth++];
      record_ = record;
      for (;;) {
        slot_->store(list, std::memory_order_relaxed);
        rf_detail::lightBarrier();
        const SubjectList* now = source.load(std::memory_order_acquire);
        if (now == list) break;
        list = now;
        if (!list) break;
      }
      list_ = list;
    } else {
      copyUnderLock(source, lock);
    }
  }
  [[gnu::always_inline]] ~ListReader() {
    if (!record_) return;
    --record_->depth;
    slot_->store(nullptr, std::memory_order_release);
    rf_detail::lightBarrier();
    if (gRetiredCount.load(std::memory_order_relaxed) != 0) [[unlikely]]
      freeUnguardedLists();
  }
  ListReader(const ListReader&) = delete;
  ListReader& operator=(const ListReader&) = delete;

  // Null when there are no subscribers.
  const SubjectList* list() const { return list_; }

 private:
  [[gnu::noinline]] void copyUnderLock(const std::atomic<const SubjectList*>& source, platform::SpinLock& lock) {
    copy_ = std::make_unique<SubjectList>();
    std::lock_guard guard(lock);
    if (const SubjectList* current = source.load(std::memory_order_acquire)) copy_->entries = current->entries;
    list_ = copy_.get();
  }

  const SubjectList* list_ = nullptr;
  HazardRecord* record_ = nullptr;
  std::atomic<const SubjectList*>* slot_ = nullptr;
  std::unique_ptr<SubjectList> copy_;  // only for sends nested beyond the slots
};

}  // namespace

// --- RFSubject -----------------------------------------------------------------------------------

RFSubject::RFSubject() : disposable_(RFCompoundDisposable::compoundDisposable()) {}

RFSubjectPtr RFSubject::subject() { return platform::make<RFSubject>(); }

RFSubject::~RFSubject() {
  disposable_->dispose();
  // A send still walking the list (one whose subscriber let go of this subject) frees it.
  retire(list_.exchange(nullptr, std::memory_order_acq_rel));
}

RFDisposablePtr RFSubject::subscribe(const RFSubscriberPtr& subscriber) {
  auto compound = RFCompoundDisposable::compoundDisposable();
  auto passthrough = RFPassthroughSubscriber::create(subscriber, weak_from_this(), compound);
  auto next = new SubjectList;
  const SubjectList* old;
  {
    std::lock_guard lock(listLock_);
    old = list_.load(std::memory_order_relaxed);
    if (old) {
      next->entries.reserve(old->entries.size() + 1);
      next->entries = old->entries;
    }
    next->entries.push_back({passthrough, passthrough->disposable().get(), passthrough->innerSubscriber().get()});
    list_.store(next, std::memory_order_release);
  }
  retire(old);
  // Takes the passthrough off the list; it does not dispose the subscription's compound. Both
  // the subject and the passthrough are referred to weakly: a subscriber listed no more is gone
  // or elsewhere, and the disposable must not keep either alive.
  std::weak_ptr<RFSubject> weakSubject = selfSubject();
  std::weak_ptr<RFPassthroughSubscriber> weakPassthrough = passthrough;
  return RFDisposable::disposableWithBlock([weakSubject, weakPassthrough] {
    auto subject = weakSubject.lock();
    auto passthrough = weakPassthrough.lock();
    if (!subject || !passthrough) return;
    const SubjectList* old;
    {
      std::lock_guard lock(subject->listLock_);
      old = subject->list_.load(std::memory_order_relaxed);
      if (!old) return;
      const auto& list = old->entries;
      auto it = std::find(list.rbegin(), list.rend(), passthrough);
      if (it == list.rend()) return;
      SubjectList* next = nullptr;
      if (list.size() > 1) {
        next = new SubjectList;
        next->entries.reserve(list.size() - 1);
        auto at = std::next(it).base();
        next->entries.insert(next->entries.end(), list.begin(), at);
        next->entries.insert(next->entries.end(), std::next(at), list.end());
      }
      subject->list_.store(next, std::memory_order_release);
    }
    retire(old);
  });
}

void RFSubject::enumerateSubscribers(const std::function<void(RFSubscriber& subscriber)>& block) const {
  ListReader reader(list_, listLock_);
  if (const SubjectList* list = reader.list())
    for (const auto& entry : list->entries) block(*entry.passthrough);
}

std::size_t RFSubject::subscriberCount() const {
  ListReader reader(list_, listLock_);
  return reader.list() ? reader.list()->entries.size() : 0;
}

// The sends touch no member of this subject once the walk has begun: a subscriber may let go
// of the last reference to it.
void RFSubject::sendNext(const platform::Value& value) {
  ListReader reader(list_, listLock_);
  if (const SubjectList* list = reader.list())
    for (const auto& entry : list->entries) {
      // What the passthrough's sendNext does, without going through it unless traced.
      if (entry.disposable->isDisposed()) continue;
      if (rf_detail::nextProbeEnabled()) [[unlikely]]
        entry.passthrough->sendNext(value);
      else if (entry.inner)
        entry.inner->sendNext(value);
    }
}

void RFSubject::sendError(const platform::ErrorPtr& error) {
  disposable_->dispose();
  ListReader reader(list_, listLock_);
  if (const SubjectList* list = reader.list())
    for (const auto& entry : list->entries) entry.passthrough->sendError(error);
}

void RFSubject::sendCompleted() {
  disposable_->dispose();
  ListReader reader(list_, listLock_);
  if (const SubjectList* list = reader.list())
    for (const auto& entry : list->entries) entry.passthrough->sendCompleted();
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
    std::lock_guard lock(self->lock_);
    for (const platform::Value& value : self->values_) {
      if (compound->isDisposed()) return;
      if (subscriber) subscriber->sendNext(value);
    }
    if (compound->isDisposed()) return;
    if (self->hasCompleted_) {
      if (subscriber) subscriber->sendCompleted();
    } else if (self->hasError_) {
      if (subscriber) subscriber->sendError(self->error_);
    } else {
      compound->addDisposable(self->RFSubject::subscribe(subscriber));
    }
  });
  compound->addDisposable(scheduled);
  return compound;
}

void RFReplaySubject::sendNext(const platform::Value& value) {
  std::lock_guard lock(lock_);
  if (capacity_ != 0) values_.push_back(value);
  RFSubject::sendNext(value);
  if (capacity_ != kUnlimited)
    while (values_.size() > capacity_) values_.pop_front();
}

void RFReplaySubject::sendCompleted() {
  std::lock_guard lock(lock_);
  hasCompleted_ = true;
  RFSubject::sendCompleted();
}

void RFReplaySubject::sendError(const platform::ErrorPtr& error) {
  std::lock_guard lock(lock_);
  hasError_ = true;
  error_ = error;
  RFSubject::sendError(error);
}

// --- RFBehaviorSubject ---------------------------------------------------------------------------

RFBehaviorSubjectPtr RFBehaviorSubject::behaviorSubjectWithDefaultValue(platform::Value value) {
  auto subject = platform::make<RFBehaviorSubject>();
  subject->currentValue_ = std::move(value);
  return subject;
}

RFDisposablePtr RFBehaviorSubject::subscribe(const RFSubscriberPtr& subscriber) {
  RFDisposablePtr subscription = RFSubject::subscribe(subscriber);
  auto self = std::static_pointer_cast<RFBehaviorSubject>(selfSubject());
  RFDisposablePtr scheduled = RFScheduler::subscriptionScheduler()->schedule([self, subscriber] {
    std::lock_guard lock(self->lock_);
    if (subscriber) subscriber->sendNext(self->currentValue_);
  });
  return RFDisposable::disposableWithBlock([subscription, scheduled] {
    if (subscription) subscription->dispose();
    if (scheduled) scheduled->dispose();
  });
}

void RFBehaviorSubject::sendNext(const platform::Value& value) {
  std::lock_guard lock(lock_);
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
  std::lock_guard lock(keyLock_);
  return key_;
}

void RFGroupedSignal::setKey(platform::Value key) {
  // Keys are copied on set; values are immutable, objects are copied.
  if (key.isObject()) key = platform::Value(key.asObject()->copy());
  std::lock_guard lock(keyLock_);
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
  RFSignalPtr result = RFSignal::createSignal([self, subscribers](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
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
