#include "platform/cloud/cloud_operations.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "platform/cloud/cloud_internal.h"
#include "platform/runtime/format.h"

namespace platform {

using detail::CloudSession;
using detail::PgRows;
using nlohmann::json;

namespace {

// A text[] literal for PostgreSQL: {"a","b"} with quotes and backslashes escaped.
std::string textArray(const std::vector<std::string>& items) {
  std::string out = "{";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (char c : items[i]) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  return out + "}";
}

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

ErrorPtr itemError(const PgRows& rows, int row, int codeColumn, int messageColumn) {
  auto code = static_cast<CloudErrorCode>(rows.integer(row, codeColumn));
  return makeCloudError(code, rows.text(row, messageColumn).value_or("The item failed"));
}

}  // namespace

// --- Base ----------------------------------------------------------------------------------------

void CloudDatabaseOperation::setDatabase(CloudDatabasePtr database) { setGuarded(database_, std::move(database)); }

CloudDatabasePtr CloudDatabaseOperation::database() const { return guarded(database_); }

void CloudDatabaseOperation::setAllowsCellularAccess(bool allows) { setGuarded(allowsCellularAccess_, allows); }

bool CloudDatabaseOperation::allowsCellularAccess() const { return guarded(allowsCellularAccess_); }

void CloudDatabaseOperation::start() {
  // A cancelled operation still answers, so that its caller is never left waiting.
  if (isCancelled() && !isExecuting() && !isFinished() && !cancelReported_.exchange(true))
    finishWithError(makeCloudError(CloudErrorCode::OperationCancelled, "The operation was cancelled"));
  Operation::start();
}

void CloudDatabaseOperation::main() {
  CloudDatabasePtr database = this->database();
  if (!database) database = CloudContainer::defaultContainer()->privateCloudDatabase();
  try {
    CloudSession session(*database->container());
    perform(session);
  } catch (const detail::CloudFailure& failure) {
    finishWithError(failure.error);
  }
}

// --- Zones ---------------------------------------------------------------------------------------

std::shared_ptr<CloudFetchRecordZonesOperation> CloudFetchRecordZonesOperation::make(std::vector<CloudZoneID> zoneIDs) {
  auto op = platform::make<CloudFetchRecordZonesOperation>();
  op->zoneIDs_ = std::move(zoneIDs);
  return op;
}

std::shared_ptr<CloudFetchRecordZonesOperation> CloudFetchRecordZonesOperation::fetchAllRecordZonesOperation() {
  auto op = platform::make<CloudFetchRecordZonesOperation>();
  op->all_ = true;
  return op;
}

void CloudFetchRecordZonesOperation::setFetchRecordZonesCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudFetchRecordZonesOperation::perform(CloudSession& session) {
  std::vector<std::string> names;
  for (const CloudZoneID& id : zoneIDs_) names.push_back(id.zoneName);
  PgRows rows = session.exec("SELECT o_name, o_found FROM zorvel_cloud.fetch_zones($1, $2::text[])",
                             {session.containerIdentifier(), all_ ? std::nullopt : std::optional(textArray(names))});
  std::vector<CloudRecordZone> zones;
  std::vector<CloudItemError> failures;
  for (int i = 0; i < rows.count(); ++i) {
    std::string name = rows.requiredText(i, 0);
    if (rows.boolean(i, 1))
      zones.emplace_back(CloudZoneID(name));
    else
      failures.push_back({Value(name), makeCloudError(CloudErrorCode::ZoneNotFound, "Zone " + name + " not found")});
  }
  ErrorPtr error = failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some record zones were not found");
  CompletionBlock completion = guarded(completion_);
  if (completion) completion(zones, error);
}

void CloudFetchRecordZonesOperation::finishWithError(const ErrorPtr& error) {
  CompletionBlock completion = guarded(completion_);
  if (completion) completion({}, error);
}

std::shared_ptr<CloudModifyRecordZonesOperation> CloudModifyRecordZonesOperation::make(
    std::vector<CloudRecordZone> zonesToSave, std::vector<CloudZoneID> zoneIDsToDelete) {
  auto op = platform::make<CloudModifyRecordZonesOperation>();
  op->save_ = std::move(zonesToSave);
  op->delete_ = std::move(zoneIDsToDelete);
  return op;
}

void CloudModifyRecordZonesOperation::setModifyRecordZonesCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudModifyRecordZonesOperation::perform(CloudSession& session) {
  std::vector<std::string> saveNames, deleteNames;
  for (const CloudRecordZone& zone : save_) saveNames.push_back(zone.zoneID.zoneName);
  for (const CloudZoneID& id : delete_) deleteNames.push_back(id.zoneName);
  PgRows rows = session.exec(
      "SELECT o_kind, o_name, o_code, o_message FROM zorvel_cloud.modify_zones($1, $2::text[], $3::text[])",
      {session.containerIdentifier(), textArray(saveNames), textArray(deleteNames)});
  std::vector<CloudRecordZone> saved;
  std::vector<CloudZoneID> deleted;
  std::vector<CloudItemError> failures;
  for (int i = 0; i < rows.count(); ++i) {
    std::string kind = rows.requiredText(i, 0), name = rows.requiredText(i, 1);
    if (rows.integer(i, 2) != 0)
      failures.push_back({Value(name), itemError(rows, i, 2, 3)});
    else if (kind == "save")
      saved.emplace_back(CloudZoneID(name));
    else
      deleted.emplace_back(name);
  }
  ErrorPtr error =
      failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some record zones were not modified");
  CompletionBlock completion = guarded(completion_);
  if (completion) completion(saved, deleted, error);
}

void CloudModifyRecordZonesOperation::finishWithError(const ErrorPtr& error) {
  CompletionBlock completion = guarded(completion_);
  if (completion) completion({}, {}, error);
}

// --- Subscriptions -------------------------------------------------------------------------------

namespace {

void noteChannels(CloudSession& session, const std::vector<std::pair<std::string, CloudPushNotification>>& channels) {
  if (!channels.empty()) session.container().noteSubscriptionChannels(channels);
}

}  // namespace

std::shared_ptr<CloudFetchSubscriptionsOperation> CloudFetchSubscriptionsOperation::make(
    std::vector<std::string> subscriptionIDs) {
  auto op = platform::make<CloudFetchSubscriptionsOperation>();
  op->ids_ = std::move(subscriptionIDs);
  return op;
}

std::shared_ptr<CloudFetchSubscriptionsOperation> CloudFetchSubscriptionsOperation::fetchAllSubscriptionsOperation() {
  auto op = platform::make<CloudFetchSubscriptionsOperation>();
  op->all_ = true;
  return op;
}

void CloudFetchSubscriptionsOperation::setFetchSubscriptionCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudFetchSubscriptionsOperation::perform(CloudSession& session) {
  PgRows rows = session.exec(
      "SELECT o_id, o_found, o_zone, o_content_available, o_channel FROM zorvel_cloud.fetch_subscriptions($1, "
      "$2::text[])",
      {session.containerIdentifier(), all_ ? std::nullopt : std::optional(textArray(ids_))});
  std::vector<CloudRecordZoneSubscription> found;
  std::vector<CloudItemError> failures;
  std::vector<std::pair<std::string, CloudPushNotification>> channels;
  for (int i = 0; i < rows.count(); ++i) {
    std::string id = rows.requiredText(i, 0);
    if (!rows.boolean(i, 1)) {
      failures.push_back({Value(id), makeCloudError(CloudErrorCode::UnknownItem, "Subscription " + id + " not found")});
      continue;
    }
    CloudRecordZoneSubscription subscription(CloudZoneID(rows.requiredText(i, 2)), id);
    subscription.notificationInfo.shouldSendContentAvailable = rows.boolean(i, 3);
    if (subscription.notificationInfo.shouldSendContentAvailable)
      channels.push_back({rows.requiredText(i, 4), {session.containerIdentifier(), id, subscription.zoneID}});
    found.push_back(std::move(subscription));
  }
  noteChannels(session, channels);
  ErrorPtr error = failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some subscriptions were not found");
  CompletionBlock completion = guarded(completion_);
  if (completion) completion(found, error);
}

void CloudFetchSubscriptionsOperation::finishWithError(const ErrorPtr& error) {
  CompletionBlock completion = guarded(completion_);
  if (completion) completion({}, error);
}

std::shared_ptr<CloudModifySubscriptionsOperation> CloudModifySubscriptionsOperation::make(
    std::vector<CloudRecordZoneSubscription> subscriptionsToSave, std::vector<std::string> subscriptionIDsToDelete) {
  auto op = platform::make<CloudModifySubscriptionsOperation>();
  op->save_ = std::move(subscriptionsToSave);
  op->delete_ = std::move(subscriptionIDsToDelete);
  return op;
}

void CloudModifySubscriptionsOperation::setModifySubscriptionsCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudModifySubscriptionsOperation::perform(CloudSession& session) {
  json saves = json::array();
  for (const CloudRecordZoneSubscription& s : save_)
    saves.push_back({{"id", s.subscriptionID},
                     {"zone", s.zoneID.zoneName},
                     {"contentAvailable", s.notificationInfo.shouldSendContentAvailable}});
  PgRows rows = session.exec(
      "SELECT o_kind, o_id, o_code, o_message, o_channel FROM zorvel_cloud.modify_subscriptions($1, $2::jsonb, "
      "$3::text[])",
      {session.containerIdentifier(), dump(saves), textArray(delete_)});
  std::vector<CloudRecordZoneSubscription> saved;
  std::vector<std::string> deleted;
  std::vector<CloudItemError> failures;
  std::vector<std::pair<std::string, CloudPushNotification>> channels;
  std::size_t saveIndex = 0;
  for (int i = 0; i < rows.count(); ++i) {
    std::string kind = rows.requiredText(i, 0), id = rows.requiredText(i, 1);
    bool isSave = kind == "save";
    const CloudRecordZoneSubscription* given = isSave && saveIndex < save_.size() ? &save_[saveIndex++] : nullptr;
    if (rows.integer(i, 2) != 0) {
      failures.push_back({Value(id), itemError(rows, i, 2, 3)});
    } else if (given) {
      saved.push_back(*given);
      if (given->notificationInfo.shouldSendContentAvailable)
        channels.push_back({rows.requiredText(i, 4), {session.containerIdentifier(), id, given->zoneID}});
    } else if (!isSave) {
      deleted.push_back(id);
    }
  }
  noteChannels(session, channels);
  ErrorPtr error =
      failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some subscriptions were not modified");
  CompletionBlock completion = guarded(completion_);
  if (completion) completion(saved, deleted, error);
}

void CloudModifySubscriptionsOperation::finishWithError(const ErrorPtr& error) {
  CompletionBlock completion = guarded(completion_);
  if (completion) completion({}, {}, error);
}

// --- Records -------------------------------------------------------------------------------------

std::shared_ptr<CloudModifyRecordsOperation> CloudModifyRecordsOperation::make(
    std::vector<CloudRecordPtr> recordsToSave, std::vector<CloudRecordIDPtr> recordIDsToDelete) {
  auto op = platform::make<CloudModifyRecordsOperation>();
  for (auto& record : recordsToSave)
    if (record) op->save_.push_back(std::move(record));
  for (auto& id : recordIDsToDelete)
    if (id) op->delete_.push_back(std::move(id));
  return op;
}

void CloudModifyRecordsOperation::setSavePolicy(CloudRecordSavePolicy policy) { setGuarded(policy_, policy); }

CloudRecordSavePolicy CloudModifyRecordsOperation::savePolicy() const { return guarded(policy_); }

void CloudModifyRecordsOperation::setModifyRecordsCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudModifyRecordsOperation::perform(CloudSession& session) {
  std::vector<CloudItemError> failures;
  // Records whose values cannot travel fail on their own; the others go in one request.
  json saves = json::array();
  std::vector<std::size_t> sent;  // index into save_ of each entry of `saves`
  for (std::size_t i = 0; i < save_.size(); ++i) {
    const CloudRecordPtr& record = save_[i];
    auto request = detail::CloudRecordAccess::saveRequest(*record);
    std::string badKey;
    if (!detail::fieldsAreEncodable(request.fields, &badKey)) {
      failures.push_back({Value(record->recordID()),
                          makeCloudError(CloudErrorCode::InvalidArguments,
                                         "Record " + record->recordID()->recordName() +
                                             " has a value the service cannot store under \"" + badKey + "\"")});
      continue;
    }
    json item = {{"zone", record->recordID()->zoneID().zoneName},
                 {"name", record->recordID()->recordName()},
                 {"type", request.recordType},
                 {"fields", json::parse(detail::encodeFieldsJson(request.fields))},
                 {"removed", request.removed}};
    if (!request.changeTag.empty()) item["tag"] = request.changeTag;
    saves.push_back(std::move(item));
    sent.push_back(i);
  }
  json deletes = json::array();
  for (const CloudRecordIDPtr& id : delete_)
    deletes.push_back({{"zone", id->zoneID().zoneName}, {"name", id->recordName()}});

  PgRows rows = session.exec(
      "SELECT o_kind, o_index, o_code, o_message, o_tag, o_created, o_created_by, o_modified, o_modified_by "
      "FROM zorvel_cloud.modify_records($1, $2::jsonb, $3::jsonb)",
      {session.containerIdentifier(), dump(saves), dump(deletes)});

  std::vector<CloudRecordPtr> saved;
  std::vector<CloudRecordIDPtr> deleted;
  for (int row = 0; row < rows.count(); ++row) {
    std::string kind = rows.requiredText(row, 0);
    std::int64_t index = rows.integer(row, 1);
    bool isSave = kind == "save";
    if (index < 0 || static_cast<std::size_t>(index) >= (isSave ? sent.size() : delete_.size()))
      detail::failCloud(CloudErrorCode::InternalError, "The server answered for an item that was not sent");
    if (isSave) {
      const CloudRecordPtr& record = save_[sent[static_cast<std::size_t>(index)]];
      if (rows.integer(row, 2) != 0) {
        failures.push_back({Value(record->recordID()), itemError(rows, row, 2, 3)});
        continue;
      }
      CloudRecordPtr stored = record->copyRecord();
      auto date = [](std::optional<double> epoch) -> std::optional<Date> {
        if (!epoch) return std::nullopt;
        return Date::fromTimeIntervalSince1970(*epoch);
      };
      detail::CloudRecordAccess::setSystemFields(*stored, rows.requiredText(row, 4), date(rows.number(row, 5)),
                                                 rows.text(row, 6).value_or(""), date(rows.number(row, 7)),
                                                 rows.text(row, 8).value_or(""));
      detail::CloudRecordAccess::clearChangedKeys(*stored);
      saved.push_back(std::move(stored));
    } else {
      const CloudRecordIDPtr& id = delete_[static_cast<std::size_t>(index)];
      if (rows.integer(row, 2) != 0)
        failures.push_back({Value(id), itemError(rows, row, 2, 3)});
      else
        deleted.push_back(id);
    }
  }
  ErrorPtr error =
      failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some records were not saved or deleted");
  CompletionBlock completion = guarded(completion_);
  if (completion) completion(saved, deleted, error);
}

void CloudModifyRecordsOperation::finishWithError(const ErrorPtr& error) {
  CompletionBlock completion = guarded(completion_);
  if (completion) completion({}, {}, error);
}

// --- Zone changes --------------------------------------------------------------------------------

std::shared_ptr<CloudFetchRecordZoneChangesOperation> CloudFetchRecordZoneChangesOperation::make(
    std::vector<CloudZoneID> zoneIDs, std::map<CloudZoneID, CloudFetchRecordZoneChangesOptions> optionsByZoneID) {
  auto op = platform::make<CloudFetchRecordZoneChangesOperation>();
  op->zoneIDs_ = std::move(zoneIDs);
  op->options_ = std::move(optionsByZoneID);
  return op;
}

void CloudFetchRecordZoneChangesOperation::setRecordChangedBlock(RecordChangedBlock block) {
  setGuarded(changed_, std::move(block));
}

void CloudFetchRecordZoneChangesOperation::setRecordWithIDWasDeletedBlock(RecordDeletedBlock block) {
  setGuarded(deleted_, std::move(block));
}

void CloudFetchRecordZoneChangesOperation::setRecordZoneFetchCompletionBlock(ZoneCompletionBlock block) {
  setGuarded(zoneCompletion_, std::move(block));
}

void CloudFetchRecordZoneChangesOperation::setFetchRecordZoneChangesCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudFetchRecordZoneChangesOperation::perform(CloudSession& session) {
  RecordChangedBlock changed = guarded(changed_);
  RecordDeletedBlock deleted = guarded(deleted_);
  ZoneCompletionBlock zoneCompletion = guarded(zoneCompletion_);
  CompletionBlock completion = guarded(completion_);
  std::vector<CloudItemError> failures;
  for (const CloudZoneID& zoneID : zoneIDs_) {
    CloudFetchRecordZoneChangesOptions options;
    if (auto it = options_.find(zoneID); it != options_.end()) options = it->second;
    std::uint32_t limit = options.resultsLimit ? std::min(options.resultsLimit, kCloudLargestChangesPageSize)
                                               : kCloudDefaultChangesPageSize;
    struct Change {
      CloudRecordPtr record;       // a changed record, or
      CloudRecordIDPtr deletedID;  // a deleted one with its type
      std::string deletedType;
    };
    std::vector<Change> changes;
    CloudServerChangeTokenPtr token;
    bool moreComing = false;
    try {
      PgRows rows = session.exec(
          "SELECT o_kind, o_name, o_type, o_fields, o_tag, o_created, o_created_by, o_modified, o_modified_by, "
          "o_number "
          "FROM zorvel_cloud.fetch_changes($1, $2, $3, $4)",
          {session.containerIdentifier(), zoneID.zoneName,
           options.previousServerChangeToken ? std::optional(options.previousServerChangeToken->tokenString())
                                             : std::nullopt,
           std::to_string(limit)});
      if (rows.count() < 1 || rows.requiredText(0, 0) != "zone")
        detail::failCloud(CloudErrorCode::InternalError,
                          "The server's answer about zone " + zoneID.zoneName + " is malformed");
      std::string incarnation = rows.requiredText(0, 1);
      std::int64_t last = rows.integer(0, 9);
      int changeRows = rows.count() - 1;
      moreComing = changeRows > static_cast<int>(limit);
      int delivered = moreComing ? static_cast<int>(limit) : changeRows;
      for (int row = 1; row <= delivered; ++row) {
        std::string kind = rows.requiredText(row, 0);
        auto id = CloudRecordID::make(rows.requiredText(row, 1), zoneID);
        if (kind == "deleted") {
          changes.push_back({nullptr, id, rows.requiredText(row, 2)});
        } else {
          changes.push_back(
              {detail::makeServerRecord(rows.requiredText(row, 2), id, rows.requiredText(row, 3),
                                        rows.requiredText(row, 4), rows.number(row, 5), rows.text(row, 6).value_or(""),
                                        rows.number(row, 7), rows.text(row, 8).value_or("")),
               nullptr,
               {}});
        }
        if (moreComing) last = rows.integer(row, 9);
      }
      token = CloudServerChangeToken::make(incarnation + ":" + std::to_string(last));
    } catch (const detail::CloudFailure& failure) {
      failures.push_back({Value(zoneID.zoneName), failure.error});
      if (zoneCompletion) zoneCompletion(zoneID, nullptr, false, failure.error);
      continue;
    }
    // In the order they were made (each record once, in its latest state).
    for (const Change& change : changes) {
      if (change.record && changed) changed(change.record);
      if (change.deletedID && deleted) deleted(change.deletedID, change.deletedType);
    }
    if (zoneCompletion) zoneCompletion(zoneID, token, moreComing, nullptr);
  }
  ErrorPtr error =
      failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some zones' changes were not fetched");
  if (completion) completion(error);
}

void CloudFetchRecordZoneChangesOperation::finishWithError(const ErrorPtr& error) {
  ZoneCompletionBlock zoneCompletion = guarded(zoneCompletion_);
  CompletionBlock completion = guarded(completion_);
  for (const CloudZoneID& zoneID : zoneIDs_)
    if (zoneCompletion) zoneCompletion(zoneID, nullptr, false, error);
  if (completion) completion(error);
}

// --- Fetch records -------------------------------------------------------------------------------

std::shared_ptr<CloudFetchRecordsOperation> CloudFetchRecordsOperation::make(std::vector<CloudRecordIDPtr> recordIDs) {
  auto op = platform::make<CloudFetchRecordsOperation>();
  for (auto& id : recordIDs)
    if (id) op->ids_.push_back(std::move(id));
  return op;
}

void CloudFetchRecordsOperation::setPerRecordCompletionBlock(PerRecordCompletionBlock block) {
  setGuarded(perRecord_, std::move(block));
}

void CloudFetchRecordsOperation::setFetchRecordsCompletionBlock(CompletionBlock block) {
  setGuarded(completion_, std::move(block));
}

void CloudFetchRecordsOperation::perform(CloudSession& session) {
  json items = json::array();
  for (const CloudRecordIDPtr& id : ids_)
    items.push_back({{"zone", id->zoneID().zoneName}, {"name", id->recordName()}});
  PgRows rows = session.exec(
      "SELECT o_index, o_code, o_message, o_type, o_fields, o_tag, o_created, o_created_by, o_modified, o_modified_by "
      "FROM zorvel_cloud.fetch_records($1, $2::jsonb)",
      {session.containerIdentifier(), dump(items)});
  if (rows.count() != static_cast<int>(ids_.size()))
    detail::failCloud(CloudErrorCode::InternalError, "The server answered for another number of records than asked");
  std::vector<CloudRecordPtr> records;
  std::vector<std::pair<CloudRecordPtr, ErrorPtr>> results;
  std::vector<CloudItemError> failures;
  for (int row = 0; row < rows.count(); ++row) {
    std::int64_t index = rows.integer(row, 0);
    if (index != row) detail::failCloud(CloudErrorCode::InternalError, "The server answered out of order");
    const CloudRecordIDPtr& id = ids_[static_cast<std::size_t>(index)];
    if (rows.integer(row, 1) != 0) {
      ErrorPtr error = itemError(rows, row, 1, 2);
      failures.push_back({Value(id), error});
      results.emplace_back(nullptr, error);
      continue;
    }
    auto record = detail::makeServerRecord(
        rows.requiredText(row, 3), id, rows.requiredText(row, 4), rows.requiredText(row, 5), rows.number(row, 6),
        rows.text(row, 7).value_or(""), rows.number(row, 8), rows.text(row, 9).value_or(""));
    records.push_back(record);
    results.emplace_back(record, nullptr);
  }
  PerRecordCompletionBlock perRecord = guarded(perRecord_);
  CompletionBlock completion = guarded(completion_);
  if (perRecord)
    for (std::size_t i = 0; i < results.size(); ++i) perRecord(results[i].first, ids_[i], results[i].second);
  ErrorPtr error = failures.empty() ? nullptr : makeCloudPartialFailure(failures, "Some records were not fetched");
  if (completion) completion(records, error);
}

void CloudFetchRecordsOperation::finishWithError(const ErrorPtr& error) {
  PerRecordCompletionBlock perRecord = guarded(perRecord_);
  CompletionBlock completion = guarded(completion_);
  if (perRecord)
    for (const CloudRecordIDPtr& id : ids_) perRecord(nullptr, id, error);
  if (completion) completion({}, error);
}

}  // namespace platform
