#pragma once

#ifndef ZORVEL_INTERNAL_platform_cloud
#error "platform/cloud/cloud_internal.h is internal to the cloud client"
#endif

// Internal to the cloud client: libpq connections and their pool, the failure that ends a
// request, the field-value codec and the record's system-field access. Not for other folders.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_error.h"
#include "platform/cloud/cloud_record.h"

typedef struct pg_conn PGconn;
typedef struct pg_result PGresult;

namespace platform::detail {

// Ends a whole request with an error of the cloud domain.
struct CloudFailure : std::exception {
  explicit CloudFailure(ErrorPtr e) : error(std::move(e)) {}
  const char* what() const noexcept override { return "cloud request failed"; }
  ErrorPtr error;
};
[[noreturn]] void failCloud(CloudErrorCode code, std::string description);

// The rows of one answer. Column values are text; a missing (NULL) value reads as nullopt, and
// text that is not UTF-8 or holds NUL is a failure (InternalError), never data.
class PgRows {
 public:
  explicit PgRows(PGresult* result) : result_(result) {}
  ~PgRows();
  PgRows(PgRows&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  PgRows(const PgRows&) = delete;
  PgRows& operator=(const PgRows&) = delete;
  PgRows& operator=(PgRows&&) = delete;

  int count() const;
  int columns() const;
  std::optional<std::string> text(int row, int column) const;
  // The value, or a failure (InternalError) naming the column when it is missing or malformed.
  std::string requiredText(int row, int column) const;
  std::int64_t integer(int row, int column) const;
  std::optional<double> number(int row, int column) const;
  bool boolean(int row, int column) const;

 private:
  PGresult* result_;
};

// One libpq connection, used by one thread at a time.
class PgConnection {
 public:
  // Connects (blocking); a failure is thrown as CloudFailure with NotAuthenticated for refused
  // credentials or a malformed connection string, ServiceUnavailable for a server that cannot
  // take the connection now, NetworkUnavailable otherwise.
  static std::unique_ptr<PgConnection> open(const std::string& connectionString);
  ~PgConnection();
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  // Runs one statement with text parameters (nullopt: NULL) and returns its rows. A server error
  // "ZCnnn" is thrown as code nnn; a broken connection as NetworkFailure; others as InternalError
  // (PermissionFailure for missing rights).
  PgRows exec(const char* sql, const std::vector<std::optional<std::string>>& params = {});
  // Still usable: open, no transaction left open, and the server has not closed it.
  bool isReusable();
  // Hands the libpq connection over to the caller (the push listener).
  PGconn* release() { return std::exchange(conn_, nullptr); }

 private:
  friend class CloudConnectionPool;
  explicit PgConnection(PGconn* conn) : conn_(conn) {}
  PGconn* conn_;
  std::string connectionString_;  // the configuration it was made from
};

// The connections of one container, kept for the next operation (a few at most).
class CloudConnectionPool {
 public:
  using ConfigurationSource = std::function<CloudConfiguration()>;
  explicit CloudConnectionPool(ConfigurationSource source) : source_(std::move(source)) {}

  CloudConfiguration configuration() const { return source_(); }
  // An idle connection or a new one; NotAuthenticated when no account is configured.
  std::unique_ptr<PgConnection> acquire();
  void release(std::unique_ptr<PgConnection> connection);

 private:
  static constexpr std::size_t kMaxIdle = 4;
  ConfigurationSource source_;
  std::mutex mutex_;
  std::string connectionString_;  // of the idle connections
  std::vector<std::unique_ptr<PgConnection>> idle_;
};

// A connection lent to one operation; returned to the pool when it is still sound.
class CloudSession {
 public:
  explicit CloudSession(CloudContainer& container);
  ~CloudSession();
  CloudSession(const CloudSession&) = delete;
  CloudSession& operator=(const CloudSession&) = delete;

  PgRows exec(const char* sql, const std::vector<std::optional<std::string>>& params = {}) {
    return connection_->exec(sql, params);
  }
  CloudContainer& container() { return container_; }
  const std::string& containerIdentifier() const { return container_.containerIdentifier(); }

 private:
  CloudContainer& container_;
  std::unique_ptr<PgConnection> connection_;
};

// Field values in the service's JSON: each value is an object with one tag:
// {"s": string} {"i": int} {"u": unsigned} {"d": double or "NaN"/"Infinity"/"-Infinity"}
// {"b": bool} {"t": seconds since the reference date} {"x": Base64 data} {"a": [values]}.
std::string encodeFieldsJson(const ValueDictionary& fields);
// Whether every key is valid UTF-8 and every value has an encoding (strings: valid UTF-8 without
// NUL; dates: finite); the first offending key goes to *badKey.
bool fieldsAreEncodable(const ValueDictionary& fields, std::string* badKey = nullptr);
// The longest field key a record holds, in bytes.
inline constexpr std::size_t kMaxFieldKeyLength = 255;
// Decodes a JSON object of tagged values; entries that do not decode, or that no record could
// hold or encode again (an empty or overlong key, a string with NUL, a date that is not finite),
// are left out.
ValueDictionary decodeFieldsJson(const std::string& json);
// Quotes a string for a JSON document.
std::string jsonString(const std::string& text);

struct CloudRecordAccess {
  static void setSystemFields(CloudRecord& record, std::string changeTag, std::optional<Date> created,
                              std::string createdBy, std::optional<Date> modified, std::string modifiedBy);
  static void setValuesFromServer(CloudRecord& record, ValueDictionary values);
  static void clearChangedKeys(CloudRecord& record);
  // Everything a save sends, read under the record's lock in one go.
  struct SaveRequest {
    std::string recordType;
    std::string changeTag;
    ValueDictionary fields;            // changed (or, for a new record, all) values
    std::vector<std::string> removed;  // changed keys without a value
  };
  static SaveRequest saveRequest(const CloudRecord& record);
};

// A record as the server sent it; a failure (InternalError) when it has no type or ID.
CloudRecordPtr makeServerRecord(const std::string& recordType, const CloudRecordIDPtr& id,
                                const std::string& fieldsJson, const std::string& changeTag,
                                std::optional<double> createdEpoch, std::string createdBy,
                                std::optional<double> modifiedEpoch, std::string modifiedBy);

// Follows the container's subscription channels over a connection of its own and delivers
// pushes on the main thread. Its state belongs to the main thread; the few members that other
// threads call say so.
class CloudPushListener {
 public:
  CloudPushListener(std::string containerIdentifier, std::function<CloudConfiguration()> configuration,
                    CloudContainer::PushHandlerWithCompletion handler);
  ~CloudPushListener();

  // Any thread.
  void start();
  void stop();
  void addChannels(const std::vector<std::pair<std::string, CloudPushNotification>>& channels);
  bool isListening() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace platform::detail
