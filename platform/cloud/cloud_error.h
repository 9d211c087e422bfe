#pragma once

// Errors of the cloud record database: one domain, the codes its callers branch on, and the
// partial failure that carries one error per failed item.
//
// Every error of the domain has a localized description and, under kCloudErrorDescriptionKey,
// the server's or the client's own text; the text of an unknown-item error names the record
// ("Record <name> not found in zone <zone>"), which callers may search for the record name.
//
// A partial failure (code PartialFailure) holds, under kCloudPartialErrorsByItemIDKey, a
// dictionary from a text key per item to that item's error; each item's error names its item
// under kCloudErrorItemIDKey: a CloudRecordID object for records, the zone name for zones, the
// subscription ID for subscriptions. cloudPartialErrors() hands them back as pairs.
//
// Errors are immutable and may be shared between threads.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/runtime/error.h"
#include "platform/runtime/value.h"

namespace platform {

inline constexpr std::string_view kCloudErrorDomain = "ZorvelCloudErrorDomain";
inline constexpr std::string_view kCloudPartialErrorsByItemIDKey = "CKPartialErrors";
inline constexpr std::string_view kCloudErrorDescriptionKey = "CKErrorDescription";
inline constexpr std::string_view kCloudErrorItemIDKey = "ZorvelCloudItemID";

enum class CloudErrorCode : std::int64_t {
  InternalError = 1,           // the server failed in a way the client cannot repair
  PartialFailure = 2,          // some items failed; see the per-item errors
  NetworkUnavailable = 3,      // the server could not be reached
  NetworkFailure = 4,          // the connection broke during the request
  BadContainer = 5,            // not sent by this service; named for callers that test for it
  ServiceUnavailable = 6,      // the server is starting, stopping or full; try later
  NotAuthenticated = 9,        // no account is configured, or the server refused its credentials
  PermissionFailure = 10,      // the account may not use the record database
  UnknownItem = 11,            // the record or subscription does not exist
  InvalidArguments = 12,       // a name, type or value the service does not accept
  ServerRecordChanged = 14,    // the record on the server is not the version the save was based on
  ServerRejectedRequest = 15,  // not sent by this service; named for callers that test for it
  OperationCancelled = 20,     // the operation was cancelled before it ran
  ChangeTokenExpired = 21,     // the change token is too old or from another incarnation of the zone
  ZoneNotFound = 26,           // the record zone does not exist
  LimitExceeded = 27,          // the record is too large
};

// A new error of the domain with the description as localized description and as
// kCloudErrorDescriptionKey, plus the extra user-info entries.
ErrorPtr makeCloudError(CloudErrorCode code, std::string description, ValueDictionary extra = {});

struct CloudItemError {
  Value itemID;
  ErrorPtr error;
};

// A partial failure holding the item errors (each gets its item ID under kCloudErrorItemIDKey).
ErrorPtr makeCloudPartialFailure(const std::vector<CloudItemError>& itemErrors, std::string description);

// The item errors of a partial failure, in the order they were made; empty for other errors.
std::vector<CloudItemError> cloudPartialErrors(const Error& error);

// The text key under which an item's error is filed in the partial-failure dictionary.
std::string cloudItemKey(const Value& itemID);

bool isCloudError(const Error& error, CloudErrorCode code);

}  // namespace platform
