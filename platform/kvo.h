#pragma once

// Key-value observing: observers registered on an object for a key path hear about changes of
// its value. The member functions (addObserver, removeObserver, will/didChangeValueForKey, the
// indexed will/didChange, automaticallyNotifiesObserversForKey) are declared on Object
// (object.h); this header holds the options, the change record and the observer interface.
//
// Threads: registration, removal and notification may happen on any thread; an observer is
// called on the thread that made the change, outside the runtime's locks (so it may add or remove
// observers). Observers are held weakly: one that is gone is skipped.

#include <string_view>

#include "platform/object.h"
#include "platform/value.h"

namespace platform {

// Observing options (the platform's numbers); combine with |.
enum KeyValueObservingOptions : unsigned {
  ObserveNew = 1,      // the record carries the new value
  ObserveOld = 2,      // the record carries the old value
  ObserveInitial = 4,  // one notification with the current value while registering
  ObservePrior = 8,    // one more notification before each change
};

// Keys of the platform's change dictionary.
inline constexpr std::string_view kKeyValueChangeKindKey = "kind";
inline constexpr std::string_view kKeyValueChangeNewKey = "new";
inline constexpr std::string_view kKeyValueChangeOldKey = "old";
inline constexpr std::string_view kKeyValueChangeIndexesKey = "indexes";
inline constexpr std::string_view kKeyValueChangeNotificationIsPriorKey = "notificationIsPrior";

// One notification. New and old are nil when not asked for (or not applicable to the kind) and
// the null marker when asked for but the value is nil. For indexed changes they are arrays of the
// elements at `indexes`.
struct KeyValueChange {
  KeyValueChangeKind kind = KeyValueChangeKind::Setting;
  Value newValue;
  Value oldValue;
  IndexSet indexes;       // empty for settings
  bool isPrior = false;   // sent before the change (ObservePrior)

  // The platform's change dictionary: kind, and new, old, indexes (an array of numbers) and
  // notificationIsPrior when present.
  Value dictionary() const;
};

class KeyValueObserver {
 public:
  virtual ~KeyValueObserver() = default;
  // `keyPath` and `context` are those of the registration; `object` the object it was made on.
  virtual void observeValueForKeyPath(std::string_view keyPath, Object& object, const KeyValueChange& change,
                                      void* context) = 0;
};

}  // namespace platform
