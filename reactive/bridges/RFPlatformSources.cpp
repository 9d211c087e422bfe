#include "reactive/bridges/RFPlatformSources.h"

#include "platform/runtime/error.h"
#include "reactive/RFSubject.h"

RFSignalPtr rf_addObserverForName(const std::shared_ptr<platform::NotificationCenter>& center, std::string name,
                                  const platform::ObjectPtr& object) {
  std::weak_ptr<platform::Object> weakObject = object;
  bool hasObject = object != nullptr;
  RFSignalPtr result = RFSignal::createSignal(
      [center, name, weakObject, hasObject](const RFSubscriberPtr& subscriber) -> RFDisposablePtr {
        platform::ObjectPtr object = weakObject.lock();
        if (hasObject && !object) return nullptr;  // its object is gone: nothing can come
        platform::NotificationCenter::ObserverToken token = center->addObserver(
            name, object, nullptr,
            [subscriber](const platform::NotificationPtr& n) { subscriber->sendNext(platform::Value(n)); });
        return RFDisposable::disposableWithBlock([center, token] { center->removeObserver(token); });
      });
  if (rf_debugNamesEnabled()) {
    result->setName(platform::format("-rf_addObserverForName: %@ object: <%@: %p>", name,
                                     object ? object->objectClass().name() : std::string("(null)"),
                                     static_cast<const void*>(object.get())));
  }
  return result;
}

RFSignalPtr rf_readInBackground(const platform::FileHandlePtr& handle) {
  RFReplaySubjectPtr subject = RFReplaySubject::subject();
  subject->setNameWithFormat("%@ -rf_readInBackground", rf_description(*handle));
  // Ended at the end of the file or at a failure; until then it holds the handle.
  RFSerialDisposablePtr reading = RFSerialDisposable::serialDisposable();
  std::string name(platform::kFileHandleReadCompletionNotification);
  RFSignalPtr chunks = rf_addObserverForName(platform::NotificationCenter::defaultCenter(), name, handle);
  RFDisposablePtr subscription;
  // Subscribed now, whatever the thread, so that no chunk can come before the observer.
  RFScheduler::immediateScheduler()->performAsCurrentScheduler([&] {
    subscription = chunks->subscribeNext([handle, subject, reading](const platform::Value& value) {
      platform::NotificationPtr notification = value.as<platform::Notification>();
      const platform::Value& info = notification->userInfo();
      const platform::Value& failure = info[platform::kFileHandleError];
      if (!failure.isNil()) {
        subject->sendError(platform::posixError(static_cast<int>(failure.asInt64()), "cannot read"));
        reading->dispose();
        return;
      }
      const platform::Value& data = info[platform::kFileHandleNotificationDataItem];
      if (data.asData().empty()) {
        subject->sendCompleted();
        reading->dispose();
        return;
      }
      subject->sendNext(data);
      handle->readInBackgroundAndNotify();
    });
  });
  reading->setDisposable(subscription);
  handle->readInBackgroundAndNotify();
  return subject;
}
