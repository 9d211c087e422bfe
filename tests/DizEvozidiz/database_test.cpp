#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizManagerInternal.h"
#include "platform/dispatch/run_loop.h"
#include "platform/runtime/thread.h"
#include "platform/services/notification_center.h"
#include "support/close_database.h"
#include "support/temp_dir.h"
#include "transaction_test_support.h"

namespace {

namespace fs = std::filesystem;

// A plain SQLite handle on the file, for building and inspecting files beside the store.
class Sql {
 public:
  explicit Sql(const fs::path& path) { EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK); }
  ~Sql() { sqlite3_close(db_); }
  void exec(const std::string& sql) {
    char* message = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << (message ? message : "");
  }
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      out.push_back(text ? text : "NULL");
    }
    sqlite3_finalize(statement);
    return out;
  }
  std::string scalar(const std::string& sql) {
    auto values = column(sql);
    return values.empty() ? std::string("<none>") : values.front();
  }
  sqlite3* handle() { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

const std::string kGarbage = std::string(8192, 'x') + "this is not a database";

TEST(DizEvozidizFile, NewFileGetsTheExactSchemaAndPragmas) {
  zorvel::test::TempDir dir;
  const fs::path path = dir / "new.sqlite";
  DizEvozidizOptions options;
  options.pragmaPageSize = 8192;
  auto database = DizEvozidiz::create(path.string(), options);
  ASSERT_TRUE(database);
  EXPECT_EQ(database->snapshot(), 0u);  // waits for the upgrade and prepare
  EXPECT_EQ(database->pageSize(), 8192u);
  EXPECT_EQ(database->sqliteVersion(), sqlite3_libversion());
  EXPECT_TRUE(database->previouslyRegisteredExtensionNames().empty());

  Sql sql(path);
  EXPECT_EQ(sql.scalar("SELECT sql FROM sqlite_master WHERE name = 'database2'"),
            "CREATE TABLE \"database2\" (\"rowid\" INTEGER PRIMARY KEY,  \"collection\" CHAR NOT NULL,  \"key\" CHAR "
            "NOT NULL,  \"data\" BLOB,  \"metadata\" BLOB )");
  EXPECT_EQ(
      sql.scalar("SELECT sql FROM sqlite_master WHERE name = 'diz2'"),
      "CREATE TABLE \"diz2\" (\"extension\" CHAR NOT NULL,   \"key\" CHAR NOT NULL,   \"data\" BLOB,   PRIMARY KEY "
      "(\"extension\", \"key\") )");
  EXPECT_EQ(sql.scalar("SELECT sql FROM sqlite_master WHERE name = 'true_primary_key'"),
            "CREATE UNIQUE INDEX \"true_primary_key\" ON \"database2\" ( \"collection\", \"key\" )");
  EXPECT_EQ(sql.column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
            (std::vector<std::string>{"database2", "diz2"}));
  EXPECT_EQ(sql.scalar("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(sql.scalar("PRAGMA auto_vacuum"), "1");
  EXPECT_EQ(sql.scalar("PRAGMA page_size"), "8192");
  EXPECT_EQ(sql.scalar("PRAGMA user_version"), "3");
}

TEST(DizEvozidizFile, ExistingFileKeepsItsPageSizeAndAutoVacuum) {
  zorvel::test::TempDir dir;
  const fs::path path = dir / "old.sqlite";
  {
    Sql sql(path);
    sql.exec("PRAGMA page_size = 1024; CREATE TABLE other (x); PRAGMA user_version = 3;");
  }
  DizEvozidizOptions options;
  options.pragmaPageSize = 8192;
  auto database = DizEvozidiz::create(path.string(), options);
  ASSERT_TRUE(database);
  EXPECT_EQ(database->pageSize(), 1024u);
  Sql sql(path);
  EXPECT_EQ(sql.scalar("PRAGMA page_size"), "1024");
  EXPECT_EQ(sql.scalar("PRAGMA auto_vacuum"), "0");
  EXPECT_EQ(sql.scalar("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(sql.scalar("SELECT count(*) FROM sqlite_master WHERE name = 'database2'"), "1");
}

TEST(DizEvozidizFile, ReadsTheStoredSnapshotAndExtensionNames) {
  zorvel::test::TempDir dir;
  const fs::path path = dir / "snap.sqlite";
  {
    auto database = DizEvozidiz::create(path.string());
    ASSERT_TRUE(database);
    zorvel::test::closeDatabase(database);
  }
  {
    Sql sql(path);
    sql.exec(
        "INSERT INTO diz2 VALUES ('', 'snapshot', 42); INSERT INTO diz2 VALUES ('view', 'class', 'V');"
        "INSERT INTO diz2 VALUES ('view', 'classVersion', 1); INSERT INTO diz2 VALUES ('index', 'class', 'I');");
  }
  auto database = DizEvozidiz::create(path.string());
  ASSERT_TRUE(database);
  EXPECT_EQ(database->snapshot(), 42u);
  auto names = database->previouslyRegisteredExtensionNames();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"index", "view"}));
}

TEST(DizEvozidizFile, UpgradesOlderLayouts) {
  struct Case {
    int version;
    bool hasDiz;
  };
  for (Case c : {Case{1, true}, Case{2, false}}) {
    zorvel::test::TempDir dir;
    const fs::path path = dir / "upgrade.sqlite";
    {
      Sql sql(path);
      sql.exec(
          "CREATE TABLE \"database\" (\"rowid\" INTEGER PRIMARY KEY, \"collection\" CHAR NOT NULL, \"key\" CHAR NOT "
          "NULL, \"data\" BLOB, \"metadata\" BLOB);"
          "INSERT INTO \"database\" (collection, key, data, metadata) VALUES ('Events', 'a', x'01', NULL);"
          "INSERT INTO \"database\" (collection, key, data, metadata) VALUES ('', 'b', x'0203', x'04');");
      if (c.hasDiz) sql.exec("CREATE TABLE \"diz\" (\"extension\" CHAR, \"key\" CHAR, \"data\" BLOB);");
      sql.exec("PRAGMA user_version = " + std::to_string(c.version) + ";");
    }
    auto database = DizEvozidiz::create(path.string());
    ASSERT_TRUE(database) << c.version;
    database->snapshot();

    Sql sql(path);
    EXPECT_EQ(sql.scalar("PRAGMA user_version"), "3") << c.version;
    EXPECT_EQ(sql.column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
              (std::vector<std::string>{"database2", "diz2"}))
        << c.version;
    EXPECT_EQ(sql.column("SELECT collection || '/' || key || '/' || hex(data) || '/' || CASE WHEN metadata IS NULL "
                         "THEN '-' ELSE hex(metadata) END "
                         "FROM database2 ORDER BY key"),
              (std::vector<std::string>{"Events/a/01/-", "/b/0203/04"}))
        << c.version;
  }
}

// A damaged file (its schema holds an entry whose SQL is malformed, which SQLite reports as
// corruption) whose latest commits still sit in its WAL: another handle keeps the WAL open, so
// closing the store's failed handle does not checkpoint it. Frames left at the path would be replayed
// into the new database made there.
TEST(DizEvozidizCorruptFile, EachActionHandlesTheFileAndItsCompanions) {
  struct Case {
    std::int64_t action;
    bool opens;
    bool movedAside;
  };
  const Case cases[] = {
      {DizEvozidizCorruptActionFail, false, false},
      {DizEvozidizCorruptActionRename, true, true},
      {DizEvozidizCorruptActionDelete, true, false},
      {7, false, false},  // unknown: acts as fail, never deletes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    zorvel::test::TempDir dir;
    const fs::path path = dir / "Database.sqlite";
    auto holder = std::make_unique<Sql>(path);
    holder->exec(
        "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
        "CREATE TABLE notes (x); INSERT INTO notes VALUES ('user data');"
        "PRAGMA writable_schema = ON;"
        "INSERT INTO sqlite_master VALUES ('table', 'database2', 'database2', 0, 'not SQL at all');"
        "PRAGMA writable_schema = OFF;");
    const std::string main = readFile(path);
    const std::string wal = readFile(path.string() + "-wal");
    ASSERT_FALSE(wal.empty());
    if (c.movedAside) writeFile(dir / "Database.sqlite.0.corrupt", "taken");

    DizEvozidizOptions options;
    options.corruptAction = c.action;
    auto database = DizEvozidiz::create(path.string(), options);
    EXPECT_EQ(database != nullptr, c.opens);

    if (!c.opens) {
      EXPECT_TRUE(readFile(path) == main);
      // The failed attempt may append frames; the user's frames stay.
      EXPECT_EQ(readFile(path.string() + "-wal").compare(0, wal.size(), wal), 0);
      EXPECT_EQ(holder->scalar("SELECT x FROM notes"), "user data");
      EXPECT_FALSE(fs::exists(dir / "Database.sqlite.0.corrupt"));
      continue;
    }
    database->snapshot();
    {
      Sql sql(path);
      EXPECT_EQ(sql.column("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"),
                (std::vector<std::string>{"database2", "diz2"}));
      EXPECT_EQ(sql.scalar("SELECT count(*) FROM pragma_table_info('database2') WHERE name = 'collection'"), "1");
      EXPECT_EQ(sql.scalar("SELECT count(*) FROM database2"), "0");
      EXPECT_EQ(sql.scalar("PRAGMA integrity_check"), "ok");
    }
    if (c.movedAside) {
      const std::string aside = (dir / "Database.sqlite.1.corrupt").string();
      EXPECT_TRUE(readFile(aside) == main);
      EXPECT_EQ(readFile(aside + "-wal").compare(0, wal.size(), wal), 0);
      EXPECT_TRUE(fs::exists(aside + "-shm"));
      EXPECT_EQ(readFile(dir / "Database.sqlite.0.corrupt"), "taken");
      holder.reset();
      Sql moved(aside);  // the moved set is still a whole database, damaged schema entry and all
      moved.exec("PRAGMA writable_schema = ON;");
      EXPECT_EQ(moved.scalar("SELECT x FROM notes"), "user data");
    } else {
      EXPECT_FALSE(fs::exists(dir / "Database.sqlite.0.corrupt"));
    }
  }
}

// A store holding one row, released again.
void makeStoreWithARow(const fs::path& path) {
  auto database = DizEvozidiz::create(path.string());
  ASSERT_TRUE(database);
  ASSERT_TRUE(database->newConnection()->readWriteWithBlock(
      [](DizEvozidizReadWriteTransaction& t) { t.setObject(platform::Value("row"), "key", "c"); }));
}

platform::Value storedRow(const fs::path& path) {
  auto database = DizEvozidiz::create(path.string());
  if (!database) return platform::Value("<cannot open>");
  platform::Value value;
  database->newConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) { value = t.objectForKey("key", "c"); });
  return value;
}

