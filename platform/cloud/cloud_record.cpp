#include "platform/cloud/cloud_record.h"

#include <algorithm>
#include <functional>

#include "platform/cloud/cloud_internal.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/error.h"
#include "platform/runtime/format.h"

namespace platform {

namespace {

constexpr std::size_t kMaxKeyLength = detail::kMaxFieldKeyLength;

bool isValidScalar(const Value& value) {
  switch (value.type()) {
    case Value::Type::String:
    case Value::Type::Int:
    case Value::Type::UInt:
    case Value::Type::Double:
    case Value::Type::Bool:
    case Value::Type::Date:
    case Value::Type::Data:
      return true;
    default:
      return false;
  }
}

std::optional<Date> decodeOptionalDate(KeyedUnarchiver& coder, std::string_view key, bool& ok) {
  Value v = coder.decodeValue(key);
  if (v.isNil()) return std::nullopt;
  if (!v.isDate()) {
    ok = false;
    return std::nullopt;
  }
  return v.asDate();
}

// A string under the key; absent reads as empty, another kind clears `ok`.
std::string decodeText(KeyedUnarchiver& coder, std::string_view key, bool& ok) {
  Value v = coder.decodeValue(key);
  if (v.isNil()) return {};
  if (!v.isString()) {
    ok = false;
    return {};
  }
  return v.asString();
}

}  // namespace

std::string CloudZoneID::description() const { return "<CloudZoneID: " + zoneName + ":" + ownerName + ">"; }

// --- CloudRecordID -------------------------------------------------------------------------------

CloudRecordIDPtr CloudRecordID::make(std::string recordName, CloudZoneID zoneID) {
  auto id = platform::make<CloudRecordID>();
  id->recordName_ = std::move(recordName);
  id->zoneID_ = std::move(zoneID);
  return id;
}

bool CloudRecordID::isEqual(const Object& other) const {
  auto* o = dynamic_cast<const CloudRecordID*>(&other);
  return o && o->recordName_ == recordName_ && o->zoneID_ == zoneID_;
}

std::size_t CloudRecordID::hash() const {
  std::size_t h = std::hash<std::string>{}(recordName_);
  h ^= std::hash<std::string>{}(zoneID_.zoneName) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  h ^= std::hash<std::string>{}(zoneID_.ownerName) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  return h;
}

ObjectPtr CloudRecordID::copy() const { return make(recordName_, zoneID_); }

std::string CloudRecordID::description() const {
  return "<CloudRecordID: " + recordName_ + ":(" + zoneID_.zoneName + ":" + zoneID_.ownerName + ")>";
}

void CloudRecordID::encodeWithCoder(KeyedArchiver& coder) const {
  coder.encodeString(recordName_, "recordName");
  coder.encodeString(zoneID_.zoneName, "zoneName");
  coder.encodeString(zoneID_.ownerName, "ownerName");
}

bool CloudRecordID::initWithCoder(KeyedUnarchiver& coder) {
  bool ok = true;
  recordName_ = decodeText(coder, "recordName", ok);
  zoneID_.zoneName = decodeText(coder, "zoneName", ok);
  zoneID_.ownerName = decodeText(coder, "ownerName", ok);
  return ok && !recordName_.empty() && !zoneID_.zoneName.empty() && coder.error() == nullptr;
}

// --- CloudRecord ---------------------------------------------------------------------------------

CloudRecordPtr CloudRecord::make(std::string recordType, CloudRecordIDPtr recordID) {
  if (!recordID) Exception::raise(kInvalidArgumentException, "CloudRecord: the record ID is nil");
  if (recordType.empty()) Exception::raise(kInvalidArgumentException, "CloudRecord: the record type is empty");
  auto record = platform::make<CloudRecord>();
  record->recordType_ = std::move(recordType);
  record->recordID_ = std::move(recordID);
  return record;
}

bool CloudRecord::isValidFieldValue(const Value& value) {
  if (value.isArray()) return std::all_of(value.asArray().begin(), value.asArray().end(), isValidScalar);
  return isValidScalar(value);
}

Value CloudRecord::objectForKey(std::string_view key) const {
  std::lock_guard lock(mutex_);
  const Value* v = values_.find(key);
  return v ? *v : Value();
}

void CloudRecord::setObject(const Value& value, std::string_view key) {
  if (key.empty() || key.size() > kMaxKeyLength)
    Exception::raise(kInvalidArgumentException, "CloudRecord: a field key must have 1 to 255 bytes");
  Value stored = value.isNull() ? Value() : value;
  if (!stored.isNil() && !isValidFieldValue(stored))
    Exception::raise(kInvalidArgumentException, "CloudRecord: a value for \"" + std::string(key) +
                                                    "\" must be a string, number, date, data or an array of them");
  std::lock_guard lock(mutex_);
  values_.set(std::string(key), stored);
  if (std::find(changedKeys_.begin(), changedKeys_.end(), key) == changedKeys_.end()) changedKeys_.emplace_back(key);
}

std::vector<std::string> CloudRecord::allKeys() const {
  std::lock_guard lock(mutex_);
  return values_.keys();
}

std::vector<std::string> CloudRecord::changedKeys() const {
  std::lock_guard lock(mutex_);
  return changedKeys_;
}

std::string CloudRecord::recordChangeTag() const {
  std::lock_guard lock(mutex_);
  return system_.changeTag;
}

std::optional<Date> CloudRecord::creationDate() const {
  std::lock_guard lock(mutex_);
  return system_.created;
}

std::optional<Date> CloudRecord::modificationDate() const {
  std::lock_guard lock(mutex_);
  return system_.modified;
}

std::string CloudRecord::creatorUserName() const {
  std::lock_guard lock(mutex_);
  return system_.createdBy;
}

std::string CloudRecord::lastModifiedUserName() const {
  std::lock_guard lock(mutex_);
  return system_.modifiedBy;
}

ObjectPtr CloudRecord::copy() const { return copyRecord(); }

CloudRecordPtr CloudRecord::copyRecord() const { return copyWith(true); }

CloudRecordPtr CloudRecord::copyWithSystemFieldsOnly() const { return copyWith(false); }

CloudRecordPtr CloudRecord::copyWith(bool values) const {
  auto record = platform::make<CloudRecord>();
  record->recordType_ = recordType_;
  record->recordID_ = recordID_;
  std::lock_guard lock(mutex_);
  record->system_ = system_;
  if (values) {
    record->values_ = values_;
    record->changedKeys_ = changedKeys_;
  }
  return record;
}

void CloudRecord::encodeSystemFieldsWithCoder(KeyedArchiver& coder) const {
  SystemFields system;
  {
    std::lock_guard lock(mutex_);
    system = system_;
  }
  coder.encodeString(recordType_, "recordType");
  coder.encodeObject(recordID_, "recordID");
  if (!system.changeTag.empty()) coder.encodeString(system.changeTag, "changeTag");
  if (system.created) coder.encodeValue(Value(*system.created), "created");
  if (!system.createdBy.empty()) coder.encodeString(system.createdBy, "createdBy");
  if (system.modified) coder.encodeValue(Value(*system.modified), "modified");
  if (!system.modifiedBy.empty()) coder.encodeString(system.modifiedBy, "modifiedBy");
}

void CloudRecord::encodeWithCoder(KeyedArchiver& coder) const {
  encodeSystemFieldsWithCoder(coder);
  ValueDictionary values;
  std::vector<std::string> changed;
  {
    std::lock_guard lock(mutex_);
    values = values_;
    changed = changedKeys_;
  }
  coder.encodeValue(Value(std::move(values)), "values");
  ValueArray keys(changed.begin(), changed.end());
  coder.encodeValue(Value(std::move(keys)), "changedKeys");
}

bool CloudRecord::initWithCoder(KeyedUnarchiver& coder) {
  bool ok = true;
  recordType_ = decodeText(coder, "recordType", ok);
  recordID_ =
      std::dynamic_pointer_cast<CloudRecordID>(coder.decodeObjectOfClass(CloudRecordID::staticClass(), "recordID"));
  SystemFields system;
  system.changeTag = decodeText(coder, "changeTag", ok);
  system.created = decodeOptionalDate(coder, "created", ok);
  system.createdBy = decodeText(coder, "createdBy", ok);
  system.modified = decodeOptionalDate(coder, "modified", ok);
  system.modifiedBy = decodeText(coder, "modifiedBy", ok);
  ValueDictionary values;
  std::vector<std::string> changed;
  Value storedValues = coder.decodeValue("values");
  if (storedValues.isDictionary()) {
    for (const auto& [key, value] : storedValues.asDictionary()) {
      if (key.empty() || key.size() > kMaxKeyLength || !isValidFieldValue(value)) ok = false;
      values.set(key, value);
    }
  } else if (!storedValues.isNil()) {
    ok = false;
  }
  Value storedKeys = coder.decodeValue("changedKeys");
  if (storedKeys.isArray()) {
    for (const Value& key : storedKeys.asArray()) {
      if (!key.isString() || key.asString().empty())
        ok = false;
      else if (std::find(changed.begin(), changed.end(), key.asString()) == changed.end())
        changed.push_back(key.asString());
    }
  } else if (!storedKeys.isNil()) {
    ok = false;
  }
  if (!ok || recordType_.empty() || !recordID_ || coder.error()) return false;
  std::lock_guard lock(mutex_);
  system_ = std::move(system);
  values_ = std::move(values);
  changedKeys_ = std::move(changed);
  return true;
}

std::string CloudRecord::description() const {
  std::lock_guard lock(mutex_);
  return "<CloudRecord: " + format("%p", this) + "; recordType=" + recordType_ +
         ", recordID=" + (recordID_ ? recordID_->description() : std::string("(null)")) +
         ", recordChangeTag=" + (system_.changeTag.empty() ? std::string("(none)") : system_.changeTag) +
         ", values=" + format("%zu", values_.size()) + ">";
}

// --- CloudServerChangeToken ----------------------------------------------------------------------

std::shared_ptr<CloudServerChangeToken> CloudServerChangeToken::make(std::string token) {
  auto t = platform::make<CloudServerChangeToken>();
  t->token_ = std::move(token);
  return t;
}

bool CloudServerChangeToken::isEqual(const Object& other) const {
  auto* o = dynamic_cast<const CloudServerChangeToken*>(&other);
  return o && o->token_ == token_;
}

std::size_t CloudServerChangeToken::hash() const { return std::hash<std::string>{}(token_); }

std::string CloudServerChangeToken::description() const { return "<CloudServerChangeToken: " + token_ + ">"; }

void CloudServerChangeToken::encodeWithCoder(KeyedArchiver& coder) const { coder.encodeString(token_, "token"); }

bool CloudServerChangeToken::initWithCoder(KeyedUnarchiver& coder) {
  bool ok = true;
  token_ = decodeText(coder, "token", ok);
  return ok && !token_.empty() && !coder.error();
}

// --- Internal access -----------------------------------------------------------------------------

namespace detail {

void CloudRecordAccess::setSystemFields(CloudRecord& record, std::string changeTag, std::optional<Date> created,
                                        std::string createdBy, std::optional<Date> modified, std::string modifiedBy) {
  std::lock_guard lock(record.mutex_);
  record.system_.changeTag = std::move(changeTag);
  record.system_.created = created;
  record.system_.createdBy = std::move(createdBy);
  record.system_.modified = modified;
  record.system_.modifiedBy = std::move(modifiedBy);
}

void CloudRecordAccess::setValuesFromServer(CloudRecord& record, ValueDictionary values) {
  std::lock_guard lock(record.mutex_);
  record.values_ = std::move(values);
  record.changedKeys_.clear();
}

void CloudRecordAccess::clearChangedKeys(CloudRecord& record) {
  std::lock_guard lock(record.mutex_);
  record.changedKeys_.clear();
}

CloudRecordAccess::SaveRequest CloudRecordAccess::saveRequest(const CloudRecord& record) {
  SaveRequest request;
  request.recordType = record.recordType_;
  std::lock_guard lock(record.mutex_);
  request.changeTag = record.system_.changeTag;
  if (request.changeTag.empty()) {
    request.fields = record.values_;
    return request;
  }
  for (const std::string& key : record.changedKeys_) {
    if (const Value* v = record.values_.find(key))
      request.fields.set(key, *v);
    else
      request.removed.push_back(key);
  }
  return request;
}

CloudRecordPtr makeServerRecord(const std::string& recordType, const CloudRecordIDPtr& id,
                                const std::string& fieldsJson, const std::string& changeTag,
                                std::optional<double> createdEpoch, std::string createdBy,
                                std::optional<double> modifiedEpoch, std::string modifiedBy) {
  if (recordType.empty()) failCloud(CloudErrorCode::InternalError, "The server's answer holds a record without a type");
  if (!id) failCloud(CloudErrorCode::InternalError, "The server's answer holds a record without an ID");
  auto record = CloudRecord::make(recordType, id);
  CloudRecordAccess::setValuesFromServer(*record, decodeFieldsJson(fieldsJson));
  auto date = [](std::optional<double> epoch) -> std::optional<Date> {
    if (!epoch) return std::nullopt;
    return Date::fromTimeIntervalSince1970(*epoch);
  };
  CloudRecordAccess::setSystemFields(*record, changeTag, date(createdEpoch), std::move(createdBy), date(modifiedEpoch),
                                     std::move(modifiedBy));
  return record;
}

}  // namespace detail
}  // namespace platform
