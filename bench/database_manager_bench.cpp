// The cost of the application's start on its store: opening an existing database of 10,000 events
// through the database manager (the store with its five views and its index registered, both
// connections made, the main one in its long-lived read transaction) up to the first read of the
// active group, beside opening the same file as a bare store with the same closures, options and
// connections and reading the same events by key.
// Goal: the manager's open takes at most twice the bare one (ratio of rates >= 0.5).

#include <atomic>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVEvent.h"
#include "bench/support/compare.h"
#include "bench/support/store_support.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/notification_center.h"
#include "tests/support/temp_dir.h"

namespace {

using platform::Value;

constexpr int kEvents = 10000;
// What the list shows first.
constexpr std::size_t kFirstRead = 20;

// Waits on the main run loop until the database of `path` has closed.
void waitUntilClosed(const std::string& path, const std::function<void()>& release) {
  auto closed = std::make_shared<std::atomic<bool>>(false);
  auto center = platform::NotificationCenter::defaultCenter();
  auto token = center->addObserver(std::string(DizEvozidizClosedNotification), nullptr, nullptr,
                                   [closed, path](const platform::NotificationPtr& n) {
                                     if (n->userInfo()["databasePath"] == Value(path)) closed->store(true);
                                   });
  release();
  const bool done = platform::runMainLoopUntil([&] { return closed->load(); }, 30);
  center->removeObserver(token);
  if (!done) throw std::runtime_error("the database did not close");
}

struct Fixture {
  zorvel::test::TempDir dir{"zorvel-manager-bench"};
  ZRVDatabaseManagerSetup setup;
  std::string path;
  // The first events of the active group, in view order.
  std::vector<std::string> firstActiveKeys;
  std::string error;

  Fixture() {
    setup.directory = dir.file("data");
    ZRVDatabaseManager::Ptr manager = ZRVDatabaseManager::create(setup);
    if (!manager) {
      error = "the database could not be made";
      return;
    }
    path = manager->database()->databasePath();
    manager->syncSkins();
    manager->syncOptions();
    std::mt19937_64 rng(42);
    const bool filled =
        manager->backgroundDatabaseConnection()->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
          const platform::Date start = platform::Date::now();
          for (int i = 0; i < kEvents; ++i) {
            auto event = platform::make<ZRVEvent>();
            const std::uint64_t draw = rng() % 10;  // 70% active, 20% complete, 10% archived
            event->setState(draw < 7 ? ZRVEventStateActive : draw < 9 ? ZRVEventStateComplete : ZRVEventStateArchived);
            event->setName("Event " + std::to_string(i));
            event->setDate(start.addingTimeInterval(static_cast<double>(rng() % (400 * 86400)) - 200 * 86400));
            event->setSkinId("skin");
            t.setObject(Value(event), *event->uuid(), ZRVEventsCollection);
          }
        });
    if (!filled) {
      error = "the events could not be stored";
      return;
    }
    manager->backgroundDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
      auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(ZRVEventsViewName));
      if (!view) return;
      view->enumerateKeysInGroup(std::string(ZRVEventsActiveGroup), 0, std::nullopt,
                                 [&](const std::string&, const std::string& key, std::uint64_t, bool& stop) {
                                   firstActiveKeys.push_back(key);
                                   stop = firstActiveKeys.size() == kFirstRead;
                                 });
    });
    if (firstActiveKeys.size() != kFirstRead) {
      error = "the active group is not filled";
      return;
    }
    waitUntilClosed(path, [&] { manager.reset(); });
  }
};

Fixture& fixture() {
  static Fixture* made = new Fixture;  // kept until the end of the program (its folder with it)
  return *made;
}

void expectFirstEvents(std::size_t read) {
  if (read != kFirstRead) throw std::runtime_error("read " + std::to_string(read) + " events instead of 20");
}

// Subject: the application's open, to the first rows of the active group on the main connection.
void BM_OpenManager(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  zorvel::bench::runGuarded(state, [&] {
    for (auto _ : state) {
      ZRVDatabaseManager::Ptr manager = ZRVDatabaseManager::create(f.setup);
      if (!manager) throw std::runtime_error("the manager could not open the database");
      std::size_t read = 0;
      manager->mainDatabaseConnection()->readWithBlock([&](DizEvozidizReadTransaction& t) {
        auto view = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(ZRVEventsViewName));
        if (!view) return;
        view->enumerateKeysAndObjectsInGroup(
            std::string(ZRVEventsActiveGroup), 0, std::nullopt, {},
            [&](const std::string&, const std::string&, const Value& object, std::uint64_t, bool& stop) {
              if (object.as<ZRVEvent>()) ++read;
              stop = read == kFirstRead;
            });
      });
      state.PauseTiming();
      expectFirstEvents(read);
      waitUntilClosed(f.path, [&] { manager.reset(); });
      state.ResumeTiming();
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenManager)->Unit(benchmark::kMillisecond)->UseRealTime();

// Baseline: the same file as a bare store, with the same closures, options and connections, and
// the same first events read by key on the main connection.
void BM_OpenBareStore(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.error.empty()) return state.SkipWithError(f.error.c_str());
  zorvel::bench::runGuarded(state, [&] {
    for (auto _ : state) {
      DizEvozidiz::Ptr database =
          DizEvozidiz::create(f.path, ZRVDatabaseManager::databaseSerializer(),
                              ZRVDatabaseManager::databaseDeserializer(), ZRVDatabaseManager::databasePreSanitizer(),
                              ZRVDatabaseManager::databasePostSanitizer(), ZRVDatabaseManager::storeOptions());
      if (!database) throw std::runtime_error("the bare store could not open the database");
      DizEvozidizConnection::Ptr main = database->newConnection();
      main->setObjectCacheLimit(400);
      main->setMetadataCacheEnabled(false);
      main->enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
      main->beginLongLivedReadTransaction();
      DizEvozidizConnection::Ptr background = database->newConnection();
      background->setObjectCacheLimit(400);
      background->setMetadataCacheEnabled(false);
      std::size_t read = 0;
      main->readWithBlock([&](DizEvozidizReadTransaction& t) {
        for (const std::string& key : f.firstActiveKeys)
          if (t.objectForKey(key, ZRVEventsCollection).as<ZRVEvent>()) ++read;
      });
      state.PauseTiming();
      expectFirstEvents(read);
      waitUntilClosed(f.path, [&] {
        main.reset();
        background.reset();
        database.reset();
      });
      state.ResumeTiming();
    }
  });
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenBareStore)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

ZORVEL_BENCH_MAIN({{"BM_OpenManager/real_time", "BM_OpenBareStore/real_time", 0.5}})
