#include "platform/services/notification_center.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

// ---- Notification ---------------------------------------------------------------------------

Notification::Notification(std::string name, ObjectPtr object, Value userInfo)
    : name_(std::move(name)), object_(std::move(object)), userInfo_(std::move(userInfo)) {}

Notification::Notification(HeldAs, std::string name, Value object, Value userInfo)
    : name_(std::move(name)), object_(std::move(object)), userInfo_(std::move(userInfo)) {}

std::shared_ptr<Notification> Notification::make(std::string name, ObjectPtr object, Value userInfo) {
  return platform::make<Notification>(std::move(name), std::move(object), std::move(userInfo));
}

std::shared_ptr<Notification> Notification::makeWithWeakObject(std::string name, const ObjectPtr& object,
                                                               Value userInfo) {
  return platform::make<Notification>(HeldAs{}, std::move(name), Value::weakObject(object), std::move(userInfo));
}

std::string Notification::description() const {
  const ObjectPtr object = this->object();
  return "Notification name = " + name_ + "; object = " + (object ? object->description() : "(null)") +
         "; userInfo = " + (userInfo_.isNil() ? "(null)" : userInfo_.description());
}

// ---- Observation ----------------------------------------------------------------------------

// One registration. The matching fields never change after creation; the call bookkeeping is
// guarded by its own mutex so that removal can wait for calls running on other threads.
class NotificationCenter::Observation {
 public:
  Observation(std::string name, const ObjectPtr& object, DispatchQueuePtr queue, Block block, const void* owner)
      : name_(std::move(name)),
        objectAddress_(object.get()),
        object_(object),
        queue_(std::move(queue)),
        block_(std::move(block)),
        owner_(owner) {}

  bool matches(const Notification& notification) const {
    if (!name_.empty() && name_ != notification.name()) return false;
    if (!objectAddress_) return true;
    // Same address and same owner block: the very object, not a later one at a reused address
    // (the weak reference keeps the old control block, so a new object cannot share it).
    const ObjectPtr posted = notification.object();
    return posted.get() == objectAddress_ && !object_.owner_before(posted) && !posted.owner_before(object_);
  }

  // True when the observed object is gone: the registration can never match again.
  bool isOrphaned() const { return objectAddress_ && object_.expired(); }

  bool isOwnedBy(const void* owner, std::string_view name, const Object* object) const {
    return owner_ == owner && (name.empty() || name == name_) && (!object || object == objectAddress_);
  }

  const DispatchQueuePtr& queue() const { return queue_; }

  // Runs the block unless the registration was removed; counts the call so removal can wait.
  void invoke(const NotificationPtr& notification) {
    {
      std::lock_guard lock(mutex_);
      if (removed_) return;
      runningThreads_.push_back(std::this_thread::get_id());
    }
    struct Finish {
      Observation& self;
      ~Finish() {
        std::lock_guard lock(self.mutex_);
        auto it = std::find(self.runningThreads_.begin(), self.runningThreads_.end(), std::this_thread::get_id());
        self.runningThreads_.erase(it);
        self.finished_.notify_all();
      }
    } finish{*this};
    block_(notification);
  }

  // Marks the registration removed and waits until no other thread is inside its block.
  void markRemovedAndWait() {
    std::unique_lock lock(mutex_);
    removed_ = true;
    const auto self = std::this_thread::get_id();
    finished_.wait(lock, [&] {
      return std::all_of(runningThreads_.begin(), runningThreads_.end(), [&](auto id) { return id == self; });
    });
  }

 private:
  const std::string name_;
  const Object* const objectAddress_;  // identity only; never dereferenced
  const std::weak_ptr<Object> object_;
  const DispatchQueuePtr queue_;
  const Block block_;
  const void* const owner_;

  std::mutex mutex_;
  std::condition_variable finished_;
  bool removed_ = false;                         // guarded by mutex_
  std::vector<std::thread::id> runningThreads_;  // guarded by mutex_; one entry per running call
};

// ---- NotificationCenter ---------------------------------------------------------------------

struct NotificationCenter::State {
  std::mutex mutex;
  std::vector<ObserverToken> observations;  // guarded by mutex; in registration order

  // Drops registrations whose object is gone. Called with the mutex held.
  void pruneOrphans() {
    std::erase_if(observations, [](const ObserverToken& o) { return o->isOrphaned(); });
  }
};

NotificationCenter::NotificationCenter() : state_(std::make_unique<State>()) {}

NotificationCenter::~NotificationCenter() = default;

const std::shared_ptr<NotificationCenter>& NotificationCenter::defaultCenter() {
  // Never destroyed: observers may post or remove during static destruction.
  static const auto* center = new std::shared_ptr<NotificationCenter>(create());
  return *center;
}

std::shared_ptr<NotificationCenter> NotificationCenter::create() {
  return std::shared_ptr<NotificationCenter>(new NotificationCenter());
}

NotificationCenter::ObserverToken NotificationCenter::addObserver(std::string name, const ObjectPtr& object,
                                                                  DispatchQueuePtr queue, Block block,
                                                                  const void* owner) {
  auto observation = std::make_shared<Observation>(std::move(name), object, std::move(queue), std::move(block), owner);
  std::lock_guard lock(state_->mutex);
  state_->pruneOrphans();
  state_->observations.push_back(observation);
  return observation;
}

void NotificationCenter::removeObserver(const ObserverToken& token) {
  if (!token) return;
  {
    std::lock_guard lock(state_->mutex);
    std::erase(state_->observations, token);
  }
  // Outside the centre's lock: the block being waited for may itself post or remove.
  token->markRemovedAndWait();
}

void NotificationCenter::removeObserversOwnedBy(const void* owner, std::string_view name, const Object* object) {
  std::vector<ObserverToken> removed;
  {
    std::lock_guard lock(state_->mutex);
    auto& list = state_->observations;
    for (auto it = list.begin(); it != list.end();) {
      if ((*it)->isOwnedBy(owner, name, object)) {
        removed.push_back(std::move(*it));
        it = list.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (const auto& observation : removed) observation->markRemovedAndWait();
}

void NotificationCenter::post(const NotificationPtr& notification) {
  if (!notification) return;
  std::vector<ObserverToken> matching;
  {
    std::lock_guard lock(state_->mutex);
    state_->pruneOrphans();
    for (const auto& observation : state_->observations) {
      if (observation->matches(*notification)) matching.push_back(observation);
    }
  }
  // Blocks run without the centre's lock, so they may post, add and remove freely.
  for (const auto& observation : matching) {
    if (const auto& queue = observation->queue()) {
      queue->async([observation, notification] { observation->invoke(notification); });
    } else {
      observation->invoke(notification);
    }
  }
}

void NotificationCenter::post(std::string name, ObjectPtr object, Value userInfo) {
  post(Notification::make(std::move(name), std::move(object), std::move(userInfo)));
}

void NotificationCenter::postOnMainQueueAsync(NotificationPtr notification) {
  DispatchQueue::main()->async(
      [center = shared_from_this(), notification = std::move(notification)] { center->post(notification); });
}

}  // namespace platform
