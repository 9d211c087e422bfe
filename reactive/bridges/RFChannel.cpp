#include "reactive/bridges/RFChannel.h"

#include <vector>

#include "platform/runtime/kvc.h"
#include "platform/runtime/kvo.h"
#include "platform/runtime/thread.h"
#include "reactive/RFDeallocating.h"
#include "reactive/bridges/RFKVOWrapper.h"

// --- RFChannelTerminal ------------------------------------------------------------------------------

RFChannelTerminalPtr RFChannelTerminal::terminalWithValues(RFSignalPtr values, RFSubscriberPtr otherTerminal) {
  auto terminal = platform::make<RFChannelTerminal>();
  terminal->values_ = std::move(values);
  terminal->otherTerminal_ = std::move(otherTerminal);
  return terminal;
}

RFDisposablePtr RFChannelTerminal::subscribe(const RFSubscriberPtr& subscriber) {
  return values_->subscribe(subscriber);
}

void RFChannelTerminal::sendNext(const platform::Value& value) { otherTerminal_->sendNext(value); }

void RFChannelTerminal::sendError(const platform::ErrorPtr& error) { otherTerminal_->sendError(error); }

void RFChannelTerminal::sendCompleted() { otherTerminal_->sendCompleted(); }

void RFChannelTerminal::didSubscribeWithDisposable(const RFCompoundDisposablePtr& disposable) {
  otherTerminal_->didSubscribeWithDisposable(disposable);
}

// --- RFChannel --------------------------------------------------------------------------------------

namespace {
// Passes `from`'s error or completion on to `to`, which it holds weakly: the two subjects of a
// channel would otherwise hold each other for ever.
void crossEndings(const RFReplaySubjectPtr& from, const RFReplaySubjectPtr& to) {
  std::weak_ptr<RFReplaySubject> weakTo = to;
  from->subscribeError(
      [weakTo](const platform::ErrorPtr& error) {
        if (auto subject = weakTo.lock()) subject->sendError(error);
      },
      [weakTo] {
        if (auto subject = weakTo.lock()) subject->sendCompleted();
      });
}
}  // namespace

RFChannel::RFChannel() {
  RFReplaySubjectPtr leading = RFReplaySubject::replaySubjectWithCapacity(0);
  leading->setNameWithFormat("leadingSubject");
  RFReplaySubjectPtr following = RFReplaySubject::replaySubjectWithCapacity(1);
  following->setNameWithFormat("followingSubject");
  crossEndings(leading, following);
  crossEndings(following, leading);
  leadingTerminal_ = RFChannelTerminal::terminalWithValues(leading, following);
  leadingTerminal_->setNameWithFormat("leadingTerminal");
  followingTerminal_ = RFChannelTerminal::terminalWithValues(following, leading);
  followingTerminal_->setNameWithFormat("followingTerminal");
}

RFChannelPtr RFChannel::channel() { return platform::make<RFChannel>(); }

// --- RFKVOChannel -----------------------------------------------------------------------------------

namespace {

constexpr const char* kThreadDataKey = "RFKVOChannelKey";

// One channel's record on one thread while it writes to its object.
class RFKVOChannelData final : public platform::Object {
  ZORVEL_CLASS(RFKVOChannelData, platform::Object)
 public:
  static std::shared_ptr<RFKVOChannelData> dataForChannel(const void* owner) {
    auto data = platform::make<RFKVOChannelData>();
    data->owner = owner;
    return data;
  }
  bool ignoreNextUpdate = false;
  const void* owner = nullptr;  // identifies the channel; never dereferenced
};

std::shared_ptr<RFKVOChannelData> currentThreadData(const void* owner) {
  platform::ThreadDictionary& dictionary = platform::threadDictionary();
  auto it = dictionary.find(kThreadDataKey);
  if (it == dictionary.end()) return nullptr;
  for (const platform::Value& entry : it->second.asArray()) {
    auto data = entry.as<RFKVOChannelData>();
    if (data && data->owner == owner) return data;
  }
  return nullptr;
}

std::shared_ptr<RFKVOChannelData> createCurrentThreadData(const void* owner) {
  if (auto existing = currentThreadData(owner)) return existing;
  auto data = RFKVOChannelData::dataForChannel(owner);
  platform::threadDictionary()[kThreadDataKey].append(platform::Value(data));
  return data;
}

void destroyCurrentThreadData(const void* owner) {
  platform::ThreadDictionary& dictionary = platform::threadDictionary();
  auto it = dictionary.find(kThreadDataKey);
  if (it == dictionary.end()) return;
  platform::ValueArray records = it->second.asArray();
  for (auto record = records.begin(); record != records.end(); ++record) {
    auto data = record->as<RFKVOChannelData>();
    if (data && data->owner == owner) {
      records.erase(record);
      break;
    }
  }
  if (records.empty())
    dictionary.erase(it);
  else
    it->second = platform::Value(std::move(records));
}

}  // namespace

