#pragma once

// ZRVEvent: one countdown event, stored in collection "Events" under its uuid and synchronised as
// a cloud record of type "Events" with the fields "state", "name", "date", "skinId", "link",
// "uuid", "created" and "updated". Events keep their original cloud values (ZRVSyncableObject).
//
// Two events are equal when they have the same uuid, whatever their other values.
//
// Threads: as ZRVSyncableObject.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/model/ZRVModelObject.h"
#include "platform/runtime/error.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"

enum ZRVEventState : std::uint64_t {
  ZRVEventStateAdding = 0,    // new, in the editor, never confirmed
  ZRVEventStateEditing = 1,   // an existing event open in the editor
  ZRVEventStateActive = 2,    // counting down
  ZRVEventStateComplete = 3,  // its date has passed
  ZRVEventStateArchived = 4,
};

inline constexpr std::string_view ZRVEventRecordType = "Events";

class ZRVEvent : public ZRVModelObject {
  ZORVEL_CLASS(ZRVEvent, ZRVModelObject)

 public:
  // State adding; the date is today at 00:00 with the seconds of the current time kept.
  ZRVEvent();

  ZORVEL_PROPERTY(std::uint64_t, state, setState)
  ZORVEL_PROPERTY(std::optional<std::string>, name, setName, platform::Copy)
  ZORVEL_PROPERTY(std::optional<platform::Date>, date, setDate, platform::Copy)
  // uuid of the event's ZRVSkin.
  ZORVEL_PROPERTY(std::optional<std::string>, skinId, setSkinId, platform::Copy)
  // The link's absolute URL string.
  ZORVEL_PROPERTY(std::optional<std::string>, link, setLink, platform::Copy)

  // An event made from a cloud record: nullptr unless the type is "Events". The record name
  // becomes the uuid (a "uuid" field is not read); every other cloud field is read through
  // `valueForField` (nil: the record lacks it) and set through setLocalValueFromCloudValue, so the
  // event's change records list what was set. State and date start unset (0 and nil), not as a
  // new event's. A field holding a value of the wrong kind gives nullptr and *error.
  static std::shared_ptr<ZRVEvent> eventWithRecord(
      std::string_view recordType, std::string_view recordName,
      const std::function<platform::Value(std::string_view field)>& valueForField, platform::ErrorPtr* error = nullptr);

  bool storesOriginalCloudValues() const override { return true; }
  bool isEqual(const platform::Object& other) const override;
  std::size_t hash() const override;

 private:
  struct BareTag {};
  explicit ZRVEvent(BareTag) {}
};
