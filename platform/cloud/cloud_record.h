#pragma once

// Values of the cloud record database: zone IDs, record IDs, records, record zones, zone
// subscriptions and server change tokens.
//
// A record has a type, an ID (record name, zone name, owner name) and keyed field values, plus
// system fields the server sets when it stores a version: the change tag (new for every stored
// version), creation and modification dates and users. Setting a field marks its key changed;
// a save sends only the changed keys and the server merges them into its stored record.
//
// Field values: strings, signed and unsigned integers, doubles, bools, dates, data, and arrays of
// these. Setting another kind raises kInvalidArgumentException; setting nil removes the value.
// Keys are non-empty strings of at most 255 bytes.
//
// Keyed archiving (keyed_archiver.h): a record archives whole (system fields, values, changed
// keys) as class "CloudRecord"; encodeSystemFieldsWithCoder writes the system fields alone, and
// copyWithSystemFieldsOnly() is a copy without values and changed keys, whose archive therefore
// holds the system fields only. Record IDs archive as "CloudRecordID", change tokens as
// "CloudServerChangeToken". Decoding checks every key's kind; a damaged archive decodes as nil.
// Coder keys: "recordType", "recordID", "changeTag", "created", "createdBy", "modified",
// "modifiedBy", then "values" (a dictionary) and "changedKeys" (an array) for whole records;
// a record ID has "recordName", "zoneName", "ownerName"; a token has "token".
//
// Threads: record IDs, zone IDs, zones, subscriptions and tokens are immutable and may be shared.
// A record guards its own state, so any thread may read or set fields, but a record that several
// threads change at once ends with whichever change came last: give each writer its own copy().

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/object.h"
#include "platform/runtime/value.h"
#include "platform/system/date.h"

namespace platform {

// The owner name that stands for the user the database belongs to.
inline constexpr std::string_view kCloudCurrentUserDefaultName = "__defaultOwner__";

struct CloudZoneID {
  std::string zoneName;
  std::string ownerName{kCloudCurrentUserDefaultName};

  CloudZoneID() = default;
  explicit CloudZoneID(std::string zone, std::string owner = std::string(kCloudCurrentUserDefaultName))
      : zoneName(std::move(zone)), ownerName(std::move(owner)) {}

  bool operator==(const CloudZoneID&) const = default;
  auto operator<=>(const CloudZoneID&) const = default;
  std::string description() const;
};

class CloudRecordID;
class CloudRecord;
using CloudRecordIDPtr = std::shared_ptr<CloudRecordID>;
using CloudRecordPtr = std::shared_ptr<CloudRecord>;

class CloudRecordID : public Object {
  ZORVEL_CLASS(CloudRecordID, Object)

 public:
  CloudRecordID() = default;  // for decoding only
  static CloudRecordIDPtr make(std::string recordName, CloudZoneID zoneID);

  const std::string& recordName() const { return recordName_; }
  const CloudZoneID& zoneID() const { return zoneID_; }

  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;
  ObjectPtr copy() const override;
  std::string description() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& coder) const override;
  bool initWithCoder(KeyedUnarchiver& coder) override;

 private:
  std::string recordName_;
  CloudZoneID zoneID_;
};

namespace detail {
struct CloudRecordAccess;
}

class CloudRecord : public Object {
  ZORVEL_CLASS(CloudRecord, Object)

 public:
  CloudRecord() = default;  // for decoding only
  // A new record that the server has never stored (no change tag).
  static CloudRecordPtr make(std::string recordType, CloudRecordIDPtr recordID);

  const std::string& recordType() const { return recordType_; }
  const CloudRecordIDPtr& recordID() const { return recordID_; }

  // The value for the key; nil when absent.
  Value objectForKey(std::string_view key) const;
  // Sets (nil: removes) the value and marks the key changed.
  void setObject(const Value& value, std::string_view key);
  // Keys that have values, in the order they were first set.
  std::vector<std::string> allKeys() const;
  // Keys set since the record was made, fetched or saved, in the order first changed.
  std::vector<std::string> changedKeys() const;

  // System fields. The change tag is empty until the server has stored the record.
  std::string recordChangeTag() const;
  std::optional<Date> creationDate() const;
  std::optional<Date> modificationDate() const;
  std::string creatorUserName() const;
  std::string lastModifiedUserName() const;

  // A copy with the same system fields, values and changed keys.
  ObjectPtr copy() const override;
  CloudRecordPtr copyRecord() const;
  // A copy with the same system fields and no values or changed keys.
  CloudRecordPtr copyWithSystemFieldsOnly() const;

  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& coder) const override;
  void encodeSystemFieldsWithCoder(KeyedArchiver& coder) const;
  bool initWithCoder(KeyedUnarchiver& coder) override;
  std::string description() const override;

  // Whether the value may be stored in a field (the kinds listed above).
  static bool isValidFieldValue(const Value& value);

 private:
  friend struct detail::CloudRecordAccess;
  CloudRecordPtr copyWith(bool values) const;
  struct SystemFields {
    std::string changeTag;
    std::optional<Date> created;
    std::string createdBy;
    std::optional<Date> modified;
    std::string modifiedBy;
  };

  std::string recordType_;
  CloudRecordIDPtr recordID_;
  mutable std::mutex mutex_;
  SystemFields system_;
  ValueDictionary values_;
  std::vector<std::string> changedKeys_;
};

// A record zone of the database.
struct CloudRecordZone {
  CloudZoneID zoneID;

  CloudRecordZone() = default;
  explicit CloudRecordZone(std::string zoneName) : zoneID(std::move(zoneName)) {}
  explicit CloudRecordZone(CloudZoneID id) : zoneID(std::move(id)) {}
  bool operator==(const CloudRecordZone&) const = default;
};

struct CloudNotificationInfo {
  // Every change of the subscribed zone sends a silent push (see CloudContainer::setPushHandler).
  bool shouldSendContentAvailable = false;
  bool operator==(const CloudNotificationInfo&) const = default;
};

// A subscription to every change of one record zone.
struct CloudRecordZoneSubscription {
  CloudZoneID zoneID;
  std::string subscriptionID;
  CloudNotificationInfo notificationInfo;

  CloudRecordZoneSubscription() = default;
  CloudRecordZoneSubscription(CloudZoneID zone, std::string id)
      : zoneID(std::move(zone)), subscriptionID(std::move(id)) {}
  bool operator==(const CloudRecordZoneSubscription&) const = default;
};

// Where a zone's change history was read up to; opaque. Archived by the caller between runs.
class CloudServerChangeToken : public Object {
  ZORVEL_CLASS(CloudServerChangeToken, Object)

 public:
  CloudServerChangeToken() = default;  // for decoding only
  static std::shared_ptr<CloudServerChangeToken> make(std::string token);
  const std::string& tokenString() const { return token_; }

  bool isEqual(const Object& other) const override;
  std::size_t hash() const override;
  std::string description() const override;
  bool supportsCoding() const override { return true; }
  void encodeWithCoder(KeyedArchiver& coder) const override;
  bool initWithCoder(KeyedUnarchiver& coder) override;

 private:
  std::string token_;
};
using CloudServerChangeTokenPtr = std::shared_ptr<CloudServerChangeToken>;

}  // namespace platform