RFKVOChannelPtr RFKVOChannel::channelWithTarget(platform::Object* target, std::string keyPath,
                                                platform::Value nilValue) {
  auto channel = platform::make<RFKVOChannel>();
  channel->keyPath_ = keyPath;
  if (rf_debugNamesEnabled()) {
    std::string targetText = target ? rf_description(*target) : std::string("(null)");
    channel->leadingTerminal()->setName(
        platform::format("[-initWithTarget: %@ keyPath: %@ nilValue: %@] -leadingTerminal", targetText, keyPath,
                         rf_description(nilValue)));
    channel->followingTerminal()->setName(
        platform::format("[-initWithTarget: %@ keyPath: %@ nilValue: %@] -followingTerminal", targetText, keyPath,
                         rf_description(nilValue)));
  }
  platform::ObjectPtr strongTarget = target ? target->weak_from_this().lock() : nullptr;
  RFChannelTerminalPtr leading = channel->leadingTerminal();
  if (!strongTarget) {
    leading->sendCompleted();
    return channel;
  }
  channel->target_ = strongTarget;

  // Identifies this channel's writes on a thread: their echo is not sent back.
  auto token = std::make_shared<const char>(0);
  RFDisposablePtr observation = rf_observeKeyPath(
      *strongTarget, keyPath, platform::ObserveInitial, nullptr,
      [leading, token](const platform::Value& value, const platform::Value&, bool causedByDealloc, bool last) {
        if (!causedByDealloc && last) {
          std::shared_ptr<RFKVOChannelData> data = currentThreadData(token.get());
          if (data && data->ignoreNextUpdate) {
            destroyCurrentThreadData(token.get());
            return;
          }
        }
        leading->sendNext(value);
      });

  std::optional<std::string> parentPath = rf_keyPathByDeletingLastKeyPathComponent(keyPath);
  std::vector<std::string> components = rf_keyPathComponents(keyPath);
  std::string lastKey = components.empty() ? std::string() : components.back();

  // The object going away completes the channel.
  RFDisposablePtr completion = RFDisposable::disposableWithBlock([leading] { leading->sendCompleted(); });
  RFCompoundDisposablePtr targetDealloc = rf_deallocDisposable(*strongTarget);
  targetDealloc->addDisposable(completion);
  std::weak_ptr<RFCompoundDisposable> weakTargetDealloc = targetDealloc;
  const RFDisposable* completionIdentity = completion.get();

  std::weak_ptr<platform::Object> weakTarget = strongTarget;
  std::string channelText = channel->description();
  leading
      ->finally([observation, weakTargetDealloc, completionIdentity] {
        observation->dispose();
        if (auto d = weakTargetDealloc.lock()) d->removeDisposable(completionIdentity);
      })
      ->subscribeNext(
          [weakTarget, parentPath, lastKey, nilValue, token](const platform::Value& value) {
            platform::ObjectPtr target = weakTarget.lock();
            if (!target) return;
            platform::Value holder = parentPath ? target->valueForKeyPath(*parentPath) : platform::Value(target);
            platform::ObjectPtr object = holder.isObject() ? holder.asObject() : nullptr;
            if (!object) return;  // nothing to write to
            createCurrentThreadData(token.get())->ignoreNextUpdate = true;
            object->setValueForKey(value.isNil() ? nilValue : value, lastKey);
            // Only the echo of this very write is ignored, even when the write was not announced.
            destroyCurrentThreadData(token.get());
          },
          [channelText](const platform::ErrorPtr& error) {
            rf_writeLogLine(platform::format("Received error in %@: %@", channelText, error));
          },
          nullptr);
  return channel;
}

platform::ObjectPtr RFKVOChannel::target() const { return target_.lock(); }

RFChannelTerminalPtr RFKVOChannel::objectForKeyedSubscript(std::string_view key) const {
  return valueForKey(key).as<RFChannelTerminal>();
}

void RFKVOChannel::setObjectForKeyedSubscript(const RFChannelTerminalPtr& otherTerminal, std::string_view key) {
  RFChannelTerminalPtr terminal = objectForKeyedSubscript(key);
  otherTerminal->subscribe(terminal);
  terminal->skip(1)->subscribe(otherTerminal);
}
