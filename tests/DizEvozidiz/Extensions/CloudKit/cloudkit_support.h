#pragma once

// Helpers of the cloud sync extension's tests: a record handler over dictionaries, and reads of the
// extension's three tables.
//
// Objects of the synced collections are dictionaries; each entry becomes a field of the row's
// record, except "record", which names the record (default: the row's key), so that several rows
// can share one record. A row whose object is not a dictionary has no record.

#include <sqlite3.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/CloudKit/DizEvozidizCloudKit.h"

namespace dzcktest {

using platform::CloudRecord;
using platform::CloudRecordID;
using platform::CloudRecordPtr;
using platform::CloudZoneID;
using platform::Value;

struct HandlerCalls {
  std::atomic<int> calls{0};
  std::atomic<int> restores{0};  // calls that rebuilt a queued record
};

inline DizEvozidizCloudKitRecordHandler::Ptr dictionaryHandler(std::shared_ptr<HandlerCalls> counters,
                                                               DZCKDatabaseIdentifier database = std::nullopt,
                                                               std::optional<std::uint64_t> options = std::nullopt) {
  auto block = [counters, database](DizEvozidizReadWriteTransaction&, CloudRecordPtr& record, DZCKRecordInfo& info,
                                    const std::string&, const std::string& key, const Value& object) {
    ++counters->calls;
    if (info.keysToRestore) ++counters->restores;
    if (!object.isDictionary()) {
      record = nullptr;
      return;
    }
    const std::string name = object["record"].isString() ? object["record"].asString() : key;
    if (!record || record->recordID()->recordName() != name)
      record = CloudRecord::make("Events", CloudRecordID::make(name, CloudZoneID("Events")));
    for (const auto& [field, value] : object.asDictionary())
      if (field != "record" && record->objectForKey(field) != value) record->setObject(value, field);
    info.databaseIdentifier = database;
  };
  return options ? DizEvozidizCloudKitRecordHandler::withOptionsObjectBlock(*options, block)
                 : DizEvozidizCloudKitRecordHandler::withObjectBlock(block);
}

// One number from SQL run on the connection's handle (-1 when it fails).
inline std::int64_t sqlNumber(const DizEvozidizConnection::Ptr& connection, const std::string& sql) {
  std::int64_t n = -1;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(DizInternal(*t.connection()).db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW)
      n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
  });
  return n;
}

inline std::int64_t rowsOf(const DizEvozidizConnection::Ptr& connection, const std::string& table) {
  return sqlNumber(connection, "SELECT count(*) FROM \"" + table + "\";");
}

}  // namespace dzcktest
