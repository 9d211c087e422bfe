#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

#include "DizEvozidiz/DizVfsShimInternal.h"
#include "support/temp_dir.h"

namespace {

class DizVfsShimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(diz_vfs_shim_register(name_.c_str(), nullptr, &shim_), SQLITE_OK);
    path_ = (dir_ / "shim.sqlite").string();
  }
  void TearDown() override {
    if (db_) sqlite3_close(db_);
    if (shim_) {
      EXPECT_EQ(diz_vfs_shim_unregister(&shim_), SQLITE_OK);
    }
  }

  sqlite3* open() {
    EXPECT_EQ(sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, name_.c_str()),
              SQLITE_OK);
    return db_;
  }
  int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  diz_file* mainFile() {
    sqlite3_file* file = nullptr;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_FILE_POINTER, &file);
    return reinterpret_cast<diz_file*>(file);
  }

  zorvel::test::TempDir dir_;
  std::string name_ = "diz_vfs_shim_test";
  std::string path_;
  diz_vfs* shim_ = nullptr;
  sqlite3* db_ = nullptr;
};

TEST(DizVfsShim, RegistrationRejectsBadArguments) {
  diz_vfs* shim = reinterpret_cast<diz_vfs*>(1);
  EXPECT_EQ(diz_vfs_shim_register(nullptr, nullptr, &shim), SQLITE_MISUSE);
  EXPECT_EQ(shim, nullptr);
  shim = reinterpret_cast<diz_vfs*>(1);
  EXPECT_EQ(diz_vfs_shim_register("x", "no-such-vfs", &shim), SQLITE_NOTFOUND);
  EXPECT_EQ(shim, nullptr);
  EXPECT_EQ(diz_vfs_shim_unregister(nullptr), SQLITE_MISUSE);
  EXPECT_EQ(diz_vfs_shim_unregister(&shim), SQLITE_MISUSE);
  EXPECT_EQ(diz_vfs_shim_last_opened_wal(nullptr), nullptr);
}

TEST(DizVfsShim, VersionOneVfsGivesAVersionOneShim) {
  sqlite3_vfs v1 = *sqlite3_vfs_find(nullptr);
  v1.iVersion = 1;
  v1.zName = "diz_test_v1";
  ASSERT_EQ(sqlite3_vfs_register(&v1, 0), SQLITE_OK);
  diz_vfs* shim = nullptr;
  ASSERT_EQ(diz_vfs_shim_register("diz_test_v1_shim", "diz_test_v1", &shim), SQLITE_OK);
  EXPECT_EQ(shim->base.iVersion, 1);
  EXPECT_EQ(shim->base.xCurrentTimeInt64, nullptr);
  EXPECT_EQ(shim->base.xSetSystemCall, nullptr);
  EXPECT_EQ(sqlite3_vfs_find("diz_test_v1_shim"), &shim->base);
  EXPECT_EQ(diz_vfs_shim_unregister(&shim), SQLITE_OK);
  EXPECT_EQ(shim, nullptr);
  EXPECT_EQ(sqlite3_vfs_find("diz_test_v1_shim"), nullptr);
  sqlite3_vfs_unregister(&v1);
}

TEST_F(DizVfsShimTest, RemembersTheLastOpenedWalUntilItCloses) {
  open();
  EXPECT_EQ(diz_vfs_shim_last_opened_wal(shim_), nullptr);
  ASSERT_EQ(exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x);"), SQLITE_OK);
  diz_file* wal = diz_vfs_shim_last_opened_wal(shim_);
  ASSERT_NE(wal, nullptr);
  EXPECT_TRUE(wal->is_wal);
  EXPECT_EQ(std::string(wal->filename), path_ + "-wal");
  EXPECT_FALSE(mainFile()->is_wal);
  sqlite3_close(db_);
  db_ = nullptr;
  EXPECT_EQ(diz_vfs_shim_last_opened_wal(shim_), nullptr);
}

// What a connection does: arm the hook on its main and WAL files before a read transaction; the
// first successful read reports the lock once, and the hook disarms itself.
struct LockReport {
  int reports = 0;
  bool waiting = false;
};

void reportReadLock(diz_file* file) {
  auto* report = static_cast<LockReport*>(file->hook_context);
  if (report->waiting) {
    report->waiting = false;
    ++report->reports;
  }
  file->read_hook = nullptr;
}