std::vector<std::string> corruptFiles(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().string().find(".corrupt") != std::string::npos) found.push_back(entry.path().filename());
  return found;
}

// Failures that say nothing about the file itself (a lock held elsewhere, no file descriptors left,
// a directory at the path) fail the open; whatever the corrupt action, nothing is moved or removed.
TEST(DizEvozidizOpening, TemporaryFailuresLeaveEveryFileAsItIs) {
  struct Case {
    const char* name;
    std::int64_t action;
    bool opens;
    // Sets the obstacle up; the returned function, if any, runs after the attempt.
    std::function<std::function<void()>(const fs::path&)> obstacle;
  };
  // Another handle takes the file for itself. With a delay, a thread of its own lets go after it;
  // else it is let go after the attempt.
  auto holdExclusively = [](const fs::path& path, double releaseAfterSeconds) {
    auto holder = std::make_unique<Sql>(path);
    holder->exec("PRAGMA locking_mode = EXCLUSIVE;");
    holder->column("SELECT count(*) FROM database2;");  // takes the lock and keeps it
    if (releaseAfterSeconds <= 0) return std::function<void()>([holder = std::shared_ptr<Sql>(std::move(holder))] {});
    auto releaser = std::make_shared<std::thread>([holder = std::move(holder), releaseAfterSeconds]() mutable {
      std::this_thread::sleep_for(std::chrono::duration<double>(releaseAfterSeconds));
      holder.reset();
    });
    return std::function<void()>([releaser] { releaser->join(); });
  };
  const Case cases[] = {
      {"directory at the path", DizEvozidizCorruptActionDelete, false,
       [](const fs::path& path) {
         fs::remove(path);
         fs::create_directory(path);
         writeFile(path / "inside", "keep me");
         return std::function<void()>();
       }},
      {"lock held longer than the open waits", DizEvozidizCorruptActionRename, false,
       [&](const fs::path& path) { return holdExclusively(path, 0); }},
      {"lock released while the open waits", DizEvozidizCorruptActionRename, true,
       [&](const fs::path& path) { return holdExclusively(path, 0.3); }},
      {"no file descriptors left", DizEvozidizCorruptActionRename, false,
       [](const fs::path&) {
         // Fill every free descriptor number up to the highest in use and allow one more: the main
         // file opens, its WAL and shared-memory files cannot.
         int highest = 0;
         for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
           highest = std::max(highest, std::stoi(entry.path().filename().string()));
         auto fillers = std::make_shared<std::vector<int>>();
         for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) {
           if (fd > highest) {
             close(fd);
             break;
           }
           fillers->push_back(fd);
         }
         rlimit old{};
         getrlimit(RLIMIT_NOFILE, &old);
         rlimit tight = old;
         tight.rlim_cur = static_cast<rlim_t>(highest) + 2;
         setrlimit(RLIMIT_NOFILE, &tight);
         return std::function<void()>([old, fillers] {
           setrlimit(RLIMIT_NOFILE, &old);
           for (int fd : *fillers) close(fd);
         });
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' runtimes need descriptors of their own while the process has none left.
    if (std::string_view(c.name) == "no file descriptors left") continue;
#endif
    zorvel::test::TempDir dir;
    const fs::path path = dir / "Database.sqlite";
    makeStoreWithARow(path);
    const bool isFile = !std::string_view(c.name).starts_with("directory");
    const std::string before = isFile ? readFile(path) : std::string();
    std::function<void()> after = c.obstacle(path);
    DizEvozidizOptions options;
    options.corruptAction = c.action;
    diztest::LogCapture log;
    auto database = DizEvozidiz::create(path.string(), options);
    if (after) after();
    after = nullptr;  // lets go of what it holds
    std::string messages;
    for (const std::string& m : log->messages()) messages += m + "\n";
    EXPECT_EQ(database != nullptr, c.opens) << messages;
    database.reset();
    EXPECT_TRUE(corruptFiles(dir.path()).empty());
    if (!c.opens) {
      EXPECT_TRUE(log->contains("Database could not be opened and was left as it is"));
    }
    if (isFile) {
      EXPECT_EQ(storedRow(path), platform::Value("row"));
    } else {
      EXPECT_TRUE(fs::is_directory(path));
      EXPECT_EQ(readFile(path / "inside"), "keep me");
    }
  }
}

// A file written by a newer version of the store is refused and left untouched, whatever the
// corrupt action; once its version is one this code knows, it opens with its rows.
TEST(DizEvozidizOpening, NewerFileFormatIsRefusedAndLeftUntouched) {
  zorvel::test::TempDir dir;
  const fs::path path = dir / "Database.sqlite";
  makeStoreWithARow(path);
  { Sql(path).exec("PRAGMA user_version = " + std::to_string(DizEvozidizSchemaVersion + 1) + ";"); }
  const std::string before = readFile(path);
  for (std::int64_t action : {DizEvozidizCorruptActionRename, DizEvozidizCorruptActionDelete}) {
    DizEvozidizOptions options;
    options.corruptAction = action;
    diztest::LogCapture log;
    EXPECT_EQ(DizEvozidiz::create(path.string(), options), nullptr);
    EXPECT_TRUE(log->contains("Database file format version 4 is newer than this version of the store supports (3)"));
    EXPECT_TRUE(readFile(path) == before);
    EXPECT_TRUE(corruptFiles(dir.path()).empty());
  }
  { Sql(path).exec("PRAGMA user_version = 3;"); }
  EXPECT_EQ(storedRow(path), platform::Value("row"));
}

TEST(DizEvozidizRegistry, OneDatabasePerStandardizedPath) {
  zorvel::test::TempDir dir;
  fs::create_directory(dir / "sub");
  const std::string plain = (dir / "one.sqlite").string();
  const std::string winding = (dir.path().string() + "/sub/.././/one.sqlite");
  auto first = DizEvozidiz::create(plain);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->databasePath(), plain);
  EXPECT_EQ(DizEvozidiz::create(winding), nullptr);
  zorvel::test::closeDatabase(first);
  auto second = DizEvozidiz::create(winding);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->databasePath(), plain);
  EXPECT_EQ(second->databasePath_wal(), plain + "-wal");
  EXPECT_EQ(second->databasePath_shm(), plain + "-shm");
}

