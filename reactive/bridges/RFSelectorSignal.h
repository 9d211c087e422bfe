#pragma once

// Selector signals: every call of a method by name (methods.h) on one object becomes a value, the
// RFTuple of the call's arguments (nil as the tuple nil marker), sent after the method's own
// implementation, if it has one, has run. The delegate proxy turns the calls of a delegate
// protocol into such signals.
//
// How: the object is given a run-time subclass of its class, named after it with the suffix
// "_RFSelectorSignal" and shared by all objects of that class, whose method for the selector is
// intercepted. (An object whose class was already replaced by another run-time subclass has that
// class patched in place instead.) The object still states its old class (objectClass()); its
// actualClass() is the subclass. Other objects of the class behave as before. A selector the
// class has no method for is added, taking its types from the protocol when one is given (the
// protocol must declare it, else the signal fails with kRFSelectorSignalErrorNotInProtocol) and
// otherwise no result and object arguments; such a selector answers respondsToSelector only for
// objects that have a signal for it, and a call of it on another object of the patched class is
// an unrecognized selector.
//
// Each selector's signal is a subject made once per object; it completes when the object is
// deallocated and does not keep the object alive.
//
// Threads: set-up runs under the object's lock (and, per class, a process-wide lock); calls are
// caught on the calling thread, which the subject sends on.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/methods.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/locks.h"
#include "reactive/RFSignal.h"
#include "reactive/RFTuple.h"

inline constexpr std::string_view kRFSelectorSignalErrorDomain = "RFSelectorSignalErrorDomain";
// The protocol given declares the selector neither as an optional nor as a required method.
inline constexpr std::int64_t kRFSelectorSignalErrorNotInProtocol = 2;
// The suffix of the run-time subclasses' names.
inline constexpr std::string_view kRFSelectorSignalSubclassSuffix = "_RFSelectorSignal";

RFSignalPtr rf_signalForSelector(platform::Object& object, std::string_view selector);
RFSignalPtr rf_signalForSelector(platform::Object& object, std::string_view selector,
                                 const platform::Protocol* protocol);

// --- Arguments and results of calls by name ---------------------------------------------------------
// The arguments as a tuple, nil as the tuple nil marker.
RFTuplePtr rf_argumentsTuple(const std::vector<platform::Value>& arguments);
// The tuple's values as arguments, the tuple nil marker as nil.
std::vector<platform::Value> rf_argumentsFromTuple(const RFTuplePtr& tuple);
// A call's result as a value: the unit for a method without a result.
platform::Value rf_returnValue(const platform::Value& result,
                               const std::optional<platform::MethodSignature>& signature);

// Stands in as a component's delegate: keeps the real delegate, forwards every call to it, and
// gives signals for the protocol's methods, which are caught even when the real delegate does not
// implement them (and are then not forwarded).
class RFDelegateProxy final : public platform::Object {
  ZORVEL_CLASS(RFDelegateProxy, platform::Object)

 public:
  // Every delegate proxy then states that it conforms to the protocol.
  static std::shared_ptr<RFDelegateProxy> proxyWithProtocol(const platform::Protocol& protocol);

  const platform::Protocol& protocol() const { return *protocol_; }
  // The real delegate, held weakly.
  platform::ObjectPtr proxiedDelegate() const;
  void setProxiedDelegate(const platform::ObjectPtr& delegate);

  RFSignalPtr signalForSelector(std::string_view selector);
  bool isProxy() const { return true; }
  // Yes when the real delegate responds or a signal catches the selector.
  bool respondsToSelector(std::string_view selector) const override;
  // Forwards to the real delegate; nil without one.
  platform::Value forwardInvocation(std::string_view selector, const std::vector<platform::Value>& args) override;

 private:
  RFDelegateProxy() = default;
  const platform::Protocol* protocol_ = nullptr;
  mutable platform::Mutex lock_;
  std::weak_ptr<platform::Object> delegate_ ZORVEL_GUARDED_BY(lock_);
};
