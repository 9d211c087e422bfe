// The view connection: its changeset parts, how other connections apply them to their caches, and
// the committed state handed to connections at the same snapshot only.

#include <gtest/gtest.h>

#include "DizEvozidiz/Extensions/Views/DizEvozidizViewInternal.h"
#include "tests/DizEvozidiz/Extensions/Views/view_store_test_support.h"

namespace {

using namespace viewtest;

class ViewConnection : public diztest::ConnectionFixture {
 protected:
  std::shared_ptr<DizEvozidizViewConnection> viewConnection(const DizEvozidizConnection::Ptr& c) {
    return std::dynamic_pointer_cast<DizEvozidizViewConnection>(c->ext("order"));
  }
  std::shared_ptr<Calls> calls = std::make_shared<Calls>();
};

TEST_F(ViewConnection, ChangesetPartsFollowWhatTheTransactionChanged) {
  for (bool persistent : {true, false}) {
    SCOPED_TRACE(persistent ? "persistent" : "in memory");
    const std::string name = persistent ? "order" : "memoryOrder";
    ASSERT_TRUE(database->registerExtension(makeView(calls, persistent), name, connection));
    EXPECT_TRUE(connection->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
      auto vc = std::dynamic_pointer_cast<DizEvozidizViewConnection>(t.ext(name)->extensionConnection());
      ASSERT_TRUE(vc);
      platform::Value internal, external;
      bool disk = true;
      t.setObject(platform::Value(5), "outside" + name, "things");  // a multiple of 5: not in the view
      vc->getInternalChangeset(internal, external, disk);
      EXPECT_TRUE(internal.isNil());
      EXPECT_TRUE(external.isNil());
      EXPECT_FALSE(disk);

      t.setObject(platform::Value(4), "inside" + name, "things");
      vc->getInternalChangeset(internal, external, disk);
      auto part = internal.as<DizViewInternalChangeset>();
      ASSERT_TRUE(part);
      EXPECT_TRUE(part->state && part->state->isImmutable());
      EXPECT_EQ(part->dirtyMaps.size(), 1u);
      EXPECT_EQ(part->dirtyPages.size(), 1u);
      EXPECT_NE(part->dirtyPages.begin()->second, vc->working().dirtyPages.begin()->second);  // a copy
      EXPECT_EQ(disk, persistent);
      // A section and a row insert; the second view already has the group from the first one's row.
      EXPECT_EQ(external["changes"].count(), persistent ? 2u : 1u);
    }));
  }
}

TEST_F(ViewConnection, OtherConnectionsUpdateOnlyCachedEntries) {
  ASSERT_TRUE(database->registerExtension(makeView(calls, true), "order", connection));
  auto reader = database->newConnection();
  reader->readWithBlock([&](DizEvozidizReadTransaction& t) { ASSERT_TRUE(t.ext("order")); });
  auto vc = viewConnection(reader);
  ASSERT_TRUE(vc);
  struct Case {
    const char* name;
    bool reset;
    bool withDirtyMaps;
    std::vector<std::int64_t> expectedCached;
  } cases[] = {
      {"reset without maps empties the cache", true, false, {}},
      {"reset with maps keeps the cached rowids it names", true, true, {1, 2}},
      {"maps without reset update the cached rowids they name", false, true, {1, 2, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto& cache = vc->working().mapCache;
    cache.removeAllObjects();
    cache.setObject(std::optional<std::string>("p1"), 1);
    cache.setObject(std::optional<std::string>("p1"), 2);
    cache.setObject(std::optional<std::string>("p1"), 3);
    cache.setObject(std::optional<std::string>("p9"), 4);
    auto part = platform::make<DizViewInternalChangeset>();
    part->reset = c.reset;
    if (c.withDirtyMaps) {
      part->dirtyMaps[1] = "p2";
      part->dirtyMaps[2] = std::nullopt;  // left the view: known absent is dropped from the cache
      part->dirtyMaps[3] = std::nullopt;
      part->dirtyMaps[7] = "p3";  // not cached: not added
    }
    if (c.withDirtyMaps) {
      part->dirtyMaps.erase(2);
      part->dirtyMaps[2] = "p5";
    }
    reader->readWithBlock([&](DizEvozidizReadTransaction&) { vc->processChangeset(platform::Value(part)); });
    std::vector<std::int64_t> cached;
    cache.enumerateKeysWithBlock([&](const std::int64_t& rowid, bool&) { cached.push_back(rowid); });
    std::sort(cached.begin(), cached.end());
    EXPECT_EQ(cached, c.expectedCached);
    if (c.withDirtyMaps) {
      EXPECT_EQ(**cache.objectForKey(1), "p2");
      EXPECT_EQ(**cache.objectForKey(2), "p5");
    }
  }
  reader.reset();
}

TEST_F(ViewConnection, CommittedStateGoesOnlyToConnectionsAtItsSnapshot) {
  auto view = makeView(calls, true);
  ASSERT_TRUE(database->registerExtension(view, "order", connection));
  put(connection, "a", platform::Value(1));
  const std::uint64_t snapshot = database->snapshot();
  // The view hears of commits on the snapshot queue; wait until it has this one.
  platform::runMainLoopUntil([&] { return view->getState(nullptr, snapshot); }, 5);
  DizEvozidizViewStatePtr state;
  EXPECT_TRUE(view->getState(&state, snapshot));
  ASSERT_TRUE(state);
  EXPECT_TRUE(state->isImmutable());
  EXPECT_EQ(state->countForGroup("g1"), 1u);
  EXPECT_FALSE(view->getState(&state, snapshot - 1));
  EXPECT_FALSE(state);
  // A commit that leaves the view alone keeps the state current for the new snapshot.
  put(connection, "outside", platform::Value(10));
  platform::runMainLoopUntil([&] { return view->getState(nullptr, snapshot + 1); }, 5);
  EXPECT_TRUE(view->getState(&state, snapshot + 1));
  EXPECT_EQ(state->countForGroup("g1"), 1u);
}

}  // namespace