TEST(DizEvozidizRegistry, FailedCreationFreesThePath) {
  zorvel::test::TempDir dir;
  const fs::path path = dir / "bad.sqlite";
  writeFile(path, kGarbage);
  DizEvozidizOptions options;
  options.corruptAction = DizEvozidizCorruptActionFail;
  EXPECT_EQ(DizEvozidiz::create(path.string(), options), nullptr);
  EXPECT_TRUE(readFile(path) == kGarbage);
  EXPECT_TRUE(DizEvozidizManager::registerDatabaseForPath(path.string()));
  DizEvozidizManager::deregisterDatabaseForPath(path.string());
}

TEST(DizEvozidizRelease, PostsOneClosedNotificationOnTheMainQueue) {
  zorvel::test::TempDir dir;
  const std::string path = (dir / "closing.sqlite").string();
  std::atomic<int> closed{0};
  std::atomic<int> refused{0};
  std::atomic<bool> onMainThread{true};
  auto center = platform::NotificationCenter::defaultCenter();
  auto token = center->addObserver(std::string(DizEvozidizClosedNotification), nullptr, nullptr,
                                   [&](const platform::NotificationPtr& n) {
                                     if (!platform::isMainThread()) onMainThread = false;
                                     const platform::Value& info = n->userInfo();
                                     if (info["databasePath"].asString() == path) {
                                       EXPECT_EQ(info["databasePath_wal"].asString(), path + "-wal");
                                       EXPECT_EQ(info["databasePath_shm"].asString(), path + "-shm");
                                       ++closed;
                                     }
                                     if (info["databasePath"].asString().empty()) ++refused;
                                   });
  auto database = DizEvozidiz::create(path);
  ASSERT_TRUE(database);
  EXPECT_EQ(DizEvozidiz::create(path), nullptr);  // refused: announces a release with no paths
  database->snapshot();
  database.reset();
  EXPECT_TRUE(platform::runMainLoopUntil([&] { return closed.load() >= 1 && refused.load() >= 1; }, 10));
  platform::RunLoop::main().runFor(0.1);
  EXPECT_EQ(closed.load(), 1);
  EXPECT_TRUE(onMainThread.load());
  EXPECT_TRUE(DizEvozidizManager::registerDatabaseForPath(path));  // the file is free again
  DizEvozidizManager::deregisterDatabaseForPath(path);
  center->removeObserver(token);
}

