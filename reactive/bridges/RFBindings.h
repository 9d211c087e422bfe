#pragma once

// Channels onto platform bindings (bindings.h) and onto user defaults, and the binding helpers.
//
// - rf_channelToBinding: binds the target's binding name to a proxy object's "value" and gives
//   the channel's leading terminal: values the binding writes into the proxy (the target's key
//   changed) come out of it, and values sent into it are written into the proxy, which the
//   binding carries to the target. The target keeps the proxy (and the binding) alive; an error
//   or completion sent into the terminal, or the target's deallocation, unbinds and ends it.
//   A nil value sent in is written as the options' kNullPlaceholderBindingOption.
// - rf_channelTerminalForKey: a terminal whose values are the key's values in the user defaults
//   (the current one first, equal values not repeated) and into which new values for the key are
//   sent; they are stored on a scheduler of the terminal's own, and the change notice of that
//   store is not sent back. It ends when the defaults are deallocated.
// - The binding helpers bind with kContinuouslyUpdatesValueBindingOption and a placeholder for
//   nil, a block transformer, or the negating transformer.
//
// Threads: as the channels, bindings and user defaults they stand on.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/bindings.h"
#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"
#include "platform/runtime/value_transformer.h"
#include "platform/services/user_defaults.h"
#include "platform/system/locks.h"
#include "reactive/bridges/RFChannel.h"

class RFChannelProxy;
using RFChannelProxyPtr = std::shared_ptr<RFChannelProxy>;

// The object a platform binding is bound to; see rf_channelToBinding.
class RFChannelProxy final : public platform::Object {
  ZORVEL_CLASS(RFChannelProxy, platform::Object)

 public:
  static RFChannelProxyPtr proxyWithTarget(platform::Object& target, std::string bindingName,
                                           platform::ValueDictionary options);
  ~RFChannelProxy() override;

  const RFChannelPtr& channel() const { return channel_; }
  // Null once the binding is torn down.
  platform::ObjectPtr target() const;
  const std::string& bindingName() const { return bindingName_; }

  // The bound value; announced to observers by hand (no key notifies automatically).
  platform::Value value() const;
  void setValue(platform::Value value);
  ZORVEL_ACCESSOR_PROPERTY(value, value, setValue)
  bool automaticallyNotifiesObserversForKey(std::string_view) const override { return false; }

  // "<RFChannelProxy: 0x...>{ target: ..., binding: ... }"
  std::string description() const override;

 private:
  RFChannelProxy() = default;
  // Unbinds and lets the target go of this proxy (once).
  void tearDown();

  mutable platform::Mutex lock_;
  RFChannelPtr channel_;
  std::weak_ptr<platform::Object> target_ ZORVEL_GUARDED_BY(lock_);
  std::string bindingName_;
  platform::Value value_ ZORVEL_GUARDED_BY(lock_);
  bool channelEnded_ ZORVEL_GUARDED_BY(lock_) = false;  // the following terminal has had its error or completion
};

RFChannelTerminalPtr rf_channelToBinding(platform::Object& target, std::string bindingName);
RFChannelTerminalPtr rf_channelToBinding(platform::Object& target, std::string bindingName,
                                         platform::ValueDictionary options);

RFChannelTerminalPtr rf_channelTerminalForKey(platform::UserDefaults& defaults, std::string key);

// A transformer that applies the block; it does not reverse.
class RFValueTransformer final : public platform::ValueTransformer {
  ZORVEL_CLASS(RFValueTransformer, platform::ValueTransformer)

 public:
  using Block = std::function<platform::Value(const platform::Value& value)>;
  static std::shared_ptr<RFValueTransformer> transformerWithBlock(Block block);
  platform::Value transformedValue(const platform::Value& value) const override;

 private:
  RFValueTransformer() = default;
  Block block_;
};

// --- Binding helpers ----------------------------------------------------------------------------------
// Continuous updates; a nil value (or null) shows as `nilValue`, when one is given.
void rf_bind(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
             std::string_view keyPath, const platform::Value& nilValue = {});
// Continuous updates through a transformer made from the block.
void rf_bindTransform(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
                      std::string_view keyPath, RFValueTransformer::Block transform);
// Continuous updates through the negating transformer.
void rf_bindNegatedKeyPath(platform::Object& receiver, std::string_view binding, const platform::ObjectPtr& object,
                           std::string_view keyPath);
