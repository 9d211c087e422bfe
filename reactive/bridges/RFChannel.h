#pragma once

// Channels: two-way bindings between two parties, each holding one end (a terminal). What one
// party sends into its terminal comes out of the other terminal, and the reverse.
//
// - RFChannel: the two terminals. Values sent into the leading terminal reach the following
//   terminal's subscribers, and the latest of them is replayed to every new subscriber there;
//   values sent into the following terminal reach only the current subscribers of the leading
//   terminal. An error or completion sent into either terminal ends both directions.
// - RFChannelTerminal: a signal (of what the other side sends) and a subscriber (into which this
//   side sends).
// - RFKVOChannel: a channel whose leading side is a key path of an object: the key path's values
//   (the current one first) come out of the following terminal, and values sent into the
//   following terminal are written to the key path (nil as the channel's nil value; a write
//   through a nil intermediate object is dropped) without coming back out as an echo. Holding
//   the following terminal is enough to keep the binding working; the channel completes when its
//   object is deallocated, which it does not prevent.
//
// Threads: terminals may be used from any thread. The echo of a key-path channel's own write is
// recognised per thread (the write and the notice it causes happen on the same thread), so
// changes made meanwhile by other threads still come out.

#include <memory>
#include <string>
#include <string_view>

#include "platform/runtime/object.h"
#include "platform/runtime/properties.h"
#include "platform/runtime/value.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"
#include "reactive/RFSubscriber.h"

class RFChannel;
class RFChannelTerminal;
class RFKVOChannel;
using RFChannelPtr = std::shared_ptr<RFChannel>;
using RFChannelTerminalPtr = std::shared_ptr<RFChannelTerminal>;
using RFKVOChannelPtr = std::shared_ptr<RFKVOChannel>;

class RFChannelTerminal final : public RFSignal, public RFSubscriber {
  ZORVEL_CLASS(RFChannelTerminal, RFSignal)

 public:
  // `values` is what subscribers see; what is sent in goes to `otherTerminal`.
  static RFChannelTerminalPtr terminalWithValues(RFSignalPtr values, RFSubscriberPtr otherTerminal);

  RFDisposablePtr subscribe(const RFSubscriberPtr& subscriber) override;
  void sendNext(const platform::Value& value) override;
  void sendError(const platform::ErrorPtr& error) override;
  void sendCompleted() override;
  void didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) override;

  std::string description() const override { return RFSignal::description(); }

 private:
  RFChannelTerminal() = default;
  RFSignalPtr values_;
  RFSubscriberPtr otherTerminal_;
};

class RFChannel : public platform::Object {
  ZORVEL_CLASS(RFChannel, platform::Object)

 public:
  static RFChannelPtr channel();

  const RFChannelTerminalPtr& leadingTerminal() const { return leadingTerminal_; }
  const RFChannelTerminalPtr& followingTerminal() const { return followingTerminal_; }
  ZORVEL_COMPUTED_PROPERTY(leadingTerminal, leadingTerminal)
  ZORVEL_COMPUTED_PROPERTY(followingTerminal, followingTerminal)

 protected:
  RFChannel();

 private:
  RFChannelTerminalPtr leadingTerminal_;
  RFChannelTerminalPtr followingTerminal_;
};

class RFKVOChannel final : public RFChannel {
  ZORVEL_CLASS(RFKVOChannel, RFChannel)

 public:
  // Completes at once when the target is null or already gone.
  static RFKVOChannelPtr channelWithTarget(platform::Object* target, std::string keyPath,
                                           platform::Value nilValue = {});

  platform::ObjectPtr target() const;
  const std::string& keyPath() const { return keyPath_; }

  // The channel's value for the key (key-value coding): "leadingTerminal" or
  // "followingTerminal"; another key raises NSUnknownKeyException.
  RFChannelTerminalPtr objectForKeyedSubscript(std::string_view key) const;
  // Joins the named terminal with `otherTerminal`: what comes out of either goes into the other
  // (the named terminal's replayed value is not sent back).
  void setObjectForKeyedSubscript(const RFChannelTerminalPtr& otherTerminal, std::string_view key);

 private:
  RFKVOChannel() = default;

  std::weak_ptr<platform::Object> target_;
  std::string keyPath_;
};