TEST(DizEvozidizConfiguration, OptionsAndDefaultsAreCopies) {
  zorvel::test::TempDir dir;
  DizEvozidizOptions options;
  options.aggressiveWALTruncationSize = 77;
  auto database = DizEvozidiz::create((dir / "conf.sqlite").string(), options);
  ASSERT_TRUE(database);
  options.aggressiveWALTruncationSize = 5;
  EXPECT_EQ(database->options().aggressiveWALTruncationSize, 77u);

  DizEvozidizConnectionDefaults defaults = database->connectionDefaults();
  EXPECT_TRUE(defaults.objectCacheEnabled());
  EXPECT_EQ(defaults.objectCacheLimit(), 250u);
  database->setDefaultObjectCacheLimit(10);
  database->setDefaultMetadataPolicy(2);
  database->setDefaultObjectPolicy(9);           // out of range: containment
  EXPECT_EQ(defaults.objectCacheLimit(), 250u);  // the earlier copy is unchanged
  EXPECT_EQ(database->defaultObjectCacheLimit(), 10u);
  EXPECT_EQ(database->defaultMetadataPolicy(), 2);
  EXPECT_EQ(database->defaultObjectPolicy(), 0);
  EXPECT_EQ(database->connectionDefaults().objectCacheLimit(), 10u);
  EXPECT_TRUE(database->objectSerializer() && database->objectDeserializer());
  EXPECT_TRUE(database->metadataSerializer() && database->metadataDeserializer());
  EXPECT_FALSE(database->objectPreSanitizer());
}

