#pragma once

// Shared by the database manager's tests: a manager over a fresh temporary folder, bundles with
// catalogues of the test's own, a recorder of the manager's update notifications, and readers of
// the views.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "app/app_test_support.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVEvent.h"
#include "platform/codecs/property_list.h"
#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/run_loop.h"
#include "platform/services/bundle.h"
#include "platform/services/files.h"
#include "platform/services/notification_center.h"
#include "support/close_database.h"
#include "support/temp_dir.h"

namespace zorvel::test {

using platform::Value;
using platform::ValueArray;
using platform::ValueDictionary;

// ---- Bundles ----

inline Value skinEntry(std::string id, std::string name) {
  return Value(ValueDictionary{{"id", Value(std::move(id))}, {"name", Value(std::move(name))}});
}

inline Value collectionEntry(std::string id, std::string name, ValueArray skins) {
  return Value(ValueDictionary{
      {"id", Value(std::move(id))}, {"name", Value(std::move(name))}, {"skins", Value(std::move(skins))}});
}

inline Value triggerEntry(std::string id, std::uint64_t unit, std::uint64_t value, bool active) {
  return Value(ValueDictionary{
      {"id", Value(std::move(id))}, {"unit", Value(unit)}, {"value", Value(value)}, {"active", Value(active)}});
}

inline void writePropertyList(const std::filesystem::path& path, const Value& list) {
  auto bytes = platform::dataWithPropertyList(list, platform::PropertyListFormat::Xml);
  ASSERT_TRUE(bytes) << path;
  ASSERT_TRUE(platform::FileManager::defaultManager().writeFileAtomically(path, *bytes)) << path;
}

// A bundle folder named "bundle" under `dir` with the application's information property list and,
// when given (not nil), the two resource files; rewriting them stands for a new release.
inline platform::BundlePtr writeBundle(const std::filesystem::path& dir, const Value& catalogue,
                                       const Value& defaultOptions) {
  const std::filesystem::path folder = dir / "bundle";
  std::filesystem::create_directories(folder);
  writePropertyList(folder / "Info.plist", Value(ValueDictionary{{"CFBundleIdentifier", Value("org.zorvel.Zorvel")},
                                                                 {"CFBundleExecutable", Value("zorvel")}}));
  for (const auto& [name, list] :
       {std::pair{"ZRVSkinsData.plist", catalogue}, {"ZRVDefaultOptions.plist", defaultOptions}}) {
    std::error_code ignored;
    std::filesystem::remove(folder / name, ignored);
    if (!list.isNil()) writePropertyList(folder / name, list);
  }
  return platform::Bundle::bundleWithPath(folder);
}

// ---- Update notifications ----

// Records the manager's Will- and Did-update notifications in order, with the main connection's
// snapshot as each arrived. Main thread.
class UpdateRecorder {
 public:
  struct Entry {
    std::string name;
    std::uint64_t mainSnapshot = 0;
    std::vector<platform::NotificationPtr> changes;  // Did only
  };

  explicit UpdateRecorder(ZRVDatabaseManager::Ptr manager) : manager_(std::move(manager)) {
    auto center = platform::NotificationCenter::defaultCenter();
    for (std::string_view name :
         {UIDatabaseConnectionWillUpdateNotification, UIDatabaseConnectionDidUpdateNotification}) {
      tokens_.push_back(
          center->addObserver(std::string(name), manager_, nullptr, [this](const platform::NotificationPtr& n) {
            Entry entry{n->name(), manager_->mainDatabaseConnection()->snapshot(), {}};
            for (const Value& v : n->userInfo()[UIDatabaseConnectionChangeNotificationsKey].asArray())
              entry.changes.push_back(v.as<platform::Notification>());
            if (n->name() == UIDatabaseConnectionDidUpdateNotification) ++didCount_;
            entries.push_back(std::move(entry));
          }));
    }
  }
  ~UpdateRecorder() {
    for (const auto& token : tokens_) platform::NotificationCenter::defaultCenter()->removeObserver(token);
  }
  UpdateRecorder(const UpdateRecorder&) = delete;
  UpdateRecorder& operator=(const UpdateRecorder&) = delete;

