#pragma once

// ZRVMainEditEventValidator: the event editor's rules. It keeps a copy of the event as it was
// when editing began and answers whether an edited event differs from it, may be saved (a name
// that is not empty and a date later than now) and may be deleted (anything but an event still
// being added, which can only be cancelled).
//
// Threads: belongs to the thread that uses it (the main thread).

#include <memory>

#include "app/model/ZRVEvent.h"
#include "platform/runtime/object.h"

class ZRVMainEditEventValidator : public platform::Object {
  ZORVEL_CLASS(ZRVMainEditEventValidator, platform::Object)

 public:
  explicit ZRVMainEditEventValidator(const ZRVEvent& event);

  const std::shared_ptr<ZRVEvent>& initialEvent() const { return initialEvent_; }

  // True when any property value (name, date, skin, link, state, uuid, creation and update dates)
  // differs from the kept copy; two missing values are equal.
  bool isEventHasChanges(const ZRVEvent& event) const;
  // A name that exists and is not "" (spaces count), and a date strictly later than now.
  bool isEventCanBeSaved(const ZRVEvent& event) const;
  // Any state but adding.
  bool isEventCanBeDeleted(const ZRVEvent& event) const;

 private:
  std::shared_ptr<ZRVEvent> initialEvent_;
};
