// Races between connections, held open with gates and the file-system shim's hook so that each
// interleaving happens every time.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/DizVfsShimInternal.h"
#include "platform/dispatch/dispatch.h"
#include "transaction_test_support.h"

namespace {

using platform::Value;

using ConnectionRaces = diztest::StoreFixture;

// While the connection's first read is under way (its WAL file just opened), another handle of
// the same shim opens its WAL too, so the shim's "last opened WAL" is no longer the connection's.
// The connection must still arm its read hook on its own WAL file, never on the other handle's,
// which is freed when that handle closes.
struct OtherHandleOpensItsWal {
  std::string path;
  std::string vfs;
  diz_vfs* shim = nullptr;
  std::atomic<bool> busy{false};
  bool done = false;
  sqlite3* other = nullptr;

  static int hook(void* context, diz_file*, diz_io_op op) {
    auto* self = static_cast<OtherHandleOpensItsWal*>(context);
    if (op != diz_io_op::read || self->done || self->busy || !diz_vfs_shim_last_opened_wal(self->shim))
      return SQLITE_OK;
    self->busy = true;
    if (sqlite3_open_v2(self->path.c_str(), &self->other, SQLITE_OPEN_READWRITE, self->vfs.c_str()) == SQLITE_OK)
      sqlite3_exec(self->other, "SELECT count(*) FROM \"diz2\";", nullptr, nullptr, nullptr);
    self->done = true;
    self->busy = false;
    return SQLITE_OK;
  }
};

TEST_F(ConnectionRaces, ConnectionUsesItsOwnWalFileWhateverTheShimOpenedLast) {
  // The connection is the shim's first user: no WAL of the shim is open before its first read.
  OtherHandleOpensItsWal interference{path, DizInternal(*database).vfsShimName(), DizInternal(*database).vfsShim()};
  auto connection = database->newConnection();
  diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), &OtherHandleOpensItsWal::hook, &interference);
  EXPECT_TRUE(get(connection, "k").isNil());
  diz_vfs_shim_set_fault_hook(DizInternal(*database).vfsShim(), nullptr, nullptr);
  ASSERT_TRUE(interference.done);
  ASSERT_NE(interference.other, nullptr);

  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    sqlite3_file* own = nullptr;
    ASSERT_EQ(sqlite3_file_control(DizInternal(*t.connection()).db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &own),
              SQLITE_OK);
    EXPECT_EQ(DizInternal(*t.connection()).wal_file, reinterpret_cast<diz_file*>(own));
  });
  sqlite3_close(interference.other);  // frees the other handle's WAL file
  // Reads arm the read hook on the WAL file; commits by others make them wait for it.
  auto writer = database->newConnection();
  for (int n = 1; n < 5; ++n) {
    put(writer, "k", Value(n));
    EXPECT_EQ(get(connection, "k"), Value(n));
  }
}

// A vacuum on connection A while connection B commits: B's changeset waits on A's queue behind
// the vacuum. The vacuum must first catch up with B's commit, so that its own commit number comes
// after B's and A stops serving the value B replaced.
TEST_F(ConnectionRaces, VacuumCatchesUpWithCommitsWaitingOnItsQueue) {
  auto a = database->newConnection();
  auto b = database->newConnection();
  put(b, "k", Value("v1"));
  EXPECT_EQ(get(a, "k"), Value("v1"));  // cached by A
  const std::uint64_t before = database->snapshot();

  platform::DispatchSemaphore gate(0);
  std::atomic<bool> vacuumed{false};
  DizInternal(*a).connectionQueue()->async([&] {
    gate.wait();
    vacuumed = a->vacuum();  // runs here, ahead of the changeset queued behind this block
  });
  put(b, "k", Value("v2"));  // delivered to A's queue, behind the vacuum
  gate.signal();

  EXPECT_EQ(a->snapshot(), before + 2);
  EXPECT_TRUE(vacuumed);
  EXPECT_EQ(database->snapshot(), before + 2) << "the vacuum's commit number follows B's";
  EXPECT_EQ(get(a, "k"), Value("v2"));
  EXPECT_EQ(b->snapshot(), before + 2);
  put(b, "k", Value("v3"));
  EXPECT_EQ(get(a, "k"), Value("v3"));
}

// The thread's scheduling state from /proc: 'S' once it sleeps (here: waiting for the write queue).
char threadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto end = line.rfind(')');
  return end == std::string::npos || end + 2 >= line.size() ? '?' : line[end + 2];
}

