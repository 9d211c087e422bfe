#pragma once

// Key-value observing of key paths, one component at a time, with the deallocation of weakly held
// intermediate objects seen as a change to nil; and the helpers it stands on: key path strings and
// the parser of the platform's property attribute strings.
//
// rf_observeKeyPath observes the first component of the path on the receiver and the rest of the
// path on the first component's current value, re-attaching the rest whenever that value
// changes (the old value's observation is let go at the prior notice of the change). When the
// first component is a weak object property, the deallocation of its value counts as a change to
// nil. The whole observation ends when the returned disposable is disposed or when the receiver
// or the observer is deallocated.
//
// Threads: as the platform's observing: callbacks run on the thread that made the change; any
// thread may observe and dispose. The parser is pure. Parser failures are written to standard
// error as the lines named below.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"
#include "reactive/RFDisposable.h"
#include "reactive/bridges/RFKVOTrampoline.h"

// --- Key path strings -------------------------------------------------------------------------------
// The components between dots; none for the empty string.
std::vector<std::string> rf_keyPathComponents(std::string_view keyPath);
// Everything before the last dot; nullopt without a dot.
std::optional<std::string> rf_keyPathByDeletingLastKeyPathComponent(std::string_view keyPath);
// Everything after the first dot; nullopt without a dot.
std::optional<std::string> rf_keyPathByDeletingFirstKeyPathComponent(std::string_view keyPath);

// --- Property attributes ----------------------------------------------------------------------------
enum class RFPropertyMemoryPolicy : std::int32_t { Assign = 0, Retain = 1, Copy = 2 };

// What an attribute string ("T@\"NSString\",&,N,V_name") says of a property.
struct RFPropertyAttributes {
  bool readonly = false;
  bool nonatomic = false;
  bool weak = false;
  bool canBeCollected = false;
  bool dynamic = false;
  RFPropertyMemoryPolicy memoryPolicy = RFPropertyMemoryPolicy::Assign;
  std::string getter;
  std::string setter;
  std::optional<std::string> ivar;               // none when dynamic or not given
  const platform::Class* objectClass = nullptr;  // the class named in an object type, if registered
  std::string type;                              // the type encoding
};

// Parses the property's attribute string. Null (and a line on standard error) when it cannot:
//   "ERROR: Could not get attribute string from property %s"
//   "ERROR: Expected attribute string \"%s\" for property %s to start with 'T'"
//   "ERROR: Could not read past type in attribute string \"%s\" for property %s"
//   "ERROR: Invalid type in attribute string \"%s\" for property %s"
//   "ERROR: Could not read class name in attribute string \"%s\" for property %s"
//   "ERROR: Found zero length selector name in attribute string \"%s\" for property %s"
// and, keeping the result: "ERROR: Old-style type encoding is unsupported ...", "ERROR:
// Unrecognized attribute string flag '%c' ...", "Warning: Unparsed data \"%s\" ...". Without a
// getter the getter is the property's name; without a setter, "set" + Name + ":".
std::unique_ptr<RFPropertyAttributes> RFPropertyAttributesFromProperty(const platform::Property* property);
std::unique_ptr<RFPropertyAttributes> RFPropertyAttributesFromAttributeString(std::string_view attributes,
                                                                              std::string_view propertyName);

// --- Observing ----------------------------------------------------------------------------------
// Gets the key path's value (nil when unknown), the platform's change dictionary, whether the
// call comes from the deallocation of a weakly held value, and whether the change concerns the
// last component of the path.
using RFKVOBlock = std::function<void(const platform::Value& value, const platform::Value& change, bool causedByDealloc,
                                      bool affectedOnlyLastComponent)>;

// Observes the key path with the options (platform::KeyValueObservingOptions; the initial option
// calls the block once now, the prior option adds a call before each change of the first
// component). The observer (may be null) only bounds the observation's life. Returns what ends
// the observation.
RFDisposablePtr rf_observeKeyPath(platform::Object& receiver, std::string_view keyPath, unsigned options,
                                  platform::Object* observer, RFKVOBlock block);

// One registration of the whole key path with the platform (no per-component handling).
RFKVOTrampolinePtr rf_addObserver(platform::Object& receiver, platform::Object* observer, std::string keyPath,
                                  unsigned options, RFKVOTrampoline::Block block);
