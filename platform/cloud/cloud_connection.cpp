#include <libpq-fe.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

#include "platform/cloud/cloud_internal.h"
#include "platform/runtime/format.h"
#include "platform/system/crypto.h"
#include "platform/system/text.h"

namespace platform::detail {

using nlohmann::json;

void failCloud(CloudErrorCode code, std::string description) {
  throw CloudFailure(makeCloudError(code, std::move(description)));
}

namespace {

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

// --- Rows ----------------------------------------------------------------------------------------

PgRows::~PgRows() {
  if (result_) PQclear(result_);
}

int PgRows::count() const { return PQntuples(result_); }
int PgRows::columns() const { return PQnfields(result_); }

std::optional<std::string> PgRows::text(int row, int column) const {
  if (row < 0 || row >= count() || column < 0 || column >= columns() || PQgetisnull(result_, row, column))
    return std::nullopt;
  std::string value(PQgetvalue(result_, row, column), static_cast<std::size_t>(PQgetlength(result_, row, column)));
  // The connection's encoding is UTF-8, and PostgreSQL's text never holds NUL: anything else is
  // not an answer of the service.
  if (!isValidUtf8(value) || value.find('\0') != std::string::npos)
    failCloud(CloudErrorCode::InternalError,
              format("The server's answer holds malformed text in column %d of row %d", column, row));
  return value;
}

std::string PgRows::requiredText(int row, int column) const {
  auto value = text(row, column);
  if (!value)
    failCloud(CloudErrorCode::InternalError, format("The server's answer lacks column %d of row %d", column, row));
  return *value;
}

std::int64_t PgRows::integer(int row, int column) const {
  std::string value = requiredText(row, column);
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno == ERANGE)
    failCloud(CloudErrorCode::InternalError, "The server's answer holds a malformed number: " + value);
  return n;
}

std::optional<double> PgRows::number(int row, int column) const {
  auto value = text(row, column);
  if (!value) return std::nullopt;
  char* end = nullptr;
  double d = std::strtod(value->c_str(), &end);
  if (value->empty() || *end != '\0' || !std::isfinite(d))
    failCloud(CloudErrorCode::InternalError, "The server's answer holds a malformed number: " + *value);
  return d;
}

bool PgRows::boolean(int row, int column) const { return text(row, column) == std::optional<std::string>("t"); }

// --- Connection ----------------------------------------------------------------------------------

std::unique_ptr<PgConnection> PgConnection::open(const std::string& connectionString) {
  char* parseError = nullptr;
  PQconninfoOption* parsed = PQconninfoParse(connectionString.c_str(), &parseError);
  if (!parsed) {
    std::string message = parseError ? trimmed(parseError) : std::string("out of memory");
    if (parseError) PQfreemem(parseError);
    failCloud(CloudErrorCode::NotAuthenticated, "The cloud database configuration is not valid: " + message);
  }
  PQconninfoFree(parsed);

  // Our defaults first; the configured string (expanded from "dbname") overrides them.
  const char* keys[] = {
      "application_name", "connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval", "keepalives_count",
      "client_encoding",  "dbname",          nullptr};
  const char* values[] = {"zorvel", "10", "1", "30", "10", "3", "UTF8", connectionString.c_str(), nullptr};
  PGconn* conn = PQconnectdbParams(keys, values, 1);
  if (!conn) failCloud(CloudErrorCode::NetworkUnavailable, "Cannot reach the cloud database: out of memory");
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = trimmed(PQerrorMessage(conn));
    PQfinish(conn);
    if (contains(message, "authentication failed") || contains(message, "no password supplied") ||
        contains(message, "pg_hba.conf") || (contains(message, "role \"") && contains(message, "does not exist")))
      failCloud(CloudErrorCode::NotAuthenticated, "The cloud database refused the account: " + message);
    if (contains(message, "too many clients") || contains(message, "starting up") ||
        contains(message, "shutting down") || contains(message, "recovery mode"))
      failCloud(CloudErrorCode::ServiceUnavailable, "The cloud database cannot serve now: " + message);
    failCloud(CloudErrorCode::NetworkUnavailable, "Cannot reach the cloud database: " + message);
  }
  return std::unique_ptr<PgConnection>(new PgConnection(conn));
}

PgConnection::~PgConnection() {
  if (conn_) PQfinish(conn_);
}

