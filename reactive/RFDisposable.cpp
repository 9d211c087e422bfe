#include "reactive/RFDisposable.h"

#include <cctype>

#include "platform/runtime/format.h"
#include "platform/system/locks.h"
#include "reactive/RFProbesInternal.h"

#if RF_HAVE_PROBES
extern "C" {
__extension__ volatile unsigned short RFSignal_next_semaphore __attribute__((section(".probes"))) = 0;
__extension__ volatile unsigned short RFSignal_error_semaphore __attribute__((section(".probes"))) = 0;
__extension__ volatile unsigned short RFSignal_completed_semaphore __attribute__((section(".probes"))) = 0;
__extension__ volatile unsigned short RFCompoundDisposable_added_semaphore __attribute__((section(".probes"))) = 0;
__extension__ volatile unsigned short RFCompoundDisposable_removed_semaphore __attribute__((section(".probes"))) = 0;
}
#endif

namespace rf_detail {
std::string cleanedForProbe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool inSpace = false;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!inSpace) out.push_back(' ');
      inSpace = true;
    } else {
      out.push_back(c);
      inSpace = false;
    }
  }
  return out;
}
}  // namespace rf_detail

// --- RFDisposable --------------------------------------------------------------------------------

RFDisposable::RFDisposable(std::function<void()> block) : block_(std::move(block)) {
  if (!block_) disposed_.store(true, std::memory_order_release);
}

RFDisposablePtr RFDisposable::disposable() { return platform::make<RFDisposable>(); }

RFDisposablePtr RFDisposable::disposableWithBlock(std::function<void()> block) {
  return platform::make<RFDisposable>(std::move(block));
}

bool RFDisposable::isDisposed() const { return disposed_.load(std::memory_order_acquire); }

void RFDisposable::dispose() {
  if (disposed_.exchange(true, std::memory_order_acq_rel)) return;
  // Only the winner gets here; the block is released once it has run.
  std::function<void()> block = std::move(block_);
  block_ = nullptr;
  if (block) block();
}

RFScopedDisposablePtr RFDisposable::asScopedDisposable() {
  return RFScopedDisposable::scopedDisposableWithDisposable(std::static_pointer_cast<RFDisposable>(shared_from_this()));
}

// --- RFCompoundDisposable ------------------------------------------------------------------------

RFCompoundDisposablePtr RFCompoundDisposable::compoundDisposable() { return platform::make<RFCompoundDisposable>(); }

RFCompoundDisposablePtr RFCompoundDisposable::compoundDisposableWithDisposables(
    std::vector<RFDisposablePtr> disposables) {
  auto compound = platform::make<RFCompoundDisposable>();
  // Stored as given, disposed ones included, and without probes: this is set-up, not traffic.
  if (!disposables.empty()) compound->slots_[0] = std::move(disposables[0]);
  if (disposables.size() > 1) compound->slots_[1] = std::move(disposables[1]);
  if (disposables.size() > 2)
    compound->more_ = std::make_unique<std::vector<RFDisposablePtr>>(std::make_move_iterator(disposables.begin() + 2),
                                                                     std::make_move_iterator(disposables.end()));
  return compound;
}

RFCompoundDisposablePtr RFCompoundDisposable::compoundDisposableWithBlock(std::function<void()> block) {
  return compoundDisposableWithDisposables({RFDisposable::disposableWithBlock(std::move(block))});
}

long RFCompoundDisposable::countLocked() const {
  // The two slots count as full whatever they hold.
  return static_cast<long>(more_ ? more_->size() : 0) + 2;
}

void RFCompoundDisposable::addDisposable(const RFDisposablePtr& disposable) {
  if (!disposable || disposable->isDisposed()) return;
  platform::MutexLock lock(lock_);
  if (disposed_.load(std::memory_order_relaxed)) {
    lock.unlock();
    disposable->dispose();
    return;
  }
  if (!slots_[0]) {
    slots_[0] = disposable;
    return;
  }
  if (!slots_[1]) {
    slots_[1] = disposable;
    return;
  }
  if (!more_) more_ = std::make_unique<std::vector<RFDisposablePtr>>();
  more_->push_back(disposable);
  if (RF_PROBE_ENABLED(RFCompoundDisposable, added)) {
    std::string compound = description();
    std::string added = disposable->description();
    long count = countLocked();
    RF_PROBE3(RFCompoundDisposable, added, compound.c_str(), added.c_str(), count);
  }
}

