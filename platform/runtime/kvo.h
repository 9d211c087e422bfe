#pragma once

// Key-value observing: observers registered on an object for a key path hear about changes of
// its value. The member functions (addObserver, removeObserver, will/didChangeValueForKey, the
// indexed will/didChange, automaticallyNotifiesObserversForKey) are declared on Object
// (object.h); this header holds the options, the change record and the observer interface.
//
// Threads: registration, removal and notification may happen on any thread; an observer is
// called on the thread that made the change, outside the runtime's locks (so it may add or remove
// observers). Observers are held weakly: one that is gone is skipped.
//
// Dependent keys: a class says which key paths a key's value is computed from, through class
// methods by name (methods.h), each answering a set or an array of key-path strings (nil: none):
//
//   "keyPathsForValuesAffecting<Key>"         no arguments; e.g. "keyPathsForValuesAffectingFullName"
//                                              answering {"firstName", "lastName", "spouse.name"}
//   "keyPathsForValuesAffectingValueForKey:"  the general form, given the key; the root class's
//                                              answer is the first form's when the class has it.
//
// A class overriding the general form adds it with Class::addClassMethod and calls the inherited
// answer as superclass()->classMethodForSelector(sel)(cls, args), passing on the asking class.
// An observer of a key then also hears of every change of a key path affecting it, and of what
// affects those in turn, each as a change of the observed key (kind Setting, with the key's own
// old and new values). Dotted affecting paths follow replaced intermediates like observed paths.
// The answers are read when an observation is made (also each time a dotted observation re-binds
// to a new intermediate), so a class gives them at static initialisation.

#include <string_view>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

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
  IndexSet indexes;      // empty for settings
  bool isPrior = false;  // sent before the change (ObservePrior)

  // The platform's change dictionary: kind, and new, old, indexes (an array of numbers) and
  // notificationIsPrior when present.
  Value dictionary() const;
};

inline constexpr std::string_view kKeyPathsForValuesAffectingValueForKeySelector =
    "keyPathsForValuesAffectingValueForKey:";

// The key paths affecting `key` of instances of `cls`: the class's answer to the general form
// above, as a set of strings (other elements are dropped).
ValueSet keyPathsForValuesAffectingValueForKey(const Class& cls, std::string_view key);

class KeyValueObserver {
 public:
  virtual ~KeyValueObserver() = default;
  // `keyPath` and `context` are those of the registration; `object` the object it was made on.
  virtual void observeValueForKeyPath(std::string_view keyPath, Object& object, const KeyValueChange& change,
                                      void* context) = 0;
};

}  // namespace platform