PgRows PgConnection::exec(const char* sql, const std::vector<std::optional<std::string>>& params) {
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  PGresult* result =
      PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
  if (!result)
    failCloud(CloudErrorCode::NetworkFailure,
              "The connection to the cloud database failed: " + trimmed(PQerrorMessage(conn_)));
  ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK) return PgRows(result);

  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
  std::string sqlState = state ? state : "";
  std::string message = primary ? primary : trimmed(PQresultErrorMessage(result));
  PQclear(result);
  if (PQstatus(conn_) == CONNECTION_BAD || sqlState.rfind("08", 0) == 0 || sqlState.rfind("57P", 0) == 0 ||
      sqlState.empty())
    failCloud(CloudErrorCode::NetworkFailure, "The connection to the cloud database failed: " + message);
  if (sqlState.size() == 5 && sqlState.rfind("ZC", 0) == 0) {
    int code = std::atoi(sqlState.c_str() + 2);
    if (code > 0) failCloud(static_cast<CloudErrorCode>(code), message);
  }
  if (sqlState == "42501")
    failCloud(CloudErrorCode::PermissionFailure, "The account may not use the cloud database: " + message);
  // Out of resources, a serialization failure or deadlock, and the session's limits (a lock not
  // granted within lock_timeout, a statement cancelled by statement_timeout): worth trying later.
  if (sqlState.rfind("53", 0) == 0 || sqlState.rfind("40", 0) == 0 || sqlState == "55P03" || sqlState == "57014")
    failCloud(CloudErrorCode::ServiceUnavailable, "The cloud database cannot serve now: " + message);
  if (sqlState.rfind("22", 0) == 0)
    failCloud(CloudErrorCode::InvalidArguments, "The cloud database refused a value: " + message);
  failCloud(CloudErrorCode::InternalError, "The cloud database failed (" + sqlState + "): " + message);
}

bool PgConnection::isReusable() {
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK || PQtransactionStatus(conn_) != PQTRANS_IDLE) return false;
  // A server that went away has closed the socket; reading shows that without a round trip.
  if (!PQconsumeInput(conn_)) return false;
  while (PGnotify* n = PQnotifies(conn_)) PQfreemem(n);
  return PQstatus(conn_) == CONNECTION_OK;
}

// --- Pool ----------------------------------------------------------------------------------------

std::unique_ptr<PgConnection> CloudConnectionPool::acquire() {
  CloudConfiguration configuration = source_();
  if (!configuration.isConfigured())
    failCloud(CloudErrorCode::NotAuthenticated,
              "No cloud account is configured: set " + std::string(kCloudDatabaseEnvironmentVariable) +
                  " or write the connection string to " + CloudConfiguration::userSettingsFilePath());
  for (;;) {
    std::unique_ptr<PgConnection> candidate;
    {
      std::lock_guard lock(mutex_);
      if (configuration.connectionString != connectionString_) {
        idle_.clear();
        connectionString_ = configuration.connectionString;
      }
      if (idle_.empty()) break;
      candidate = std::move(idle_.back());
      idle_.pop_back();
    }
    if (candidate->isReusable()) return candidate;
  }
  auto connection = PgConnection::open(configuration.connectionString);
  connection->connectionString_ = configuration.connectionString;
  return connection;
}

void CloudConnectionPool::release(std::unique_ptr<PgConnection> connection) {
  if (!connection || !connection->isReusable()) return;
  std::lock_guard lock(mutex_);
  if (connection->connectionString_ == connectionString_ && idle_.size() < kMaxIdle)
    idle_.push_back(std::move(connection));
}

CloudSession::CloudSession(CloudContainer& container)
    : container_(container), connection_(container.connectionPool().acquire()) {}

CloudSession::~CloudSession() { container_.connectionPool().release(std::move(connection_)); }

// --- Field values --------------------------------------------------------------------------------