void RFCompoundDisposable::removeDisposable(const RFDisposable* disposable) {
  if (!disposable) return;
  RFDisposablePtr removed[2];  // released after the lock
  std::vector<RFDisposablePtr> removedMore;
  platform::MutexLock lock(lock_);
  if (disposed_.load(std::memory_order_relaxed)) return;
  for (int i = 0; i < 2; ++i)
    if (slots_[i].get() == disposable) removed[i] = std::move(slots_[i]);
  if (more_) {
    for (std::size_t i = more_->size(); i-- > 0;) {
      if ((*more_)[i].get() == disposable) {
        removedMore.push_back(std::move((*more_)[i]));
        more_->erase(more_->begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
    if (RF_PROBE_ENABLED(RFCompoundDisposable, removed)) {
      std::string compound = description();
      std::string gone = disposable->description();
      long count = countLocked();
      RF_PROBE3(RFCompoundDisposable, removed, compound.c_str(), gone.c_str(), count);
    }
  }
}

void RFCompoundDisposable::dispose() {
  RFDisposablePtr first, second;
  std::unique_ptr<std::vector<RFDisposablePtr>> more;
  {
    platform::MutexLock lock(lock_);
    if (disposed_.load(std::memory_order_relaxed)) return;
    disposed_.store(true, std::memory_order_release);
    first = std::move(slots_[0]);
    second = std::move(slots_[1]);
    more = std::move(more_);
  }
  if (first) first->dispose();
  if (second) second->dispose();
  if (more)
    for (const RFDisposablePtr& d : *more) d->dispose();
}

// --- RFSerialDisposable --------------------------------------------------------------------------

RFSerialDisposablePtr RFSerialDisposable::serialDisposable() { return platform::make<RFSerialDisposable>(); }

RFSerialDisposablePtr RFSerialDisposable::serialDisposableWithDisposable(RFDisposablePtr disposable) {
  auto serial = platform::make<RFSerialDisposable>();
  serial->setDisposable(std::move(disposable));
  return serial;
}

RFSerialDisposablePtr RFSerialDisposable::serialDisposableWithBlock(std::function<void()> block) {
  return serialDisposableWithDisposable(RFDisposable::disposableWithBlock(std::move(block)));
}

RFDisposablePtr RFSerialDisposable::disposable() const {
  platform::MutexLock lock(lock_);
  return disposable_;
}

void RFSerialDisposable::setDisposable(RFDisposablePtr disposable) { swapInDisposable(std::move(disposable)); }

RFDisposablePtr RFSerialDisposable::swapInDisposable(RFDisposablePtr disposable) {
  RFDisposablePtr old;
  {
    platform::MutexLock lock(lock_);
    if (!disposed_.load(std::memory_order_relaxed)) {
      old = std::move(disposable_);
      disposable_ = std::move(disposable);
      return old;
    }
  }
  if (disposable) disposable->dispose();
  return nullptr;
}

void RFSerialDisposable::dispose() {
  RFDisposablePtr held;
  {
    platform::MutexLock lock(lock_);
    if (disposed_.load(std::memory_order_relaxed)) return;
    disposed_.store(true, std::memory_order_release);
    held = std::move(disposable_);
  }
  if (held) held->dispose();
}

// --- RFScopedDisposable --------------------------------------------------------------------------

RFScopedDisposablePtr RFScopedDisposable::scopedDisposableWithDisposable(RFDisposablePtr disposable) {
  return platform::make<RFScopedDisposable>([disposable = std::move(disposable)] {
    if (disposable) disposable->dispose();
  });
}

RFScopedDisposable::~RFScopedDisposable() { dispose(); }

RFScopedDisposablePtr RFScopedDisposable::asScopedDisposable() {
  return std::static_pointer_cast<RFScopedDisposable>(shared_from_this());
}
