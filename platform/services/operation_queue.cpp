#include "platform/services/operation_queue.h"

#include <algorithm>
#include <utility>

#include "platform/runtime/error.h"
#include "platform/runtime/format.h"

namespace platform {

namespace {

constexpr std::string_view kIsExecuting = "isExecuting";
constexpr std::string_view kIsFinished = "isFinished";
constexpr std::string_view kIsCancelled = "isCancelled";
constexpr std::string_view kIsReady = "isReady";
constexpr std::string_view kOperationCount = "operationCount";
constexpr std::string_view kIsSuspended = "isSuspended";

// The queue whose operation runs on this thread.
thread_local OperationQueue* tCurrentQueue = nullptr;

std::string addressOf(const void* p) { return format("%p", p); }

// Brackets a change of `key` on `object` for its observers.
template <class F>
void announce(Object& object, std::string_view key, F&& change) {
  object.willChangeValueForKey(key);
  change();
  object.didChangeValueForKey(key);
}

}  // namespace

// --- Operation -------------------------------------------------------------------------------------

Operation::Operation() = default;
Operation::~Operation() = default;

void Operation::start() {
  if (isFinished() || isExecuting() || started_.exchange(true))
    Exception::raise(kInvalidArgumentException,
                     description() + ": start was called on an operation that is already executing or finished");
  if (isCancelled()) {
    announce(*this, kIsFinished, [&] { finished_.store(true, std::memory_order_release); });
    return;
  }
  if (!isReady()) {
    started_.store(false);
    Exception::raise(kInvalidArgumentException, description() + ": start was called on an operation that is not ready");
  }
  announce(*this, kIsExecuting, [&] { executing_.store(true, std::memory_order_release); });
  struct Finish {
    Operation& self;
    ~Finish() {
      self.willChangeValueForKey(kIsFinished);
      announce(self, kIsExecuting, [&] { self.executing_.store(false, std::memory_order_release); });
      self.finished_.store(true, std::memory_order_release);
      self.didChangeValueForKey(kIsFinished);
    }
  } finish{*this};  // an exception from main() still finishes the operation
  main();
}

void Operation::main() {}

void Operation::cancel() {
  if (cancelRequested_.exchange(true, std::memory_order_acq_rel)) return;
  bool wasReady = isReady();
  willChangeValueForKey(kIsCancelled);
  if (!wasReady) willChangeValueForKey(kIsReady);
  cancelled_.store(true, std::memory_order_release);
  if (!wasReady) didChangeValueForKey(kIsReady);
  didChangeValueForKey(kIsCancelled);
}

bool Operation::isExecuting() const { return executing_.load(std::memory_order_acquire); }
bool Operation::isFinished() const { return finished_.load(std::memory_order_acquire); }

bool Operation::isReady() const {
  if (isCancelled()) return true;
  std::vector<OperationPtr> deps;
  {
    std::lock_guard lock(mutex_);
    deps = dependencies_;
  }
  return std::all_of(deps.begin(), deps.end(), [](const OperationPtr& d) { return d->isFinished(); });
}

bool Operation::dependsOn(const Operation& other) const {
  std::vector<OperationPtr> deps;
  {
    std::lock_guard lock(mutex_);
    deps = dependencies_;
  }
  for (const OperationPtr& d : deps)
    if (d.get() == &other || d->dependsOn(other)) return true;
  return false;
}

void Operation::addDependency(const OperationPtr& operation) {
  if (!operation) Exception::raise(kInvalidArgumentException, "addDependency: the operation is nil");
  if (operation.get() == this)
    Exception::raise(kInvalidArgumentException, "addDependency: an operation cannot depend on itself");
  if (operation->dependsOn(*this))
    Exception::raise(kInvalidArgumentException,
                     "addDependency: " + operation->description() + " already depends on " + description());
  bool wasReady = isReady();
  bool added = false;
  {
    std::lock_guard lock(mutex_);
    if (std::find(dependencies_.begin(), dependencies_.end(), operation) == dependencies_.end()) {
      dependencies_.push_back(operation);
      added = true;
    }
  }
  if (!added) return;
  {
    std::lock_guard lock(operation->mutex_);
    operation->dependents_.push_back(std::static_pointer_cast<Operation>(shared_from_this()));
  }
  // Readiness may have been lost; observers hear of it.
  if (wasReady && !isReady()) announce(*this, kIsReady, [] {});
}

void Operation::removeDependency(const OperationPtr& operation) {
  if (!operation) return;
  bool removed = false;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(dependencies_.begin(), dependencies_.end(), operation);
    if (it != dependencies_.end()) {
      dependencies_.erase(it);
      removed = true;
    }
  }
  if (!removed) return;
  {
    std::lock_guard lock(operation->mutex_);
    auto& list = operation->dependents_;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const std::weak_ptr<Operation>& w) {
                                auto p = w.lock();
                                return !p || p.get() == this;
                              }),
               list.end());
  }
  announce(*this, kIsReady, [] {});
}

