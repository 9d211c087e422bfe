#include "app/reachability/ZRVReachabilityManager.h"

#include "app/ZRVLogManager.h"
#include "platform/services/notification_center.h"

namespace {

template <class... Args>
void reachabilityLog(std::string_view format, const Args&... args) {
  ZRVLogHandlePtr log = ZRVLogManager::sharedInstance()->reachability_log();
  if (log && log->isEnabled(ZRVLogType::Info)) log->info(format, args...);
}

}  // namespace

void ZRVReachabilityState::didEnterWithPreviousState(const std::shared_ptr<ZRVState>& previous) {
  reachabilityLog("%{public}@ did enter, from: %{public}@", objectClass().name(),
                  previous ? previous->objectClass().name() : std::string("(null)"));
  platform::NotificationCenter::defaultCenter()->post(std::string(ZRVReachabilityStateChangedNotification));
}

bool ZRVReachabilityStateReachable::isValidNextState(const platform::Class& stateClass) const {
  return &stateClass == &ZRVReachabilityStateNotReachable::staticClass();
}

bool ZRVReachabilityStateNotReachable::isValidNextState(const platform::Class& stateClass) const {
  return &stateClass == &ZRVReachabilityStateReachable::staticClass();
}

const std::shared_ptr<ZRVReachabilityManager>& ZRVReachabilityManager::sharedInstance() {
  static const std::shared_ptr<ZRVReachabilityManager> shared = create();
  return shared;
}

std::shared_ptr<ZRVReachabilityManager> ZRVReachabilityManager::create(std::string_view host,
                                                                       GNetworkMonitor* monitor) {
  auto manager = platform::make<ZRVReachabilityManager>();
  manager->setupStateMachine();
  manager->setupReachability(host, monitor);
  return manager;
}

ZRVReachabilityManager::ZRVReachabilityManager()
    : stateMachine_(
          {platform::make<ZRVReachabilityStateNotReachable>(), platform::make<ZRVReachabilityStateReachable>()}) {}

ZRVReachabilityManager::~ZRVReachabilityManager() {
  if (reachability_) reachability_->stopNotifier();
}

void ZRVReachabilityManager::setupStateMachine() {
  reachabilityLog("%{public}@ - %{public}@", objectClass().name(), std::string("setupStateMachine"));
  stateMachine_.enterState(ZRVReachabilityStateNotReachable::staticClass());
}

void ZRVReachabilityManager::setupReachability(std::string_view host, GNetworkMonitor* monitor) {
  reachabilityLog("%{public}@ - %{public}@", objectClass().name(), std::string("setupReachability"));
  reachability_ = Reachability::reachabilityWithHostName(host, monitor);
  if (!reachability_) return;
  // The closures hold the manager weakly: the shared manager lives as long as the process anyway,
  // and a manager of its own stops its wrapper when it goes.
  std::weak_ptr<ZRVReachabilityManager> weak = std::static_pointer_cast<ZRVReachabilityManager>(shared_from_this());
  reachability_->setReachableBlock([weak](Reachability&) {
    if (auto self = weak.lock()) self->stateMachine_.enterState(ZRVReachabilityStateReachable::staticClass());
  });
  reachability_->setUnreachableBlock([weak](Reachability&) {
    if (auto self = weak.lock()) self->stateMachine_.enterState(ZRVReachabilityStateNotReachable::staticClass());
  });
  reachability_->startNotifier();
}

std::uint64_t ZRVReachabilityManager::state() const {
  auto current = std::static_pointer_cast<ZRVReachabilityState>(stateMachine_.currentState());
  return current ? current->type() : 0;
}