// The checkpointer's reset of a long-lived reader suspends the write queue from a step queued on
// it, then finishes on the connection's queue. A vacuum or backup started on that connection just
// before the step runs holds the connection's queue while it waits for the write queue: it must
// count as the connection's write-queue work, which the reset leaves alone, or both wait forever.
TEST_F(ConnectionRaces, VacuumOrBackupOnAPinnedConnectionIsNotHeldUpByItsReset) {
  struct Case {
    const char* name;
    std::function<bool(const DizEvozidizConnection::Ptr&)> run;
  };
  const std::string copy = (dir / "copy.sqlite").string();
  const std::vector<Case> cases = {
      {"vacuum", [](const auto& c) { return c->vacuum(); }},
      {"backup", [copy](const auto& c) { return c->backupToPath(copy) == nullptr; }},
  };
  auto writer = database->newConnection();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(writer, "k", Value(c.name));
    auto pinned = database->newConnection();
    pinned->beginLongLivedReadTransaction();  // at the latest commit

    platform::DispatchSemaphore gate(0);
    DizInternal(*database).writeQueue()->async([&] { gate.wait(); });
    DizInternal(*pinned).maybeResetLongLivedReadTransaction();  // its write-queue step waits behind the gate

    std::atomic<pid_t> tid{0};
    auto finished = std::make_shared<std::promise<bool>>();
    std::thread([&, finished, pinned] {
      tid = static_cast<pid_t>(syscall(SYS_gettid));
      finished->set_value(c.run(pinned));
    }).detach();
    // Open the gate once the maintenance call waits for the write queue, behind the reset's step.
    while (tid == 0 || threadState(tid) != 'S') std::this_thread::yield();
    gate.signal();

    auto result = finished->get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "it never returned";
    EXPECT_TRUE(result.get());
    put(writer, "k", Value("after"));  // the write queue runs again
    EXPECT_EQ(get(pinned, "k"), Value("after"));
  }
}

// The database's record of a commit's changeset, or null once it is gone.
const DizPublishedChangeset* publishedAt(DizEvozidiz& database, std::uint64_t snapshot, DizPublishedChangeset& copy) {
  bool found = false;
  DizInternal(database).snapshotQueue()->sync([&] {
    for (const auto& p : DizInternal(database).changesetsOnSnapshotQueue())
      if (p.snapshot == snapshot) {
        copy = p;
        found = true;
      }
  });
  return found ? &copy : nullptr;
}

// A commit made while connection A runs a read transaction: A keeps reading the commit before it
// to the end of that transaction, takes the changeset itself as the transaction ends (nothing
// waits on its queue for it), and the database keeps the changeset until then. A connection that
// was idle receives it on its queue as before.
TEST_F(ConnectionRaces, CommitDuringAReadTransactionReachesTheReaderWhenItEnds) {
  auto a = database->newConnection();
  auto idle = database->newConnection();
  auto writer = database->newConnection();
  put(writer, "k", Value("v1"));
  EXPECT_EQ(get(a, "k"), Value("v1"));  // cached by A
  EXPECT_EQ(get(idle, "k"), Value("v1"));
  // A's handle has not seen this commit: its next transaction reads the file (not only its page
  // cache), so it holds SQLite's read lock before the writer below commits.
  put(writer, "other", Value("o"));
  const std::uint64_t before = database->snapshot();

  platform::DispatchSemaphore inside(0), gate(0);
  std::vector<Value> seen;
  std::thread reader([&] {
    a->readWithBlock([&](DizEvozidizReadTransaction& t) {
      seen.push_back(t.objectForKey("k", "things"));
      t.objectForKey("absent", "things");  // reads the file: the commit need not wait for A's read lock
      inside.signal();
      gate.wait();
      seen.push_back(t.objectForKey("k", "things"));
    });
  });
  inside.wait();
  put(writer, "k", Value("v2"));
  DizPublishedChangeset copy;
  const DizPublishedChangeset* published = publishedAt(*database, before + 1, copy);
  ASSERT_NE(published, nullptr) << "dropped before A took it";
  EXPECT_TRUE(published->committed);
  EXPECT_GE(published->receiversLeft, 1u);
  EXPECT_EQ(idle->snapshot(), before + 1);  // delivered on its queue
  gate.signal();
  reader.join();

  EXPECT_EQ(seen, (std::vector<Value>{Value("v1"), Value("v1")})) << "the transaction's own commit throughout";
  EXPECT_EQ(a->snapshot(), before + 1);
  EXPECT_EQ(get(a, "k"), Value("v2"));
  EXPECT_EQ(get(idle, "k"), Value("v2"));
  const auto start = std::chrono::steady_clock::now();
  while (publishedAt(*database, before + 1, copy) &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(publishedAt(*database, before + 1, copy), nullptr) << "kept after every connection ran it";
}

// Readers in back-to-back read transactions while a writer changes two rows together: every
// transaction sees both rows from one commit, never older than what the same connection saw
// before, and its caches never serve a value of a commit it has moved past.
TEST_F(ConnectionRaces, ReadersInBackToBackTransactionsNeverSeeAMixOfCommits) {
  auto writer = database->newConnection();
  EXPECT_TRUE(writer->readWriteWithBlock([](DizEvozidizReadWriteTransaction& t) {
    t.setObject(Value(0), "x", "things");
    t.setObject(Value(0), "y", "things");
  }));
  constexpr int kReaders = 3;
  constexpr int kWrites = 150;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      auto c = database->newConnection();
      std::int64_t last = 0;
      while (!done) {
        c->readWithBlock([&](DizEvozidizReadTransaction& t) {
          const std::int64_t x = t.objectForKey("x", "things").asInt64();
          const std::int64_t y = t.objectForKey("y", "things").asInt64();
          if (x != y || x < last) ++failures;
          last = x;
        });
      }
    });
  }
  for (int i = 1; i <= kWrites; ++i) {
    EXPECT_TRUE(writer->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      t.setObject(Value(i), "x", "things");
      t.setObject(Value(i), "y", "things");
    }));
  }
  done = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(failures, 0);
  auto late = database->newConnection();
  EXPECT_EQ(get(late, "x", "things"), Value(kWrites));
}

}  // namespace