std::vector<OperationPtr> Operation::dependencies() const {
  std::lock_guard lock(mutex_);
  return dependencies_;
}

void Operation::setCompletionBlock(CompletionBlock block) {
  std::lock_guard lock(mutex_);
  completionBlock_ = std::move(block);
}

Operation::CompletionBlock Operation::completionBlock() const {
  std::lock_guard lock(mutex_);
  return completionBlock_;
}

void Operation::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

std::string Operation::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void Operation::setQueuePriority(OperationQueuePriority priority) {
  std::lock_guard lock(mutex_);
  priority_ = priority;
}

OperationQueuePriority Operation::queuePriority() const {
  std::lock_guard lock(mutex_);
  return priority_;
}

void Operation::waitUntilFinished() {
  finishedCondition_.lock();
  while (!finishHandled_.load(std::memory_order_acquire)) finishedCondition_.wait();
  finishedCondition_.unlock();
}

Value Operation::valueForKey(std::string_view key) const {
  if (key == kIsExecuting) return Value(isExecuting());
  if (key == kIsFinished) return Value(isFinished());
  if (key == kIsCancelled) return Value(isCancelled());
  if (key == kIsReady) return Value(isReady());
  if (key == "isAsynchronous" || key == "isConcurrent") return Value(isAsynchronous());
  if (key == "name") return Value(name());
  if (key == "queuePriority") return Value(static_cast<int>(queuePriority()));
  return Object::valueForKey(key);
}

void Operation::didChangeValueForKey(std::string_view key) {
  Object::didChangeValueForKey(key);
  if (key == kIsFinished) {
    if (isFinished()) handleFinished();
  } else if (key == kIsReady || key == kIsCancelled) {
    handleReadinessChanged();
  }
}

std::string Operation::description() const {
  std::string n = name();
  std::string text = "<" + objectClass().name() + " " + addressOf(this);
  if (!n.empty()) text += " name: " + n;
  return text + ">";
}

void Operation::dependencyFinished() {
  announce(*this, kIsReady, [] {});
}

void Operation::handleReadinessChanged() {
  OperationQueuePtr queue;
  {
    std::lock_guard lock(mutex_);
    queue = queue_.lock();
  }
  if (queue) queue->startReadyOperations();
}

void Operation::handleFinished() {
  if (finishHandled_.exchange(true, std::memory_order_acq_rel)) return;
  std::vector<std::weak_ptr<Operation>> dependents;
  OperationQueuePtr queue;
  CompletionBlock completion;
  {
    std::lock_guard lock(mutex_);
    dependents.swap(dependents_);
    queue = queue_.lock();
    completion = std::move(completionBlock_);
    completionBlock_ = nullptr;
  }
  finishedCondition_.lock();
  finishedCondition_.broadcast();
  finishedCondition_.unlock();
  if (queue) queue->operationFinished(*this);
  for (const auto& weak : dependents)
    if (OperationPtr dependent = weak.lock()) dependent->dependencyFinished();
  if (completion) {
    std::weak_ptr<Object> weakSelf = weak_from_this();
    ObjectPtr self = weakSelf.lock();  // the block keeps the operation alive while it waits
    DispatchQueue::global()->async([self = std::move(self), completion = std::move(completion)] { completion(); });
  }
}

// --- BlockOperation --------------------------------------------------------------------------------

std::shared_ptr<BlockOperation> BlockOperation::make(Block block) {
  auto operation = platform::make<BlockOperation>();
  operation->addExecutionBlock(std::move(block));
  return operation;
}

void BlockOperation::addExecutionBlock(Block block) {
  if (isExecuting() || isFinished())
    Exception::raise(kInvalidArgumentException,
                     description() + ": blocks cannot be added once the operation is executing or finished");
  std::lock_guard lock(blocksMutex_);
  if (block) blocks_.push_back(std::move(block));
}

