#include "sdkhost/HBRAsyncOperation.h"

#include "platform/runtime/format.h"
#include "platform/system/locks.h"
#include "sdkhost/HBRConstants.h"

using namespace platform;

std::string HBRCompoundOperationErrorDomain() {
  return std::string(kHBRMakerReverseDomain) + ".HBRCompoundOperation.error";
}

std::string HBRCompoundOperationUnderlyingErrorsKey() {
  return std::string(kHBRMakerReverseDomain) + ".HBRCompoundOperation.error.user-info-key.underlying-errors";
}

// --- HBRAsyncOperation -----------------------------------------------------------------------------

HBRAsyncOperation::HBRAsyncOperation() = default;

std::string HBRAsyncOperation::lockName() const {
  return std::string(kHBRMakerReverseDomain) + "." + objectClass().name() + "-lock";
}

void HBRAsyncOperation::start() {
  if (isCancelled()) {
    markDone();
    return;
  }
  markStarted();
  main();
}

void HBRAsyncOperation::finishWithError(const ErrorPtr& error) {
  if (AsyncCompletion completion = asyncCompletion()) completion(error);
  markDone();
}

void HBRAsyncOperation::setAsyncCompletion(AsyncCompletion completion) {
  platform::MutexLock guard(lock_);
  asyncCompletion_ = std::move(completion);
}

HBRAsyncOperation::AsyncCompletion HBRAsyncOperation::asyncCompletion() const {
  platform::MutexLock guard(lock_);
  return asyncCompletion_;
}

void HBRAsyncOperation::markStarted() {
  platform::MutexLock guard(lock_);
  changeValueForKey("isExecuting", [&] { executing_.store(true, std::memory_order_release); });
}

void HBRAsyncOperation::markDone() {
  platform::MutexLock guard(lock_);
  if (finished_.load(std::memory_order_acquire)) return;
  changeValueForKey("isExecuting", [&] { executing_.store(false, std::memory_order_release); });
  changeValueForKey("isFinished", [&] { finished_.store(true, std::memory_order_release); });
}

bool HBRAsyncOperation::checkForCancellation() {
  if (!isCancelled()) return false;
  markDone();
  return true;
}

void HBRAsyncOperation::changeValueForKey(std::string_view key, const std::function<void()>& block) {
  willChangeValueForKey(key);
  block();
  didChangeValueForKey(key);
}

void HBRAsyncOperation::lock(const std::function<void()>& block) {
  platform::MutexLock guard(lock_);
  block();
}

// --- HBRCompoundOperation --------------------------------------------------------------------------

HBRCompoundOperation::HBRCompoundOperation()
    : compoundQueue_(OperationQueue::create()),
      countingQueue_(DispatchQueue::createSerial(std::string(kHBRMakerReverseDomain) +
                                                 ".HBRCompoundOperation.dispatch-queue.counting-queue")) {}

std::shared_ptr<HBRCompoundOperation> HBRCompoundOperation::make(
    std::vector<std::shared_ptr<HBRAsyncOperation>> operations) {
  auto compound = platform::make<HBRCompoundOperation>();
  compound->operations_ = std::move(operations);
  return compound;
}

std::uint64_t HBRCompoundOperation::completedOperations() const {
  return countingQueue_->sync([&] { return completedOperations_; });
}

std::vector<ErrorPtr> HBRCompoundOperation::errors() const {
  return countingQueue_->sync([&] { return errors_; });
}

void HBRCompoundOperation::main() {
  mainRan_ = true;
  std::weak_ptr<HBRCompoundOperation> weak = std::static_pointer_cast<HBRCompoundOperation>(shared_from_this());
  DispatchQueuePtr counting = countingQueue_;
  for (const auto& operation : operations_) {
    AsyncCompletion previous = operation->asyncCompletion();
    operation->setAsyncCompletion([weak, previous, counting](const ErrorPtr& error) {
      if (previous) counting->sync([&] { previous(error); });
      auto self = weak.lock();
      if (!self) return;
      counting->sync([&] {
        if (error)
          self->errors_.push_back(error);
        else
          ++self->completedOperations_;
      });
    });
    Operation::CompletionBlock previousBlock = operation->completionBlock();
    operation->setCompletionBlock([weak, previousBlock, counting] {
      if (previousBlock) counting->sync([&] { previousBlock(); });
      auto self = weak.lock();
      if (!self) return;
      counting->sync([&] { self->attemptCompoundCompletion(); });
    });
    compoundQueue_->addOperation(operation);
  }
}

void HBRCompoundOperation::cancel() {
  // Cancelled first, so that the attempt below already sees it.
  HBRAsyncOperation::cancel();
  if (compoundQueue_->operationCount() > 0) {
    compoundQueue_->cancelAllOperations();
    auto self = std::static_pointer_cast<HBRCompoundOperation>(shared_from_this());
    countingQueue_->async([self] { self->attemptCompoundCompletion(); });
  } else if (!mainRan_.exchange(true)) {
    // Not started: the operations are cancelled and run out on the queue (each may join a
    // queue only once, so this happens at most once and never after main()).
    for (const auto& operation : operations_) operation->cancel();
    std::vector<OperationPtr> all(operations_.begin(), operations_.end());
    compoundQueue_->addOperations(all, false);
  }
}

void HBRCompoundOperation::attemptCompoundCompletion() {
  if (isFinished()) return;  // several completion blocks may see the last count: finish once
  if (isCancelled()) {
    Value info;
    info.set(std::string(kLocalizedDescriptionKey), format("%@ cancelled", name()));
    finishWithError(
        Error::make(HBRCompoundOperationErrorDomain(), kHBRCompoundOperationCancelledError, std::move(info)));
    setAsyncCompletion(nullptr);
    return;
  }
  if (completedOperations_ + errors_.size() != operations_.size()) return;
  if (errors_.empty()) {
    finishWithError(nullptr);
    return;
  }
  ValueArray underlying;
  for (const ErrorPtr& error : errors_) underlying.push_back(Value(error));
  Value info;
  info.set(HBRCompoundOperationUnderlyingErrorsKey(), Value(std::move(underlying)));
  finishWithError(Error::make(HBRCompoundOperationErrorDomain(), kHBRCompoundOperationFailedError, std::move(info)));
}
