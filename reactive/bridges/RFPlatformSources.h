#pragma once

// Platform event sources as signals: notifications and background reading of a file handle.
// (The control and text sources of the interface toolkit are in reactive/bridges/interface/.)
//
// - rf_addObserverForName: a cold signal; each subscription registers one observer with the
//   centre (without a queue, so notifications arrive on the posting thread) and sends each
//   notification; disposing the subscription removes the observer. It never completes. It holds
//   the centre strongly and the object weakly: once the object is gone, new subscriptions observe
//   nothing (they never stand for "any object").
// - rf_readInBackground: reads the handle chunk by chunk in the background (file_handle.h): each
//   non-empty chunk is a value, the end of the file completes, and a failed read fails with its
//   POSIX error. The result is a replay subject, so a late subscriber gets everything; it cannot
//   be cancelled, and the handle is held until the end. Chunks arrive on the main thread while the
//   main run loop runs.

#include <memory>
#include <string>

#include "platform/runtime/object.h"
#include "platform/services/file_handle.h"
#include "platform/services/notification_center.h"
#include "reactive/RFSignal.h"

// "-rf_addObserverForName: %@ object: <%@: %p>"
RFSignalPtr rf_addObserverForName(const std::shared_ptr<platform::NotificationCenter>& center, std::string name,
                                  const platform::ObjectPtr& object);
// "%@ -rf_readInBackground"
RFSignalPtr rf_readInBackground(const platform::FileHandlePtr& handle);