std::vector<BlockOperation::Block> BlockOperation::executionBlocks() const {
  std::lock_guard lock(blocksMutex_);
  return blocks_;
}

void BlockOperation::main() {
  for (const Block& block : executionBlocks()) block();
}

// --- OperationQueue --------------------------------------------------------------------------------

OperationQueue::OperationQueue() = default;
OperationQueue::~OperationQueue() = default;

OperationQueuePtr OperationQueue::create(std::string name) {
  auto queue = platform::make<OperationQueue>();
  queue->name_ = name.empty() ? "OperationQueue " + addressOf(queue.get()) : std::move(name);
  return queue;
}

const OperationQueuePtr& OperationQueue::mainQueue() {
  static const OperationQueuePtr queue = [] {
    auto q = platform::make<OperationQueue>();
    q->name_ = "Main Operation Queue";
    q->isMain_ = true;
    q->maxConcurrent_ = 1;
    q->qos_ = QualityOfService::UserInteractive;
    q->underlying_ = DispatchQueue::main();
    return q;
  }();
  return queue;
}

OperationQueuePtr OperationQueue::currentQueue() {
  if (tCurrentQueue) return std::static_pointer_cast<OperationQueue>(tCurrentQueue->shared_from_this());
  if (isMainThread()) return mainQueue();
  return nullptr;
}

void OperationQueue::addOperation(const OperationPtr& operation) {
  if (!operation) Exception::raise(kInvalidArgumentException, "addOperation: the operation is nil");
  {
    std::unique_lock lock(operation->mutex_);
    if (operation->enqueued_) {
      lock.unlock();
      Exception::raise(kInvalidArgumentException,
                       "addOperation: " + operation->description() + " is already enqueued on a queue");
    }
    if (operation->isExecuting() || operation->isFinished()) {
      lock.unlock();
      Exception::raise(kInvalidArgumentException, "addOperation: " + operation->description() +
                                                      " is executing or finished and cannot be enqueued");
    }
    operation->enqueued_ = true;
    operation->queue_ = std::static_pointer_cast<OperationQueue>(shared_from_this());
  }
  willChangeValueForKey(kOperationCount);
  {
    std::lock_guard lock(mutex_);
    entries_.push_back({operation, false});
    if (!selfWhileBusy_) selfWhileBusy_ = std::static_pointer_cast<OperationQueue>(shared_from_this());
  }
  didChangeValueForKey(kOperationCount);
  // An operation that finished meanwhile (started by hand) has already been looked for; drop it.
  if (operation->finishHandled_.load(std::memory_order_acquire)) operationFinished(*operation);
  startReadyOperations();
}

void OperationQueue::addOperations(const std::vector<OperationPtr>& operations, bool waitUntilFinished) {
  for (const OperationPtr& operation : operations) addOperation(operation);
  if (waitUntilFinished)
    for (const OperationPtr& operation : operations) operation->waitUntilFinished();
}

void OperationQueue::addOperationWithBlock(std::function<void()> block) {
  addOperation(BlockOperation::make(std::move(block)));
}