namespace {

bool encodeValue(const Value& value, json& out) {
  switch (value.type()) {
    case Value::Type::String:
      if (!isValidUtf8(value.asString()) || value.asString().find('\0') != std::string::npos) return false;
      out = json{{"s", value.asString()}};
      return true;
    case Value::Type::Int:
      out = json{{"i", value.asInt64()}};
      return true;
    case Value::Type::UInt:
      out = json{{"u", value.asUInt64()}};
      return true;
    case Value::Type::Bool:
      out = json{{"b", value.asBool()}};
      return true;
    case Value::Type::Double: {
      double d = value.asDouble();
      if (std::isnan(d))
        out = json{{"d", "NaN"}};
      else if (std::isinf(d))
        out = json{{"d", d > 0 ? "Infinity" : "-Infinity"}};
      else
        out = json{{"d", d}};
      return true;
    }
    case Value::Type::Date:
      out = json{{"t", value.asDate().timeIntervalSinceReferenceDate()}};
      return std::isfinite(value.asDate().timeIntervalSinceReferenceDate());
    case Value::Type::Data:
      out = json{{"x", base64Encode(ByteSpan(value.asData()))}};
      return true;
    case Value::Type::Array: {
      json items = json::array();
      for (const Value& item : value.asArray()) {
        if (item.isArray()) return false;
        json encoded;
        if (!encodeValue(item, encoded)) return false;
        items.push_back(std::move(encoded));
      }
      out = json{{"a", std::move(items)}};
      return true;
    }
    default:
      return false;
  }
}

// What the server sends is decoded only where the encoder above could have written it, so that a
// record read from the server can always be saved back (and archived).
std::optional<Value> decodeValue(const json& in, bool allowArray) {
  if (!in.is_object() || in.size() != 1) return std::nullopt;
  auto entry = in.begin();
  const std::string& tag = entry.key();
  const json& v = entry.value();
  if (tag == "s" && v.is_string()) {
    const std::string& text = v.get_ref<const std::string&>();
    if (!isValidUtf8(text) || text.find('\0') != std::string::npos) return std::nullopt;
    return Value(text);
  }
  if (tag == "i" && v.is_number_integer()) {
    if (v.is_number_unsigned() &&
        v.get<std::uint64_t>() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return std::nullopt;
    return Value(v.get<std::int64_t>());
  }
  if (tag == "u" && v.is_number_unsigned()) return Value(v.get<std::uint64_t>());
  if (tag == "u" && v.is_number_integer() && v.get<std::int64_t>() >= 0)
    return Value(static_cast<std::uint64_t>(v.get<std::int64_t>()));
  if (tag == "b" && v.is_boolean()) return Value(v.get<bool>());
  if (tag == "d" && v.is_number()) return Value(v.get<double>());
  if (tag == "d" && v.is_string()) {
    const std::string& s = v.get_ref<const std::string&>();
    if (s == "NaN") return Value(std::numeric_limits<double>::quiet_NaN());
    if (s == "Infinity") return Value(std::numeric_limits<double>::infinity());
    if (s == "-Infinity") return Value(-std::numeric_limits<double>::infinity());
    return std::nullopt;
  }
  if (tag == "t" && v.is_number()) {
    double seconds = v.get<double>();
    if (!std::isfinite(seconds)) return std::nullopt;
    return Value(Date(seconds));
  }
  if (tag == "x" && v.is_string()) {
    auto bytes = base64Decode(v.get<std::string>());
    if (!bytes) return std::nullopt;
    return Value(std::move(*bytes));
  }
  if (tag == "a" && v.is_array() && allowArray) {
    ValueArray items;
    for (const json& item : v) {
      auto decoded = decodeValue(item, false);
      if (!decoded) return std::nullopt;
      items.push_back(std::move(*decoded));
    }
    return Value(std::move(items));
  }
  return std::nullopt;
}

}  // namespace

bool fieldsAreEncodable(const ValueDictionary& fields, std::string* badKey) {
  for (const auto& [key, value] : fields) {
    json encoded;
    if (!isValidUtf8(key) || !encodeValue(value, encoded)) {
      if (badKey) *badKey = key;
      return false;
    }
  }
  return true;
}

std::string encodeFieldsJson(const ValueDictionary& fields) {
  json out = json::object();
  for (const auto& [key, value] : fields) {
    json encoded;
    if (encodeValue(value, encoded)) out[key] = std::move(encoded);
  }
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

ValueDictionary decodeFieldsJson(const std::string& text) {
  ValueDictionary out;
  json parsed = json::parse(text, nullptr, false);
  if (!parsed.is_object()) return out;
  for (const auto& [key, value] : parsed.items()) {
    if (key.empty() || key.size() > kMaxFieldKeyLength || !isValidUtf8(key)) continue;  // no record holds it
    if (auto decoded = decodeValue(value, true)) out.set(key, std::move(*decoded));
  }
  return out;
}

std::string jsonString(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace platform::detail