TEST(DizEvozidizConfiguration, QueuesCarryTheirLabelsAndSpecificKeys) {
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "queues.sqlite").string());
  ASSERT_TRUE(database);
  EXPECT_EQ(DizInternal(*database).internalQueue()->label(), "DizEvozidiz-Internal");
  EXPECT_EQ(DizInternal(*database).snapshotQueue()->label(), "DizEvozidiz-Snapshot");
  EXPECT_EQ(DizInternal(*database).writeQueue()->label(), "DizEvozidiz-Write");
  EXPECT_EQ(DizInternal(*database).checkpointQueue()->label(), "DizEvozidiz-Checkpoint");
  EXPECT_FALSE(DizInternal(*database).isOnSnapshotQueue());
  bool onSnapshot = false, onWrite = false, crossed = true;
  DizInternal(*database).snapshotQueue()->sync([&] {
    onSnapshot = DizInternal(*database).isOnSnapshotQueue();
    crossed = DizInternal(*database).isOnWriteQueue();
    database->snapshot();  // inline on its own queue, no deadlock
  });
  DizInternal(*database).writeQueue()->sync([&] { onWrite = DizInternal(*database).isOnWriteQueue(); });
  EXPECT_TRUE(onSnapshot);
  EXPECT_TRUE(onWrite);
  EXPECT_FALSE(crossed);
  EXPECT_EQ(DizInternal(*database).vfsShimName().rfind("diz_vfs_shim_", 0), 0u);
  EXPECT_EQ(DizInternal(*database).vfsShimName().size(), std::string("diz_vfs_shim_").size() + 36);
  EXPECT_NE(sqlite3_vfs_find(DizInternal(*database).vfsShimName().c_str()), nullptr);
}

