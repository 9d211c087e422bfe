#include "reactive/RFEvent.h"

#include "platform/runtime/format.h"

RFEventPtr RFEvent::completedEvent() {
  static const RFEventPtr event = platform::make<RFEvent>(RFEventType::Completed, platform::Value());
  return event;
}

RFEventPtr RFEvent::eventWithError(platform::ErrorPtr error) {
  return platform::make<RFEvent>(RFEventType::Error, platform::Value(std::move(error)));
}

RFEventPtr RFEvent::eventWithValue(platform::Value value) {
  return platform::make<RFEvent>(RFEventType::Next, std::move(value));
}

RFEventPtr RFEvent::eventWithType(RFEventType type, platform::Value object) {
  return platform::make<RFEvent>(type, std::move(object));
}

platform::ErrorPtr RFEvent::error() const {
  return type_ == RFEventType::Error ? object_.as<platform::Error>() : nullptr;
}

platform::Value RFEvent::value() const { return type_ == RFEventType::Next ? object_ : platform::Value(); }

platform::ObjectPtr RFEvent::copy() const { return std::const_pointer_cast<platform::Object>(shared_from_this()); }

std::string RFEvent::description() const {
  std::string what;
  switch (type_) {
    case RFEventType::Completed:
      what = "completed";
      break;
    case RFEventType::Error:
      what = platform::format("error = %@", object_);
      break;
    case RFEventType::Next:
      what = platform::format("next = %@", object_);
      break;
    default:
      what = "(null)";
  }
  return platform::format("<%s: %p>{ %s }", objectClass().name(), static_cast<const void*>(this), what);
}

bool RFEvent::isEqual(const platform::Object& other) const {
  if (&other == this) return true;
  auto* event = dynamic_cast<const RFEvent*>(&other);
  if (!event || event->type_ != type_) return false;
  if (object_.isNil() || event->object_.isNil()) return object_.isNil() && event->object_.isNil();
  return object_ == event->object_;
}

std::size_t RFEvent::hash() const { return static_cast<std::size_t>(type_) ^ (object_.isNil() ? 0 : object_.hash()); }

const std::shared_ptr<RFUnit>& RFUnit::defaultUnit() {
  static const std::shared_ptr<RFUnit> unit = platform::make<RFUnit>();
  return unit;
}

const platform::Value& RFUnit::unitValue() {
  static const platform::Value value(defaultUnit());
  return value;
}