TEST_F(DizVfsShimTest, ReadHookReportsOncePerArmedTransaction) {
  open();
  ASSERT_EQ(exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x); INSERT INTO t VALUES (1);"), SQLITE_OK);
  diz_file* files[] = {mainFile(), diz_vfs_shim_last_opened_wal(shim_)};
  ASSERT_NE(files[1], nullptr);
  LockReport report;
  for (diz_file* f : files) f->hook_context = &report;
  // Another handle commits before each read transaction, so the reader must read the new pages.
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(path_.c_str(), &writer), SQLITE_OK);

  for (int transaction = 1; transaction <= 3; ++transaction) {
    ASSERT_EQ(sqlite3_exec(writer, "INSERT INTO t VALUES (2);", nullptr, nullptr, nullptr), SQLITE_OK);
    report.waiting = true;
    for (diz_file* f : files) f->read_hook = reportReadLock;
    ASSERT_EQ(exec("BEGIN; SELECT count(*) FROM t; SELECT * FROM t; COMMIT;"), SQLITE_OK);
    for (diz_file* f : files) f->read_hook = nullptr;  // ends with the transaction
    EXPECT_EQ(report.reports, transaction);
  }
  // Unarmed reads call nothing.
  ASSERT_EQ(sqlite3_exec(writer, "INSERT INTO t VALUES (3);", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_EQ(exec("SELECT * FROM t;"), SQLITE_OK);
  EXPECT_EQ(report.reports, 3);
  sqlite3_close(writer);
}

struct FaultPlan {
  diz_io_op op;
  int code;
  int hits = 0;
};

int injectFault(void* context, diz_file*, diz_io_op op) {
  auto* plan = static_cast<FaultPlan*>(context);
  if (op != plan->op) return SQLITE_OK;
  ++plan->hits;
  return plan->code;
}

TEST_F(DizVfsShimTest, FaultHookFailsTheChosenOperation) {
  open();
  ASSERT_EQ(exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x);"), SQLITE_OK);
  FaultPlan plan{diz_io_op::write, SQLITE_IOERR_WRITE};
  diz_vfs_shim_set_fault_hook(shim_, injectFault, &plan);
  EXPECT_NE(exec("INSERT INTO t VALUES (1);"), SQLITE_OK);
  EXPECT_EQ(sqlite3_extended_errcode(db_), SQLITE_IOERR_WRITE);
  EXPECT_GT(plan.hits, 0);
  diz_vfs_shim_set_fault_hook(shim_, nullptr, nullptr);
  EXPECT_EQ(exec("INSERT INTO t VALUES (2);"), SQLITE_OK);
}

TEST_F(DizVfsShimTest, FailedReadDoesNotCallTheHook) {
  open();
  ASSERT_EQ(exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x); INSERT INTO t VALUES (1);"), SQLITE_OK);
  sqlite3_close(db_);
  db_ = nullptr;
  open();  // a fresh handle has nothing cached and must read
  LockReport report;
  report.waiting = true;
  diz_file* main = mainFile();
  main->hook_context = &report;
  main->read_hook = reportReadLock;
  FaultPlan plan{diz_io_op::read, SQLITE_IOERR_READ};
  diz_vfs_shim_set_fault_hook(shim_, injectFault, &plan);
  EXPECT_NE(exec("SELECT * FROM t;"), SQLITE_OK);
  EXPECT_GT(plan.hits, 0);
  EXPECT_EQ(report.reports, 0);
  diz_vfs_shim_set_fault_hook(shim_, nullptr, nullptr);
  main->read_hook = nullptr;
}

TEST_F(DizVfsShimTest, FailedCloseStillForgetsTheWal) {
  open();
  ASSERT_EQ(exec("PRAGMA journal_mode = WAL; CREATE TABLE t (x);"), SQLITE_OK);
  ASSERT_NE(diz_vfs_shim_last_opened_wal(shim_), nullptr);
  FaultPlan plan{diz_io_op::close, SQLITE_IOERR_CLOSE};
  diz_vfs_shim_set_fault_hook(shim_, injectFault, &plan);
  sqlite3_close(db_);
  db_ = nullptr;
  diz_vfs_shim_set_fault_hook(shim_, nullptr, nullptr);
  EXPECT_GT(plan.hits, 0);
  EXPECT_EQ(diz_vfs_shim_last_opened_wal(shim_), nullptr);
}

}  // namespace