// In debug and sanitizer builds the internals that belong to one queue check that they are called
// on it; a call from elsewhere aborts, naming the rule.
TEST(DizEvozidizThreadingRules, SnapshotAndConnectionQueueStateRefusesOtherThreads) {
#if !defined(ZORVEL_THREAD_ASSERTIONS)
  GTEST_SKIP() << "threading assertions run in debug and sanitizer builds";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  zorvel::test::TempDir dir;
  auto database = DizEvozidiz::create((dir / "rules.sqlite").string());
  ASSERT_TRUE(database);
  auto connection = database->newConnection();
  auto& internals = DizInternal(*database);
  // A new connection registers itself on its own queue.
  DizInternal(*connection).connectionQueue()->sync([] {});
  std::size_t states = 0;
  internals.snapshotQueue()->sync([&] { states = internals.connectionStatesOnSnapshotQueue().size(); });
  EXPECT_EQ(states, 1u);
  EXPECT_DEATH(internals.changesetsOnSnapshotQueue(), "Threading rule broken: DizEvozidiz: only on the snapshot queue");
  EXPECT_DEATH(internals.setSnapshotOnSnapshotQueue(7),
               "Threading rule broken: DizEvozidiz: only on the snapshot queue");
  EXPECT_DEATH(DizInternal(*connection).flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches),
               "Threading rule broken: DizEvozidizConnection: only on the connection's queue");
  // The connection's own queue, and the write queue while it works there for the connection.
  DizInternal(*connection).connectionQueue()->sync([&] {
    DizInternal(*connection).flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches);
  });
  EXPECT_TRUE(connection->readWriteWithBlock(
      [&](DizEvozidizReadWriteTransaction&) { DizInternal(*connection).assertOnConnectionQueue(); }));
#endif
}

TEST(DizEvozidizUtilities, PragmaAndTableInfoQuoteNames) {
  zorvel::test::TempDir dir;
  Sql sql(dir / "util.sqlite");
  sql.exec("CREATE TABLE \"it's \"\"odd\"\"\" (a INTEGER, b TEXT); PRAGMA user_version = 12;");
  sqlite3* db = sql.handle();
  EXPECT_EQ(DizEvozidizInternal::pragma("user_version", db), 12);
  EXPECT_EQ(DizEvozidizInternal::pragma("main.user_version", db), 12);
  EXPECT_EQ(DizEvozidizInternal::pragma("", db), -1);
  EXPECT_EQ(DizEvozidizInternal::pragma("user_version; DROP TABLE x", db), -1);
  EXPECT_EQ(DizEvozidizInternal::columnNamesForTable("it's \"odd\"", db), (std::vector<std::string>{"a", "b"}));
  auto affinity = DizEvozidizInternal::columnNamesAndAffinityForTable("it's \"odd\"", db);
  ASSERT_TRUE(affinity);
  EXPECT_EQ((*affinity)["a"], "INTEGER");
  EXPECT_EQ((*affinity)["b"], "TEXT");
  EXPECT_TRUE(DizEvozidizInternal::tableExists("it's \"odd\"", db));
  EXPECT_FALSE(DizEvozidizInternal::tableExists("missing", db));
  EXPECT_FALSE(DizEvozidizInternal::tableExists("", db));
  EXPECT_EQ(DizEvozidizInternal::tableNamesUsing(db), (std::vector<std::string>{"it's \"odd\""}));
  EXPECT_EQ(DizEvozidizInternal::sqliteVersionUsing(db), std::string(sqlite3_libversion()));
  EXPECT_EQ(DizEvozidiz::pragmaValueForSynchronous(1), "NORMAL");
  EXPECT_EQ(DizEvozidiz::pragmaValueForSynchronous(3), "UNKNOWN");
  EXPECT_EQ(DizEvozidiz::pragmaValueForAutoVacuum(2), "INCREMENTAL");
  EXPECT_EQ(DizEvozidiz::pragmaValueForAutoVacuum(-1), "UNKNOWN");
}

}  // namespace
