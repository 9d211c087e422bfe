// Waiting for work: dispatch groups (a count of outstanding blocks, waiters and notifications) and
// counting semaphores.

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/dispatch/dispatch_internal.h"

namespace platform {

using namespace detail;

namespace {

class GroupImpl final : public DispatchGroup {
 public:
  std::mutex mutex;
  std::condition_variable cv;
  long count = 0;
  std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifications;
};

GroupImpl* impl(DispatchGroup* group) { return static_cast<GroupImpl*>(group); }

}  // namespace

std::shared_ptr<DispatchGroup> DispatchGroup::create() { return std::make_shared<GroupImpl>(); }

void DispatchGroup::enter() {
  auto* self = impl(this);
  std::lock_guard lock(self->mutex);
  ++self->count;
}

void DispatchGroup::leave() {
  auto* self = impl(this);
  std::vector<std::pair<DispatchQueuePtr, DispatchBlock>> notifications;
  {
    std::lock_guard lock(self->mutex);
    if (self->count == 0) dispatchFatal("dispatch group left more often than entered");
    if (--self->count > 0) return;
    notifications.swap(self->notifications);
    self->cv.notify_all();
  }
  for (auto& [queue, block] : notifications) queue->async(std::move(block));
}

void DispatchGroup::async(const DispatchQueuePtr& queue, DispatchBlock block) {
  enter();
  queue->async([group = shared_from_this(), block = std::move(block)] {
    block();
    group->leave();
  });
}

bool DispatchGroup::wait(double timeoutSeconds) {
  auto* self = impl(this);
  std::unique_lock lock(self->mutex);
  auto empty = [&] { return self->count == 0; };
  if (timeoutSeconds > kFarAwaySeconds) {
    self->cv.wait(lock, empty);
    return true;
  }
  return self->cv.wait_until(lock, deadlineAfter(timeoutSeconds), empty);
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, DispatchBlock block) {
  auto* self = impl(this);
  {
    std::lock_guard lock(self->mutex);
    if (self->count > 0) {
      self->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

struct DispatchSemaphore::State {
  std::mutex mutex;
  std::condition_variable cv;
  long value = 0;
  long waiters = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_unique<State>()) { state_->value = value; }

DispatchSemaphore::~DispatchSemaphore() = default;

bool DispatchSemaphore::wait(double timeoutSeconds) {
  std::unique_lock lock(state_->mutex);
  auto available = [&] { return state_->value > 0; };
  ++state_->waiters;
  bool got;
  if (timeoutSeconds > kFarAwaySeconds) {
    state_->cv.wait(lock, available);
    got = true;
  } else {
    got = state_->cv.wait_until(lock, deadlineAfter(timeoutSeconds), available);
  }
  --state_->waiters;
  if (got) --state_->value;
  return got;
}

bool DispatchSemaphore::signal() {
  std::lock_guard lock(state_->mutex);
  ++state_->value;
  if (state_->waiters == 0) return false;
  state_->cv.notify_one();
  return true;
}

}  // namespace platform
