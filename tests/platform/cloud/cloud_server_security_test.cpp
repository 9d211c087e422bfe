// The cloud database as another user would probe it: plain SQL with that user's own credentials
// must neither reach, lock nor count anyone else's data, and the service's functions keep each
// user to their own rows. Also: the sessions' limits, and loading the schema again over a
// database with the older, wider rights.

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cloud_test_support.h"
#include "platform/cloud/cloud_database.h"
#include "platform/cloud/cloud_operations.h"

namespace platform {
namespace {

using namespace cloudtest;

constexpr const char* kRefused = "ERROR 42501";

class CloudServerSecurity : public ::testing::Test {
 protected:
  void SetUp() override {
    auto found = testCluster();
    if (!found) GTEST_SKIP() << "no test cluster (run these tests through ctest)";
    cluster_ = *found;
    victim_ = createUser(cluster_);
    prober_ = createUser(cluster_);
    database_ = containerFor(victim_)->privateCloudDatabase();
    makeZone(database_, "Events");
    auto record = newRecord("secret");
    record->setObject(Value("the victim's"), "name");
    auto result = modify(database_, {record});
    ASSERT_EQ(result.error, nullptr) << result.error->description();
    ASSERT_EQ(modify(database_, {newRecord("gone")}).error, nullptr);
    ASSERT_EQ(modify(database_, {}, {newRecord("gone")->recordID()}).error, nullptr);
  }

  // The victim's records as the victim's own client sees them.
  std::vector<std::string> victimRecords() {
    auto changes = fetchChanges(database_, "Events", nullptr);
    EXPECT_EQ(changes.error, nullptr);
    std::vector<std::string> names;
    for (const auto& record : changes.changed)
      names.push_back(record->recordID()->recordName() + "=" + record->objectForKey("name").asString());
    return names;
  }