  std::size_t didCount() const { return didCount_; }
  // Runs the main loop until `count` Did-update notifications have arrived since the recorder was
  // made.
  bool waitForDidUpdates(std::size_t count, double seconds = 10) {
    return platform::runMainLoopUntil([&] { return didCount_ >= count; }, seconds);
  }
  // Runs the main loop until one more Did-update notification has arrived.
  bool waitForNextUpdate(double seconds = 10) { return waitForDidUpdates(didCount_ + 1, seconds); }

  std::vector<Entry> entries;

 private:
  ZRVDatabaseManager::Ptr manager_;
  std::vector<platform::NotificationCenter::ObserverToken> tokens_;
  std::size_t didCount_ = 0;
};

// Runs the main loop until everything queued on the main queue so far has run (the store's
// notifications of the commits made so far among it).
inline bool flushMainQueue(double seconds = 10) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  platform::DispatchQueue::main()->async([done] { done->store(true); });
  return platform::runMainLoopUntil([&] { return done->load(); }, seconds);
}

// ---- Reading ----

// The keys of one group of a view, in view order, as the connection's snapshot holds them.
inline std::vector<std::string> keysInGroup(const DizEvozidizConnection::Ptr& connection, std::string_view view,
                                            std::string_view group) {
  std::vector<std::string> keys;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    auto viewTransaction = std::dynamic_pointer_cast<DizEvozidizViewTransaction>(t.ext(view));
    if (!viewTransaction) return;
    viewTransaction->enumerateKeysInGroup(
        std::string(group), 0, std::nullopt,
        [&](const std::string&, const std::string& key, std::uint64_t, bool&) { keys.push_back(key); });
  });
  return keys;
}

template <class T>
std::shared_ptr<T> storedObject(const DizEvozidizConnection::Ptr& connection, std::string_view key,
                                std::string_view collection) {
  std::shared_ptr<T> object;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) { object = t.objectForKey(key, collection).as<T>(); });
  return object;
}

// Every event stored, by key.
inline std::map<std::string, std::shared_ptr<ZRVEvent>> storedEvents(const DizEvozidizConnection::Ptr& connection) {
  std::map<std::string, std::shared_ptr<ZRVEvent>> events;
  connection->readWithBlock([&](DizEvozidizReadTransaction& t) {
    t.enumerateKeysAndObjectsInCollection(
        ZRVEventsCollection, [&](const std::string& key, const Value& v, bool&) { events[key] = v.as<ZRVEvent>(); });
  });
  return events;
}

// Stores the objects under their uuids in one transaction on the background connection.
inline void storeObjects(const ZRVDatabaseManager::Ptr& manager, std::string_view collection,
                         const std::vector<std::shared_ptr<ZRVModelObject>>& objects) {
  ASSERT_TRUE(manager->backgroundDatabaseConnection()->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
    for (const auto& object : objects) t.setObject(Value(object), *object->uuid(), collection);
  }));
}

// An event with the given state and date, not yet stored.
inline std::shared_ptr<ZRVEvent> makeEvent(std::uint64_t state, platform::Date date, std::string name = "event") {
  auto event = platform::make<ZRVEvent>();
  event->setState(state);
  event->setDate(date);
  event->setName(std::move(name));
  return event;
}

// ---- Fixture ----

// A folder of its own per test, and a clock pinned at a known date (Europe/Berlin).
class DatabaseTest : public ::testing::Test {
 protected:
  DatabaseTest() : clock(localDate(2024, 5, 10, 14, 30, 27)) {}

  // A manager over the test's folder (the same file every time it is called).
  ZRVDatabaseManager::Ptr open(platform::BundlePtr bundle = nullptr) {
    ZRVDatabaseManagerSetup setup;
    setup.directory = dir / "data";
    setup.bundle = std::move(bundle);
    platform::ErrorPtr error;
    ZRVDatabaseManager::Ptr manager = ZRVDatabaseManager::create(std::move(setup), &error);
    EXPECT_TRUE(manager) << (error ? error->description() : "");
    // A first launch's registrations make the tables and commit, announced like any other commit:
    // let them pass.
    EXPECT_TRUE(flushMainQueue());
    return manager;
  }

  // Releases the manager and waits until its database has closed, as at the end of a run, so that
  // the file can be opened again (work the store still has queued may hold it for a moment).
  static void close(ZRVDatabaseManager::Ptr& manager) {
    DizEvozidiz::Ptr database = manager->database();
    manager.reset();
    closeDatabase(database);
  }

  TempDir dir;
  ScopedClock clock;
};

}  // namespace zorvel::test
