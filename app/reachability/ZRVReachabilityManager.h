#pragma once

// ZRVReachabilityManager: the process's answer to "is the network reachable", for the cloud
// manager, which goes on with its synchronisation when it becomes so. A two-state machine
// (not reachable, reachable) driven by a Reachability wrapper watching a well-known host; every
// entry into a state posts "reachabilityStateChanged" (no object, no user info) on the default
// notification centre. Repeated answers of the same kind enter nothing and post nothing.
//
// Start: the machine enters "not reachable" at once (the first post, on the thread that makes the
// manager), then the wrapper starts; its answers move the machine. A wrapper that cannot be made
// leaves the manager not reachable for good.
//
// Threads: state() may be read from any thread. The wrapper's answers, the state entries after
// the first and their posts run on the wrapper's serial queue; observers of
// "reachabilityStateChanged" get it there.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/reachability/Reachability.h"
#include "app/reachability/ZRVStateMachine.h"
#include "platform/runtime/object.h"

inline constexpr std::string_view ZRVReachabilityStateChangedNotification = "reachabilityStateChanged";

// A state of the machine; `type` is what ZRVReachabilityManager::state() answers.
class ZRVReachabilityState : public ZRVState {
  ZORVEL_CLASS(ZRVReachabilityState, ZRVState)

 public:
  virtual std::uint64_t type() const { return 0; }
  // Logs the entry in the "Reachability" category and posts "reachabilityStateChanged".
  void didEnterWithPreviousState(const std::shared_ptr<ZRVState>& previous) override;
};

class ZRVReachabilityStateReachable : public ZRVReachabilityState {
  ZORVEL_CLASS(ZRVReachabilityStateReachable, ZRVReachabilityState)

 public:
  std::uint64_t type() const override { return 1; }
  bool isValidNextState(const platform::Class& stateClass) const override;
};

class ZRVReachabilityStateNotReachable : public ZRVReachabilityState {
  ZORVEL_CLASS(ZRVReachabilityStateNotReachable, ZRVReachabilityState)

 public:
  std::uint64_t type() const override { return 0; }
  bool isValidNextState(const platform::Class& stateClass) const override;
};

class ZRVReachabilityManager : public platform::Object {
  ZORVEL_CLASS(ZRVReachabilityManager, platform::Object)

 public:
  // The host whose reachability stands for the network's.
  static constexpr std::string_view kDefaultHost = "example.com";

  // The process's manager, made on the first call (thread-safe) over the system's network monitor,
  // and kept until the process ends.
  static const std::shared_ptr<ZRVReachabilityManager>& sharedInstance();
  // A manager of its own watching `host` through `monitor` (null: the system's).
  static std::shared_ptr<ZRVReachabilityManager> create(std::string_view host = kDefaultHost,
                                                        GNetworkMonitor* monitor = nullptr);
  ~ZRVReachabilityManager() override;

  // 0 not reachable, 1 reachable.
  std::uint64_t state() const;
  ZRVStateMachine& stateMachine() { return stateMachine_; }
  // The running wrapper (null when it could not be made).
  const ReachabilityPtr& reachability() const { return reachability_; }

  ZRVReachabilityManager();

 private:
  void setupStateMachine();
  void setupReachability(std::string_view host, GNetworkMonitor* monitor);

  ZRVStateMachine stateMachine_;
  ReachabilityPtr reachability_;
};
