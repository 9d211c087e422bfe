#pragma once

// RFEvent: one event of a signal (completion, error or value) held as an immutable object, so
// events can be stored, compared and sent as values. RFUnit: the one value that stands for "no
// meaningful value". Both are safe to share between threads.

#include <cstdint>
#include <memory>

#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/runtime/value.h"

class RFEvent;
using RFEventPtr = std::shared_ptr<RFEvent>;

enum class RFEventType : std::uint64_t { Completed = 0, Error = 1, Next = 2 };

class RFEvent final : public platform::Object {
  ZORVEL_CLASS(RFEvent, platform::Object)

 public:
  // The shared completion event.
  static RFEventPtr completedEvent();
  static RFEventPtr eventWithError(platform::ErrorPtr error);
  static RFEventPtr eventWithValue(platform::Value value);
  static RFEventPtr eventWithType(RFEventType type, platform::Value object);

  RFEventType eventType() const { return type_; }
  // The error or the value; nil for completion.
  const platform::Value& object() const { return object_; }
  bool isFinished() const { return type_ == RFEventType::Completed || type_ == RFEventType::Error; }
  platform::ErrorPtr error() const;
  platform::Value value() const;

  // Immutable: a copy is the event itself.
  platform::ObjectPtr copy() const override;
  std::string description() const override;
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;

 private:
  RFEvent(RFEventType type, platform::Value object) : type_(type), object_(std::move(object)) {}

  RFEventType type_;
  platform::Value object_;
};

class RFUnit final : public platform::Object {
  ZORVEL_CLASS(RFUnit, platform::Object)

 public:
  static const std::shared_ptr<RFUnit>& defaultUnit();
  // The shared unit as a value.
  static const platform::Value& unitValue();

 private:
  RFUnit() = default;
};
