#pragma once

// Notifications and the notification centre through which components tell each other about
// events without knowing each other.
//
// Threads: posting, adding and removing observers may happen on any thread at once. An observer
// without a queue runs on the posting thread, inside post(); an observer with a queue runs
// asynchronously on that queue (post() does not wait for it). Observer blocks may post, add and
// remove observers (themselves included) without deadlock.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/dispatch/dispatch.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

namespace platform {

// One posted event: a name, the object it is about (may be null) and user info (nil or a
// dictionary). Immutable, so it may be shared between threads.
class Notification : public Object {
  ZORVEL_CLASS(Notification, Object)

 public:
  Notification(std::string name, ObjectPtr object = nullptr, Value userInfo = {});
  static std::shared_ptr<Notification> make(std::string name, ObjectPtr object = nullptr, Value userInfo = {});
  // A notification that does not keep its object alive (for one that may wait in a queue while
  // its object should be free to go): object() answers null once the object is gone, and
  // observers registered for that object then no longer match it.
  static std::shared_ptr<Notification> makeWithWeakObject(std::string name, const ObjectPtr& object,
                                                          Value userInfo = {});

  const std::string& name() const { return name_; }
  ObjectPtr object() const { return object_.asObject(); }
  const Value& userInfo() const { return userInfo_; }

  // "Notification name = <name>; object = <object>; userInfo = <user info>"
  std::string description() const override;

 private:
  struct HeldAs {};
  Notification(HeldAs, std::string name, Value object, Value userInfo);

  std::string name_;
  Value object_;  // nil, or a strong or weak object reference
  Value userInfo_;
};
using NotificationPtr = std::shared_ptr<Notification>;

class NotificationCenter : public std::enable_shared_from_this<NotificationCenter> {
 public:
  using Block = std::function<void(const NotificationPtr&)>;
  // Stands for one registration; hand it to removeObserver. Dropping it does not remove the
  // observer: the centre keeps the registration until it is removed.
  class Observation;
  using ObserverToken = std::shared_ptr<Observation>;

  // The process's shared centre; it lives until the process ends.
  static const std::shared_ptr<NotificationCenter>& defaultCenter();
  // A separate centre (for tests and private channels).
  static std::shared_ptr<NotificationCenter> create();

  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Registers the block for notifications with this name (empty: every name) about this object
  // (null: any object, including none). The object is matched by identity and held weakly; once
  // it is gone the registration matches nothing and is dropped. With a queue the block runs
  // asynchronously on it, else on the posting thread. `owner`, when given, tags the registration
  // for removeObserversOwnedBy (it is only compared, never used).
  ObserverToken addObserver(std::string name, const ObjectPtr& object, DispatchQueuePtr queue, Block block,
                            const void* owner = nullptr);

  // Ends the registration. When it returns, the block is not running on any other thread and will
  // not be called again (calls already queued are skipped); a removal from inside the block's own
  // call lets that call finish. Removing a removed registration does nothing.
  // Waiting for a block running elsewhere means: a block must not remove an observer whose block
  // is at that moment waiting for the first block to finish (the two would wait for each other).
  void removeObserver(const ObserverToken& token);
  // Removes, as removeObserver does, every registration tagged with the owner whose name equals
  // `name` (empty: any) and whose object is `object` (null: any).
  void removeObserversOwnedBy(const void* owner, std::string_view name = {}, const Object* object = nullptr);

  // Delivers the notification to every matching registration, in registration order, and returns
  // after the observers without a queue have run. Registrations added while a post is under way
  // do not get that notification. An exception thrown by a block ends the delivery and reaches the
  // poster.
  void post(const NotificationPtr& notification);
  void post(std::string name, ObjectPtr object = nullptr, Value userInfo = {});
  // Posts the notification through this centre from the main queue, later; returns at once.
  void postOnMainQueueAsync(NotificationPtr notification);

 private:
  NotificationCenter();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace platform
