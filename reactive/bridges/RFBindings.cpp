#include "reactive/bridges/RFBindings.h"

#include <atomic>

#include "platform/runtime/format.h"
#include "platform/services/notification_center.h"
#include "platform/system/locks.h"
#include "reactive/RFDeallocating.h"
#include "reactive/bridges/RFPlatformSources.h"

// --- RFChannelProxy ---------------------------------------------------------------------------------

RFChannelProxyPtr RFChannelProxy::proxyWithTarget(platform::Object& target, std::string bindingName,
                                                  platform::ValueDictionary options) {
  platform::ObjectPtr strongTarget = target.weak_from_this().lock();
  auto proxy = platform::make<RFChannelProxy>();
  proxy->bindingName_ = std::move(bindingName);
  proxy->channel_ = RFChannel::channel();
  {
    platform::MutexLock lock(proxy->lock_);
    proxy->target_ = strongTarget;
  }
  RFChannelTerminalPtr following = proxy->channel_->followingTerminal();
  if (!strongTarget) {
    following->sendCompleted();
    return proxy;
  }

  // An error or completion sent in unbinds.
  std::weak_ptr<RFChannelProxy> weakProxy = proxy;
  auto tearDown = [weakProxy] {
    if (auto p = weakProxy.lock()) p->tearDown();
  };
  following->subscribeError([tearDown](const platform::ErrorPtr&) { tearDown(); }, tearDown);

  strongTarget->bind(proxy->bindingName_, proxy, "value", options);
  // The target keeps the proxy, under a key only this proxy uses.
  strongTarget->setAssociatedObject(proxy.get(), platform::Value(proxy));
  rf_addDeallocDisposable(*strongTarget, RFDisposable::disposableWithBlock([weakProxy] {
    if (auto p = weakProxy.lock()) p->channel()->followingTerminal()->sendCompleted();
  }));

  const platform::Value* placeholder = options.find(platform::kNullPlaceholderBindingOption);
  RFKVOChannelPtr valueChannel =
      RFKVOChannel::channelWithTarget(proxy.get(), "value", placeholder ? *placeholder : platform::Value());
  valueChannel->setObjectForKeyedSubscript(following, "followingTerminal");
  return proxy;
}

RFChannelProxy::~RFChannelProxy() {
  // A channel that has ended already is left alone: this proxy may be going away while its end is
  // still being delivered, and a completion sent now would overtake an error.
  if (channel_ && !channelEnded_) channel_->followingTerminal()->sendCompleted();
}

void RFChannelProxy::tearDown() {
  platform::ObjectPtr target;
  {
    platform::MutexLock lock(lock_);
    channelEnded_ = true;
    target = target_.lock();
    target_.reset();
  }
  if (!target) return;  // done before, or the target is going away
  target->unbind(bindingName_);
  target->setAssociatedObject(this, platform::Value());
}

platform::ObjectPtr RFChannelProxy::target() const {
  platform::MutexLock lock(lock_);
  return target_.lock();
}

platform::Value RFChannelProxy::value() const {
  platform::MutexLock lock(lock_);
  return value_;
}

void RFChannelProxy::setValue(platform::Value value) {
  willChangeValueForKey("value");
  {
    platform::MutexLock lock(lock_);
    value_ = std::move(value);
  }
  didChangeValueForKey("value");
}

std::string RFChannelProxy::description() const {
  platform::ObjectPtr bound = target();
  return platform::format("<%s: %p>{ target: %@, binding: %@ }", objectClass().name(), static_cast<const void*>(this),
                          bound, bindingName_);
}

RFChannelTerminalPtr rf_channelToBinding(platform::Object& target, std::string bindingName,
                                         platform::ValueDictionary options) {
  return RFChannelProxy::proxyWithTarget(target, std::move(bindingName), std::move(options))
      ->channel()
      ->leadingTerminal();
}

RFChannelTerminalPtr rf_channelToBinding(platform::Object& target, std::string bindingName) {
  return rf_channelToBinding(target, std::move(bindingName), platform::ValueDictionary());
}

// --- User defaults ------------------------------------------------------------------------------------

RFChannelTerminalPtr rf_channelTerminalForKey(platform::UserDefaults& defaults, std::string key) {
  RFChannelPtr channel = RFChannel::channel();
  RFSchedulerPtr scheduler = RFScheduler::scheduler();
  // Set while the channel's own store is on its way; its change notice is then not sent back.
  auto ignoreNextValue = std::make_shared<std::atomic<bool>>(false);
  auto strongDefaults = std::static_pointer_cast<platform::UserDefaults>(defaults.shared_from_this());
  std::weak_ptr<platform::UserDefaults> weakDefaults = strongDefaults;

  rf_addObserverForName(platform::NotificationCenter::defaultCenter(),
                        std::string(platform::kUserDefaultsDidChangeNotification), strongDefaults)
      ->map([weakDefaults, key](const platform::Value&) {
        auto d = weakDefaults.lock();
        return d ? d->objectForKey(key) : platform::Value();
      })
      ->startWith(defaults.objectForKey(key))
      ->filter([scheduler, ignoreNextValue](const platform::Value&) {
        if (RFScheduler::currentScheduler() == scheduler && ignoreNextValue->exchange(false)) return false;
        return true;
      })
      ->distinctUntilChanged()
      ->takeUntil(rf_willDeallocSignal(defaults))
      ->subscribe(channel->leadingTerminal());

  channel->leadingTerminal()->deliverOn(scheduler)->subscribeNext(
      [weakDefaults, key, ignoreNextValue](const platform::Value& value) {
        auto d = weakDefaults.lock();
        if (!d) return;
        ignoreNextValue->store(true);
        // A refused value posts no change notice, so there is nothing to ignore.
        if (!d->setObject(value, key)) ignoreNextValue->store(false);
      });
  return channel->followingTerminal();
}

// --- Transformer and helpers --------------------------------------------------------------------------

std::shared_ptr<RFValueTransformer> RFValueTransformer::transformerWithBlock(Block block) {
  auto transformer = platform::make<RFValueTransformer>();
  transformer->block_ = std::move(block);
  return transformer;
}

platform::Value RFValueTransformer::transformedValue(const platform::Value& value) const {
  return block_ ? block_(value) : value;
}

namespace {
platform::ValueDictionary continuously() {
  return {{std::string(platform::kContinuouslyUpdatesValueBindingOption), platform::Value(true)}};
}
}  // namespace

void rf_bind(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
             std::string_view keyPath, const platform::Value& nilValue) {
  platform::ValueDictionary options = continuously();
  if (!nilValue.isNil()) options.set(std::string(platform::kNullPlaceholderBindingOption), nilValue);
  receiver.bind(binding, object, keyPath, options);
}

void rf_bindTransform(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
                      std::string_view keyPath, RFValueTransformer::Block transform) {
  platform::ValueDictionary options = continuously();
  options.set(std::string(platform::kValueTransformerBindingOption),
              platform::Value(RFValueTransformer::transformerWithBlock(std::move(transform))));
  receiver.bind(binding, object, keyPath, options);
}

void rf_bindNegatedKeyPath(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
                           std::string_view keyPath) {
  platform::ValueDictionary options = continuously();
  options.set(std::string(platform::kValueTransformerNameBindingOption),
              platform::Value(platform::kNegateBooleanTransformerName));
  receiver.bind(binding, object, keyPath, options);
}
