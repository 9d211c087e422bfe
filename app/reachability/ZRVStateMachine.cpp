#include "app/reachability/ZRVStateMachine.h"

#include <utility>

bool ZRVState::isValidNextState(const platform::Class&) const { return true; }

void ZRVState::didEnterWithPreviousState(const std::shared_ptr<ZRVState>&) {}

ZRVStateMachine::ZRVStateMachine(std::vector<std::shared_ptr<ZRVState>> states) : states_(std::move(states)) {}

std::shared_ptr<ZRVState> ZRVStateMachine::currentState() const {
  platform::MutexLock lock(mutex_);
  return current_;
}

std::shared_ptr<ZRVState> ZRVStateMachine::stateForClass(const platform::Class& stateClass) const {
  for (const auto& state : states_) {
    if (state->isMemberOf(stateClass)) return state;
  }
  return nullptr;
}

bool ZRVStateMachine::canEnterLocked(const platform::Class& stateClass) const {
  if (!stateForClass(stateClass)) return false;
  return !current_ || current_->isValidNextState(stateClass);
}

bool ZRVStateMachine::canEnterState(const platform::Class& stateClass) const {
  platform::MutexLock lock(mutex_);
  return canEnterLocked(stateClass);
}

bool ZRVStateMachine::enterState(const platform::Class& stateClass) {
  std::shared_ptr<ZRVState> entered = stateForClass(stateClass);
  std::shared_ptr<ZRVState> previous;
  {
    platform::MutexLock lock(mutex_);
    if (!canEnterLocked(stateClass)) return false;
    previous = std::exchange(current_, entered);
  }
  // Outside the lock: what the state does on entry may read the machine.
  entered->didEnterWithPreviousState(previous);
  return true;
}
