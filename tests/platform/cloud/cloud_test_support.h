#pragma once

// The cloud tests' own PostgreSQL cluster (started by the CTest fixture, see tests/CMakeLists.txt)
// and helpers to make users, containers and to run operations to their end.

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_operations.h"

namespace platform::cloudtest {

struct Cluster {
  std::string host, port, adminUser, adminPassword;

  std::string connectionString(const std::string& user, const std::string& password) const {
    return "host=" + host + " port=" + port + " dbname=postgres user=" + user + " password=" + password;
  }
  std::string adminConnectionString() const { return connectionString(adminUser, adminPassword); }
};

// The fixture's cluster, or nullopt when the tests run outside CTest (they then skip: they never
// use any other server).
inline std::optional<Cluster> testCluster() {
  std::ifstream file(ZORVEL_CLOUD_TEST_CLUSTER_INFO);
  if (!file) return std::nullopt;
  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(file, line)) {
    auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (values["port"].empty()) return std::nullopt;
  return Cluster{values["host"], values["port"], values["admin_user"], values["admin_password"]};
}

#define REQUIRE_TEST_CLUSTER(cluster)                                                     \
  auto cluster##Found = ::platform::cloudtest::testCluster();                             \
  if (!cluster##Found) GTEST_SKIP() << "no test cluster (run these tests through ctest)"; \
  const ::platform::cloudtest::Cluster& cluster = *cluster##Found

// A raw libpq connection for checks below the client library.
class RawConnection {
 public:
  explicit RawConnection(const std::string& connectionString) : conn_(PQconnectdb(connectionString.c_str())) {}
  ~RawConnection() { PQfinish(conn_); }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool ok() const { return PQstatus(conn_) == CONNECTION_OK; }
  // The first column of the first row, or "ERROR <sqlstate>" when the statement failed.
  std::string run(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    std::string out;
    ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_TUPLES_OK) {
      out = PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
    } else if (status != PGRES_COMMAND_OK) {
      const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
      out = std::string("ERROR ") + (state ? state : "?");
    }
    PQclear(result);
    return out;
  }
  PGconn* raw() { return conn_; }

 private:
  PGconn* conn_;
};

struct User {
  std::string name, password, connectionString;
};

// A new application user of the cluster.
inline User createUser(const Cluster& cluster) {
  static std::atomic<int> counter{0};
  std::random_device random;
  std::string name =
      "u" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + std::to_string(random() % 100000);
  std::string password = "p" + std::to_string(random()) + std::to_string(random());
  RawConnection admin(cluster.adminConnectionString());
  EXPECT_TRUE(admin.ok()) << PQerrorMessage(admin.raw());
  EXPECT_EQ(admin.run("SELECT zorvel_cloud.add_user('" + name + "', '" + password + "')"), "");
  return {name, password, cluster.connectionString(name, password)};
}

inline CloudContainerPtr containerFor(const User& user, std::string identifier = "test.container") {
  return CloudContainer::createWithConnectionString(std::move(identifier), user.connectionString);
}

// Runs the operation on the database and waits until it has finished (its blocks have run).
template <class Op>
void run(const CloudDatabasePtr& database, const std::shared_ptr<Op>& operation) {
  database->addOperation(operation);
  operation->waitUntilFinished();
}

// Saves the zone, failing the test on an error.
inline void makeZone(const CloudDatabasePtr& database, const std::string& zone) {
  auto op = CloudModifyRecordZonesOperation::make({CloudRecordZone(zone)}, {});
  ErrorPtr error;
  op->setModifyRecordZonesCompletionBlock([&](auto&, auto&, const ErrorPtr& e) { error = e; });
  run(database, op);
  ASSERT_EQ(error, nullptr) << error->description();
}

struct ModifyResult {
  std::vector<CloudRecordPtr> saved;
  std::vector<CloudRecordIDPtr> deleted;
  ErrorPtr error;
};

inline ModifyResult modify(const CloudDatabasePtr& database, std::vector<CloudRecordPtr> save,
                           std::vector<CloudRecordIDPtr> remove = {}) {
  ModifyResult result;
  auto op = CloudModifyRecordsOperation::make(std::move(save), std::move(remove));
  op->setModifyRecordsCompletionBlock([&](auto& saved, auto& deleted, const ErrorPtr& error) {
    result.saved = saved;
    result.deleted = deleted;
    result.error = error;
  });
  run(database, op);
  return result;
}

// The code of each item's error of a partial failure, by record name.
inline std::map<std::string, std::int64_t> itemCodes(const ErrorPtr& error) {
  std::map<std::string, std::int64_t> codes;
  if (!error) return codes;
  for (const CloudItemError& item : cloudPartialErrors(*error)) {
    if (auto id = item.itemID.as<CloudRecordID>())
      codes[id->recordName()] = item.error->code();
    else
      codes[item.itemID.asString()] = item.error->code();
  }
  return codes;
}

struct ChangesResult {
  std::vector<CloudRecordPtr> changed;
  std::vector<std::pair<std::string, std::string>> deleted;  // record name, type
  CloudServerChangeTokenPtr token;
  bool moreComing = false;
  ErrorPtr error;
};

inline ChangesResult fetchChanges(const CloudDatabasePtr& database, const std::string& zone,
                                  CloudServerChangeTokenPtr token, std::uint32_t limit = 0) {
  ChangesResult result;
  CloudFetchRecordZoneChangesOptions options;
  options.previousServerChangeToken = std::move(token);
  options.resultsLimit = limit;
  auto op = CloudFetchRecordZoneChangesOperation::make({CloudZoneID(zone)}, {{CloudZoneID(zone), options}});
  op->setRecordChangedBlock([&](const CloudRecordPtr& record) { result.changed.push_back(record); });
  op->setRecordWithIDWasDeletedBlock([&](const CloudRecordIDPtr& id, const std::string& type) {
    result.deleted.emplace_back(id->recordName(), type);
  });
  op->setRecordZoneFetchCompletionBlock(
      [&](const CloudZoneID&, const CloudServerChangeTokenPtr& t, bool more, const ErrorPtr& e) {
        result.token = t;
        result.moreComing = more;
        result.error = e;
      });
  run(database, op);
  return result;
}

inline CloudRecordPtr newRecord(const std::string& name, const std::string& zone = "Events") {
  return CloudRecord::make("Events", CloudRecordID::make(name, CloudZoneID(zone)));
}

}  // namespace platform::cloudtest
