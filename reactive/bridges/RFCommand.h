#pragma once

// Commands: a user-triggered action whose work is a signal. execute() calls the signal block
// with the input, runs the signal it returns once (subscribed on the main thread) and hands back
// a replaying signal of that execution. The command tells through signals of its own whether it
// can run, whether it is running, which executions start and how they fail.
//
// Rules:
// - A command is enabled while its enabled input (a signal of booleans, YES until it sends;
//   none: always YES) is YES and, unless concurrent execution is allowed, no execution runs.
//   execute() on a command that is not enabled runs nothing and returns a signal failing with
//   kRFCommandErrorNotEnabled (the command under kRFUnderlyingCommandErrorKey).
// - With concurrent execution off (the default), at most one execution runs at a time, also when
//   several threads call execute() at once: one of them starts, the others get the error above
//   and their signal blocks are not called.
// - executionSignals sends each execution's signal as it starts (on the main thread), with its
//   error turned into completion; errors sends each execution's error (on the main thread), also
//   for executions started before anyone subscribed to it; executing sends whether any execution
//   runs (on the main thread, first NO); enabled sends whether the command is enabled (its first
//   value at once, later ones on the main thread). Each sends a value only when it changes.
// - The active executions are the key-value observable to-many key "activeExecutionSignals",
//   changed with indexed notices; "allowsConcurrentExecution" is observable too. The command
//   announces both itself (it does not notify automatically for any key).
// - The command stops following its enabled input when it is deallocated; nothing it makes keeps
//   it alive, and an execution in progress does not either.
//
// Threads: execute() may be called on any thread; it waits for the enabled state's current value
// (on the main thread it runs the main run loop while it waits). The work signal is subscribed on
// the main thread. The list of executions is changed under the command's lock, and its notices
// are sent while the lock is held.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"
#include "reactive/RFSignal.h"

inline constexpr std::string_view kRFCommandErrorDomain = "RFCommandErrorDomain";
inline constexpr std::int64_t kRFCommandErrorNotEnabled = 1;
inline constexpr std::string_view kRFUnderlyingCommandErrorKey = "RFUnderlyingCommandErrorKey";

class RFCommand;
using RFCommandPtr = std::shared_ptr<RFCommand>;

class RFCommand final : public platform::Object {
  ZORVEL_CLASS(RFCommand, platform::Object)

 public:
  using SignalBlock = std::function<RFSignalPtr(const platform::Value& input)>;

  // Null without a signal block: a command needs one. A null enabled signal means always enabled.
  static RFCommandPtr commandWithSignalBlock(SignalBlock signalBlock);
  static RFCommandPtr commandWithEnabled(RFSignalPtr enabledSignal, SignalBlock signalBlock);

  // Starts an execution (see the rules above). A null signal from the block counts as empty.
  // "%@ -execute: %@"
  RFSignalPtr execute(const platform::Value& input);

  // "%@ -executionSignals"
  const RFSignalPtr& executionSignals() const { return executionSignals_; }
  // "%@ -executing"
  const RFSignalPtr& executing() const { return executing_; }
  // "%@ -enabled"
  const RFSignalPtr& enabled() const { return enabled_; }
  // "%@ -errors"
  const RFSignalPtr& errors() const { return errors_; }
  // Whether the command is enabled, where the input and the executions change it.
  const RFSignalPtr& immediateEnabled() const { return immediateEnabled_; }
  const SignalBlock& signalBlock() const { return signalBlock_; }

  bool allowsConcurrentExecution() const { return allowsConcurrentExecution_.load(std::memory_order_acquire); }
  void setAllowsConcurrentExecution(bool allows);
  ZORVEL_ACCESSOR_PROPERTY(allowsConcurrentExecution, allowsConcurrentExecution, setAllowsConcurrentExecution)
  // The executions that have not finished, oldest first.
  platform::ValueArray activeExecutionSignals() const;
  ZORVEL_COMPUTED_PROPERTY(activeExecutionSignals, activeExecutionSignals)

  void addActiveExecutionSignal(const RFSignalPtr& signal);
  // Removes every entry that is this very signal.
  void removeActiveExecutionSignal(const RFSignal* signal);

  bool automaticallyNotifiesObserversForKey(std::string_view) const override { return false; }

 private:
  RFCommand() = default;
  void build(RFSignalPtr enabledSignal);
  RFSignalPtr notEnabled();

  SignalBlock signalBlock_;
  std::vector<RFSignalPtr> active_;  // under the monitor
  std::size_t starting_ = 0;         // executions between the check and their listing; under the monitor
  std::atomic<bool> allowsConcurrentExecution_{false};
  RFSignalPtr executionSignals_, executing_, enabled_, errors_, immediateEnabled_;
};
