#pragma once

#ifndef ZORVEL_INTERNAL_store
#error "DizEvozidiz/DizEvozidizTransactionInternal.h is internal to the store and its extensions"
#endif

// Pieces shared by the transaction sources (read, enumeration, read-write). Internal: run on the
// connection's queue inside a transaction.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "DizEvozidiz/DizCollectionKey.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/DizEvozidizTransactionSqlInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"
#include "platform/runtime/value.h"

// The outcome of a rowid lookup. A failed lookup is never taken for a missing row.
enum class DizLookup { Found, Missing, Failed };

// Key cache first, then "getRowidForKeyStatement"; a found rowid is learned by the key cache.
// A failure is logged.
DizLookup DizLookupRowid(DizEvozidizConnectionInternal& connection, const DizCollectionKeyPtr& collectionKey,
                         std::int64_t& rowid);

// Stored bytes -> object, through the database's deserializer. Bytes that decode to nil are
// reported (a warning naming the row) and read as nil.
platform::Value DizDeserializeObject(DizEvozidizConnectionInternal& connection, const std::string& collection,
                                     const std::string& key, std::span<const std::uint8_t> bytes);
// Metadata bytes -> value: fewer than one byte is nil without calling the deserializer; other bytes
// that decode to nil are reported as for objects.
platform::Value DizDeserializeMetadata(DizEvozidizConnectionInternal& connection, const std::string& collection,
                                       const std::string& key, std::span<const std::uint8_t> bytes);

// What a metadata cache stores for a value: the value, or the DizNull marker for nil.
inline platform::Value DizMetadataCacheValue(const platform::Value& metadata) {
  return metadata.isNil() ? DizNull::value() : metadata;
}
// A cached metadata value as the caller sees it: DizNull reads as nil.
inline platform::Value DizMetadataFromCache(const platform::Value& cached) {
  return DizNull::isNull(cached) ? platform::Value() : cached;
}
