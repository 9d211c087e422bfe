#pragma once

// A small finite-state machine: a fixed set of state objects, one of them current. A state says
// which states may follow it; entering one calls its didEnterWithPreviousState.
//
// Threads: any thread. The change of the current state is atomic; the entered state's
// didEnterWithPreviousState runs after it, outside the machine's lock (so it may read the
// machine). Callers that enter from several threads at once get the entries' calls in no set
// order; the reachability manager enters from one serial queue.

#include <memory>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/system/locks.h"
#include "platform/system/thread_safety.h"

class ZRVState : public platform::Object {
  ZORVEL_CLASS(ZRVState, platform::Object)

 public:
  // Whether a state of that class may follow this one. Default: any.
  virtual bool isValidNextState(const platform::Class& stateClass) const;
  // Called after the machine made this state current; `previous` is null on the first entry.
  virtual void didEnterWithPreviousState(const std::shared_ptr<ZRVState>& previous);
};

class ZRVStateMachine {
 public:
  // The states, at most one of each class; none is current yet.
  explicit ZRVStateMachine(std::vector<std::shared_ptr<ZRVState>> states);

  std::shared_ptr<ZRVState> currentState() const;
  // The machine's state of exactly that class, or null.
  std::shared_ptr<ZRVState> stateForClass(const platform::Class& stateClass) const;
  // True when the machine has such a state and either none is current or the current one
  // accepts it as its next.
  bool canEnterState(const platform::Class& stateClass) const;
  // Enters the state when canEnterState answers true; false (nothing happens) otherwise.
  bool enterState(const platform::Class& stateClass);

 private:
  bool canEnterLocked(const platform::Class& stateClass) const ZORVEL_REQUIRES(mutex_);

  const std::vector<std::shared_ptr<ZRVState>> states_;
  mutable platform::Mutex mutex_;
  std::shared_ptr<ZRVState> current_ ZORVEL_GUARDED_BY(mutex_);
};