std::vector<OperationPtr> OperationQueue::operations() const {
  std::lock_guard lock(mutex_);
  std::vector<OperationPtr> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(e.operation);
  return out;
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void OperationQueue::cancelAllOperations() {
  for (const OperationPtr& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(mutex_);
  emptied_.wait(lock, [&] { return entries_.empty(); });
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
  if (count < kOperationQueueDefaultMaxConcurrentOperationCount)
    Exception::raise(kInvalidArgumentException,
                     format("setMaxConcurrentOperationCount: %ld is not a valid count", count));
  {
    std::lock_guard lock(mutex_);
    if (isMain_) return;
    maxConcurrent_ = count;
  }
  startReadyOperations();
}

long OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(mutex_);
  return maxConcurrent_;
}

void OperationQueue::setSuspended(bool suspended) {
  {
    std::lock_guard lock(mutex_);
    if (suspended_ == suspended) return;
  }
  announce(*this, kIsSuspended, [&] {
    std::lock_guard lock(mutex_);
    suspended_ = suspended;
  });
  if (!suspended) startReadyOperations();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(mutex_);
  return suspended_;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(mutex_);
  name_ = std::move(name);
}

std::string OperationQueue::name() const {
  std::lock_guard lock(mutex_);
  return name_;
}

void OperationQueue::setQualityOfService(QualityOfService qos) {
  std::lock_guard lock(mutex_);
  if (!isMain_) qos_ = qos;
}

QualityOfService OperationQueue::qualityOfService() const {
  std::lock_guard lock(mutex_);
  return qos_;
}

void OperationQueue::setUnderlyingQueue(DispatchQueuePtr queue) {
  std::lock_guard lock(mutex_);
  if (!isMain_) underlying_ = std::move(queue);
}

DispatchQueuePtr OperationQueue::underlyingQueue() const {
  std::lock_guard lock(mutex_);
  return underlying_;
}

Value OperationQueue::valueForKey(std::string_view key) const {
  if (key == kOperationCount) return Value(static_cast<std::uint64_t>(operationCount()));
  if (key == kIsSuspended) return Value(isSuspended());
  if (key == "maxConcurrentOperationCount") return Value(static_cast<std::int64_t>(maxConcurrentOperationCount()));
  if (key == "name") return Value(name());
  return Object::valueForKey(key);
}

std::string OperationQueue::description() const {
  return "<" + objectClass().name() + " " + addressOf(this) + "{name = '" + name() + "'}>";
}

DispatchQueuePtr OperationQueue::dispatchQueueLocked() const {
  if (underlying_) return underlying_;
  switch (qos_) {
    case QualityOfService::UserInteractive:
    case QualityOfService::UserInitiated:
      return DispatchQueue::global(DispatchPriority::High);
    case QualityOfService::Utility:
      return DispatchQueue::global(DispatchPriority::Low);
    case QualityOfService::Background:
      return DispatchQueue::global(DispatchPriority::Background);
    case QualityOfService::Default:
      break;
  }
  return DispatchQueue::global(DispatchPriority::Default);
}

void OperationQueue::operationFinished(Operation& operation) {
  OperationQueuePtr keep;  // released last, after this function no longer touches the queue
  willChangeValueForKey(kOperationCount);
  bool found = false;
  {
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.operation.get() == &operation; });
    if (it != entries_.end()) {
      if (it->started) --running_;
      entries_.erase(it);
      found = true;
    }
    if (entries_.empty()) {
      emptied_.notify_all();
      keep = std::move(selfWhileBusy_);
      selfWhileBusy_.reset();
    }
  }
  didChangeValueForKey(kOperationCount);
  if (found) startReadyOperations();
}

void OperationQueue::startReadyOperations() {
  // Readiness is asked outside the lock (isReady may be overridden), then the choice is made
  // under it; an operation that becomes ready meanwhile announces that and brings us back here.
  std::vector<Entry> candidates;
  {
    std::lock_guard lock(mutex_);
    if (suspended_) return;
    if (maxConcurrent_ != kOperationQueueDefaultMaxConcurrentOperationCount && running_ >= maxConcurrent_) return;
    for (const Entry& e : entries_)
      if (!e.started) candidates.push_back(e);
  }
  if (candidates.empty()) return;
  std::vector<OperationPtr> ready;
  for (const Entry& e : candidates)
    if (e.operation->isReady() && !e.operation->isExecuting() && !e.operation->isFinished())
      ready.push_back(e.operation);
  if (ready.empty()) return;
  // Higher priority first; equal priorities in the order added.
  std::stable_sort(ready.begin(), ready.end(), [](const OperationPtr& a, const OperationPtr& b) {
    return static_cast<int>(a->queuePriority()) > static_cast<int>(b->queuePriority());
  });
  std::vector<OperationPtr> toStart;
  DispatchQueuePtr target;
  {
    std::lock_guard lock(mutex_);
    if (suspended_) return;
    for (const OperationPtr& operation : ready) {
      if (maxConcurrent_ != kOperationQueueDefaultMaxConcurrentOperationCount && running_ >= maxConcurrent_) break;
      auto it =
          std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.operation == operation; });
      if (it == entries_.end() || it->started) continue;
      it->started = true;
      ++running_;
      toStart.push_back(operation);
    }
    target = dispatchQueueLocked();
  }
  for (const OperationPtr& operation : toStart) {
    auto self = std::static_pointer_cast<OperationQueue>(shared_from_this());
    target->async([self, operation] { self->runOperation(operation); });
  }
}

void OperationQueue::runOperation(const OperationPtr& operation) {
  OperationQueue* previous = std::exchange(tCurrentQueue, this);
  struct Restore {
    OperationQueue* previous;
    ~Restore() { tCurrentQueue = previous; }
  } restore{previous};
  if (operation->isFinished() || operation->isExecuting()) return;  // started by hand meanwhile
  operation->start();
}

}  // namespace platform
