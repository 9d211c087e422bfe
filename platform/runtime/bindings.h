#pragma once

// Bindings: a key of one object (the binding's name) kept in step with a key path of another
// object (the observable), both ways, through key-value coding and observing. The member
// functions (bind, unbind, infoForBinding) are declared on Object (object.h).
//
//   label->bind("text", settings, "user.name", {{std::string(platform::kNullPlaceholderBindingOption), Value("-")}});
//
// Rules:
// - At bind, the receiver's key takes the observable's current value; from then on every change
//   of the key path is set on the receiver's key, and every change of the receiver's key is set
//   on the key path. A value carried one way is not carried back.
// - Options: kValueTransformerBindingOption (a ValueTransformer) or kValueTransformerNameBindingOption
//   (a registered name, value_transformer.h) transforms values on their way to the receiver, and
//   reverses them on the way back when the transformer allows it (otherwise changes of the
//   receiver's key are not carried back); kNullPlaceholderBindingOption replaces a nil (or null)
//   value on its way to the receiver; kContinuouslyUpdatesValueBindingOption is kept in the
//   binding's info (every change is carried at once here).
// - Binding a name again replaces the earlier binding of that name. The receiver keeps its
//   bindings; the observable is held weakly: once it is gone nothing more is carried. A binding
//   ends with unbind or with the receiver.
// - A receiver or observable without the keys raises kUndefinedKeyException at bind.
//
// Threads: bind and unbind may be called from any thread; values are carried on the thread that
// made the change.

#include <string_view>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/runtime/value_transformer.h"

namespace platform {

inline constexpr std::string_view kContinuouslyUpdatesValueBindingOption = "NSContinuouslyUpdatesValue";
inline constexpr std::string_view kNullPlaceholderBindingOption = "NSNullPlaceholder";
inline constexpr std::string_view kValueTransformerBindingOption = "NSValueTransformer";
inline constexpr std::string_view kValueTransformerNameBindingOption = "NSValueTransformerName";

// Keys of infoForBinding's dictionary.
inline constexpr std::string_view kObservedObjectKey = "NSObservedObject";
inline constexpr std::string_view kObservedKeyPathKey = "NSObservedKeyPath";
inline constexpr std::string_view kOptionsKey = "NSOptions";

}  // namespace platform