  Cluster cluster_;
  User victim_, prober_;
  CloudDatabasePtr database_;
};

TEST_F(CloudServerSecurity, AUserHasNoRightsOnTheTablesSoCannotReadChangeOrLockThem) {
  RawConnection prober(prober_.connectionString);
  ASSERT_TRUE(prober.ok()) << PQerrorMessage(prober.raw());
  struct Case {
    const char* what;
    std::string sql;
  } cases[] = {
      {"lock the records", "LOCK TABLE zorvel_cloud.records IN ACCESS EXCLUSIVE MODE"},
      {"lock the zones", "LOCK TABLE zorvel_cloud.zones IN ACCESS EXCLUSIVE MODE"},
      {"lock the subscriptions", "LOCK TABLE zorvel_cloud.subscriptions IN ACCESS EXCLUSIVE MODE"},
      {"lock the records for sharing", "LOCK TABLE zorvel_cloud.records IN SHARE MODE"},
      {"read the records", "SELECT count(*) FROM zorvel_cloud.records"},
      {"read the zones", "SELECT count(*) FROM zorvel_cloud.zones"},
      {"read the subscriptions' channels", "SELECT channel FROM zorvel_cloud.subscriptions"},
      {"lock rows by reading them", "SELECT 1 FROM zorvel_cloud.zones FOR UPDATE"},
      {"change records", "UPDATE zorvel_cloud.records SET fields = '{}'"},
      {"delete zones", "DELETE FROM zorvel_cloud.zones"},
      {"plant a zone", "INSERT INTO zorvel_cloud.zones (owner, container, zone_name) VALUES ('" + victim_.name +
                           "', 'test.container', 'Planted')"},
      {"empty the records", "TRUNCATE zorvel_cloud.records"},
      {"call an internal helper", "SELECT zorvel_cloud.caller()"},
      {"make a user", "SELECT zorvel_cloud.add_user('intruder', 'secret')"},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(prober.run("BEGIN"), "") << c.what;
    EXPECT_EQ(prober.run(c.sql), kRefused) << c.what;
    ASSERT_EQ(prober.run("ROLLBACK"), "") << c.what;
  }
  // Meanwhile the victim's client works as ever.
  auto record = newRecord("after-probing");
  record->setObject(Value("still"), "name");
  EXPECT_EQ(modify(database_, {record}).error, nullptr);
  EXPECT_EQ(victimRecords(), (std::vector<std::string>{"secret=the victim's", "after-probing=still"}));
}

TEST_F(CloudServerSecurity, TheFunctionsKeepEveryUserToTheirOwnRows) {
  RawConnection prober(prober_.connectionString);
  ASSERT_TRUE(prober.ok());
  const std::string victimZone = "'[{\"zone\":\"Events\",\"name\":\"secret\"}]'";
  struct Case {
    const char* what;
    std::string sql;
    std::string answer;  // first column of the first row
  } cases[] = {
      {"zones by name", "SELECT o_found FROM zorvel_cloud.fetch_zones('test.container', '{Events}')", "f"},
      {"all zones", "SELECT count(*) FROM zorvel_cloud.fetch_zones('test.container', NULL)", "0"},
      {"changes of the victim's zone",
       "SELECT o_kind FROM zorvel_cloud.fetch_changes('test.container', 'Events', "
       "NULL, 10)",
       "ERROR ZC026"},
      {"records by ID", "SELECT o_code FROM zorvel_cloud.fetch_records('test.container', " + victimZone + ")", "26"},
      {"subscriptions", "SELECT count(*) FROM zorvel_cloud.fetch_subscriptions('test.container', NULL)", "0"},
      {"deleting the victim's record",
       "SELECT o_code FROM zorvel_cloud.modify_records('test.container', '[]', " + victimZone + ")", "26"},
      {"overwriting the victim's record",
       "SELECT o_code FROM zorvel_cloud.modify_records('test.container', "
       "'[{\"zone\":\"Events\",\"name\":\"secret\",\"type\":\"Events\",\"fields\":{\"name\":{\"s\":\"x\"}}}]', '[]')",
       "26"},
      {"deleting the victim's zone", "SELECT o_code FROM zorvel_cloud.modify_zones('test.container', '{}', '{Events}')",
       "0"},
      {"purging deletion markers", "SELECT zorvel_cloud.purge_deletion_markers('0')", "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(prober.run(c.sql), c.answer) << c.what;
  EXPECT_EQ(victimRecords(), (std::vector<std::string>{"secret=the victim's"}));
  // The victim's deletion marker survived the prober's purge: the victim's own purge still finds it.
  RawConnection victim(victim_.connectionString);
  EXPECT_EQ(victim.run("SELECT zorvel_cloud.purge_deletion_markers('0')"), "1");
}

TEST_F(CloudServerSecurity, OtherUsersAndTableWideCountsAreHiddenFromTheCatalogs) {
  RawConnection prober(prober_.connectionString);
  ASSERT_TRUE(prober.ok());
  struct Case {
    const char* what;
    std::string sql;
  } cases[] = {
      {"role names", "SELECT rolname FROM pg_roles"},
      {"user names", "SELECT usename FROM pg_user"},
      {"group members", "SELECT grolist FROM pg_group"},
      {"other sessions", "SELECT usename FROM pg_stat_activity"},
      {"row counts", "SELECT n_live_tup FROM pg_stat_user_tables"},
      {"row counts of every table", "SELECT n_tup_ins FROM pg_stat_all_tables"},
      {"block reads", "SELECT heap_blks_read FROM pg_statio_user_tables"},
      {"index use", "SELECT idx_scan FROM pg_stat_user_indexes"},
      {"the counter function", "SELECT pg_stat_get_live_tuples('zorvel_cloud.records'::regclass)"},
      {"row estimates", "SELECT reltuples FROM pg_class WHERE relname = 'records'"},
      {"page counts", "SELECT relpages FROM pg_class WHERE relname = 'records'"},
      {"table size", "SELECT pg_total_relation_size('zorvel_cloud.records')"},
      {"table size, heap only", "SELECT pg_relation_size('zorvel_cloud.records')"},
      {"database size", "SELECT pg_database_size(current_database())"},
      {"locks of others", "SELECT count(*) FROM pg_locks"},
  };
  for (const Case& c : cases) EXPECT_EQ(prober.run(c.sql), kRefused) << c.what;
  // What clients and tools still need keeps working.
  EXPECT_EQ(prober.run("SELECT relname FROM pg_class WHERE relname = 'records'"), "records");
  EXPECT_EQ(prober.run("SELECT current_user"), prober_.name);
  // Another database of the cluster, whose catalogs are not trimmed, does not let users in.
  RawConnection elsewhere(cluster_.connectionString(prober_.name, prober_.password) + " dbname=template1");
  EXPECT_FALSE(elsewhere.ok());
}

TEST_F(CloudServerSecurity, UserSessionsCarryLimits) {
  RawConnection session(prober_.connectionString);
  ASSERT_TRUE(session.ok());
  struct Case {
    const char* setting;
    const char* value;
  } cases[] = {
      {"lock_timeout", "5s"},
      {"statement_timeout", "1min"},
      {"idle_in_transaction_session_timeout", "1min"},
  };
  for (const Case& c : cases) EXPECT_EQ(session.run(std::string("SHOW ") + c.setting), c.value) << c.setting;
}

TEST_F(CloudServerSecurity, ASaveBehindAStuckTransactionGivesUpAndSaysTryLater) {
  // The user's own stuck session holds the zone...
  RawConnection stuck(victim_.connectionString);
  ASSERT_EQ(stuck.run("BEGIN"), "");
  ASSERT_EQ(stuck.run("SELECT o_code FROM zorvel_cloud.modify_records('test.container', "
                      "'[{\"zone\":\"Events\",\"name\":\"held\",\"type\":\"Events\",\"fields\":{}}]', '[]')"),
            "0");
  // ...so another device's save waits for it, but not for ever.
  auto started = std::chrono::steady_clock::now();
  auto save = std::async(std::launch::async, [&] { return modify(database_, {newRecord("waiting")}).error; });
  bool answered = save.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_EQ(stuck.run("ROLLBACK"), "");
  ErrorPtr error = save.get();
  EXPECT_TRUE(answered) << "the save waited for the stuck transaction";
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code(), static_cast<std::int64_t>(CloudErrorCode::ServiceUnavailable)) << error->description();
  EXPECT_GE(waited, 4.0);
}

// A database set up by the schema's older version gave users every right on the tables; loading
// the schema again takes those away and keeps the rows.
TEST_F(CloudServerSecurity, LoadingTheSchemaAgainTakesAwayOlderRightsAndKeepsTheRows) {
  std::ifstream file(ZORVEL_CLOUD_SCHEMA_FILE);
  ASSERT_TRUE(file) << ZORVEL_CLOUD_SCHEMA_FILE;
  std::stringstream schema;
  schema << file.rdbuf();

  RawConnection admin(cluster_.adminConnectionString());
  ASSERT_TRUE(admin.ok());
  const std::string name = "migrate_" + victim_.name;
  ASSERT_EQ(admin.run("CREATE DATABASE " + name), "");
  {
    RawConnection old(cluster_.adminConnectionString() + " dbname=" + name);
    ASSERT_TRUE(old.ok());
    ASSERT_EQ(old.run(schema.str()), "");
    // What the older version granted, and a row stored under it.
    ASSERT_EQ(old.run("GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA zorvel_cloud TO zorvel_cloud_user;"
                      "GRANT EXECUTE ON ALL FUNCTIONS IN SCHEMA zorvel_cloud TO zorvel_cloud_user;"
                      "ALTER TABLE zorvel_cloud.zones ALTER COLUMN owner SET DEFAULT current_user;"
                      "INSERT INTO zorvel_cloud.zones (owner, container, zone_name) VALUES ('" +
                      victim_.name + "', 'c', 'Kept')"),
              "");
    ASSERT_EQ(old.run("SELECT has_table_privilege('" + victim_.name + "', 'zorvel_cloud.records', 'UPDATE')"), "t");

    ASSERT_EQ(old.run(schema.str()), "");
    struct Case {
      const char* what;
      std::string sql;
      std::string answer;
    } cases[] = {
        {"update", "SELECT has_table_privilege('" + victim_.name + "', 'zorvel_cloud.records', 'UPDATE')", "f"},
        {"select", "SELECT has_table_privilege('" + victim_.name + "', 'zorvel_cloud.zones', 'SELECT')", "f"},
        {"delete", "SELECT has_table_privilege('" + victim_.name + "', 'zorvel_cloud.subscriptions', 'DELETE')", "f"},
        {"internal helper", "SELECT has_function_privilege('" + victim_.name + "', 'zorvel_cloud.caller()', 'EXECUTE')",
         "f"},
        {"a request",
         "SELECT has_function_privilege('" + victim_.name +
             "', 'zorvel_cloud.fetch_changes(text, text, text, integer)', 'EXECUTE')",
         "t"},
        {"owner default",
         "SELECT column_default IS NULL FROM information_schema.columns WHERE table_name = 'zones' "
         "AND column_name = 'owner'",
         "t"},
        {"the stored row", "SELECT zone_name FROM zorvel_cloud.zones WHERE owner = '" + victim_.name + "'", "Kept"},
    };
    for (const Case& c : cases) EXPECT_EQ(old.run(c.sql), c.answer) << c.what;
  }
  EXPECT_EQ(admin.run("DROP DATABASE " + name + " WITH (FORCE)"), "");
}

}  // namespace
}  // namespace platform
