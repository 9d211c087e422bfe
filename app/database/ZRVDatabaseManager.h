#pragma once

// ZRVDatabaseManager: the application's one gateway to its key-value store. It opens the database
// file, installs the application's serializer, deserializer and sanitizers, registers the views and
// the secondary index the interface reads, and makes the two connections everything else goes
// through:
//
//   main connection        reads of the interface and of the lookups below; always inside a
//                          long-lived read transaction, moved forward once per commit
//   background connection  every read-write transaction of the application, and some reads
//
// After each commit (the store's "DizEvozidizModifiedNotification", delivered on the main thread)
// the manager posts "UIDatabaseConnectionWillUpdateNotification", moves the main connection to the
// newest commit and posts "UIDatabaseConnectionDidUpdateNotification", whose user info holds under
// "UIDatabaseConnectionChangeNotificationsKey" the store's notifications of the commits the main
// connection moved over, oldest first (possibly none). Both are posted on the default notification
// centre with the manager as object.
//
// Database file: "<folder>/<executable name>Database.sqlite", where the folder is
// "<the user's data folder>/<executable name>" (the data folder: $XDG_DATA_HOME when set and
// absolute, else ~/.local/share) unless the setup names one, and the executable name is the
// bundle's "CFBundleExecutable" (else the running program's name). The store keeps its WAL and
// shared-memory files beside it.
//
// Stored objects: every model object is kept as its keyed archive under its uuid, in the collection
// of its class ("Events", "Collections", "Skins", "Options"; "CloudKit" is reserved for the cloud
// change token). Objects handed to a write become immutable (pre-sanitizer) and lose their change
// records once every extension has seen the write (post-sanitizer); objects read back are
// immutable. A writer reads, copies, changes the copy and writes the copy.
//
// Start-up failures: when the data folder cannot be created, or the store cannot be opened there,
// create() answers null with an error that says which folder or file and why, and
// sharedInstance() raises "ZRVDatabaseManagerException" with that text: start-up stops there
// instead of going on without a database.
//
// The cloud sync extension (its registration suspended three times under "cloud_kit", and the
// `cloudKitExtension` accessor through which the cloud manager suspends and resumes it) is not part
// of this build yet: setupDatabase() marks the step where it is registered, between the views and
// the connections.
//
// Threads: create() and sharedInstance() may be called from any thread (the shared instance is made
// once). Every other operation is called on the main thread: the main connection is moved there,
// and the lookups answer for the main connection's snapshot, which moves only when the
// Did-update notification is posted. Writes are synchronous: they run on the background
// connection's queue and the database's write queue and return after the commit. The closures
// given to the store run on the connection queues. The manager's own state is fixed when create()
// returns.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizEvozidiz.h"
#include "DizEvozidiz/DizEvozidizConnection.h"
#include "DizEvozidiz/DizEvozidizOptions.h"
#include "DizEvozidiz/DizEvozidizSerializers.h"
#include "DizEvozidiz/Extensions/Views/Utilities/DizEvozidizViewMappings.h"
#include "app/ZRVBundle.h"
#include "platform/runtime/error.h"
#include "platform/runtime/object.h"
#include "platform/services/bundle.h"
#include "platform/services/notification_center.h"

class DizEvozidizView;
class DizEvozidizFilteredView;
class DizEvozidizSecondaryIndex;
class DizEvozidizReadTransaction;
class DizEvozidizReadWriteTransaction;
class ZRVCollection;
class ZRVEvent;
class ZRVEventsSummary;
class ZRVOptionReview;
class ZRVOptionTrigger;
class ZRVSkin;

// ---- Collections of the store ----
inline constexpr std::string_view ZRVEventsCollection = "Events";
inline constexpr std::string_view ZRVCollectionsCollection = "Collections";
inline constexpr std::string_view ZRVSkinsCollection = "Skins";
inline constexpr std::string_view ZRVOptionsCollection = "Options";
inline constexpr std::string_view ZRVCloudKitCollection = "CloudKit";

// ---- Registered extensions and their groups ----
inline constexpr std::string_view ZRVEventsViewName = "events_view";
inline constexpr std::string_view ZRVCollectionsViewName = "collections_view";
inline constexpr std::string_view ZRVCollectionsAvailableViewName = "collections_available_view";
inline constexpr std::string_view ZRVSkinsViewName = "skins_view";
inline constexpr std::string_view ZRVOptionsViewName = "options_view";
inline constexpr std::string_view ZRVEventsIndexName = "events_index";

inline constexpr std::string_view ZRVEventsActiveGroup = "events_active_group";
inline constexpr std::string_view ZRVEventsCompleteGroup = "events_complete_group";
inline constexpr std::string_view ZRVEventsArchivedGroup = "events_archived_group";
inline constexpr std::string_view ZRVCollectionsAvailableGroup = "collections_available_group";
inline constexpr std::string_view ZRVOptionsTriggersGroup = "options_triggers_group";
inline constexpr std::string_view ZRVOptionsReviewsGroup = "options_reviews_group";
// The index's one integer column: an event's state.
inline constexpr std::string_view ZRVEventsIndexStateColumn = "state";

// ---- The manager's notifications ----
inline constexpr std::string_view UIDatabaseConnectionWillUpdateNotification =
    "UIDatabaseConnectionWillUpdateNotification";
inline constexpr std::string_view UIDatabaseConnectionDidUpdateNotification =
    "UIDatabaseConnectionDidUpdateNotification";
inline constexpr std::string_view UIDatabaseConnectionChangeNotificationsKey =
    "UIDatabaseConnectionChangeNotificationsKey";

// ---- Resources: property lists of the application's bundle ----
inline constexpr std::string_view ZRVSkinsDataResource = "ZRVSkinsData";
inline constexpr std::string_view ZRVDefaultOptionsResource = "ZRVDefaultOptions";
inline constexpr std::string_view ZRVPropertyListResourceType = "plist";

// ---- Start-up failures ----
inline constexpr std::string_view ZRVDatabaseManagerErrorDomain = "org.zorvel.Zorvel.databasemanager";
static_assert(ZRVDatabaseManagerErrorDomain.starts_with(ZRVBundleIdentifier));
enum : std::int64_t {
  ZRVDatabaseManagerErrorDataFolder = 1,  // the folder of the database file could not be created
  ZRVDatabaseManagerErrorOpen = 2,        // the store could not open the file
};
inline constexpr std::string_view ZRVDatabaseManagerException = "ZRVDatabaseManagerException";

// What create() opens. The defaults are the application's own; tests name a folder of their own.
struct ZRVDatabaseManagerSetup {
  // The folder that holds the database file. Empty: "<the user's data folder>/<executable name>".
  std::filesystem::path directory;
  // The bundle whose resources hold the skin catalogue and the default options, and whose
  // "CFBundleExecutable" names the database. Null: the main bundle.
  platform::BundlePtr bundle;
  // The store's options. None: ZRVDatabaseManager::storeOptions().
  std::optional<DizEvozidizOptions> options;
};

class ZRVDatabaseManager : public platform::Object {
  ZORVEL_CLASS(ZRVDatabaseManager, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVDatabaseManager>;
  template <class T>
  using List = std::vector<std::shared_ptr<T>>;

  // A new review state waits for this many significant events; an answer with status 0 sets the
  // count back to the second number.
  static constexpr std::int64_t kNewReviewSignificantEvents = 10;
  static constexpr std::int64_t kDeclinedReviewSignificantEvents = 5;

  // ---- Making the manager (database manager core, ZRVDatabaseManager.cpp) ----
  // The application's manager with the default setup, made on the first call (once per process,
  // thread-safe) and never released. Raises "ZRVDatabaseManagerException" when it cannot be made
  // (the reason names the folder or file and the system's answer); a later call tries again.
  static const Ptr& sharedInstance();
  // A manager with its own database: opened, its extensions registered, its connections made and
  // the main connection in a long-lived read transaction. Null, with `error` filled, when the data
  // folder cannot be created or the store cannot open the file.
  static Ptr create(ZRVDatabaseManagerSetup setup = {}, platform::ErrorPtr* error = nullptr);
  ~ZRVDatabaseManager() override;

  // The store options the application opens with: multi-process support on, every other option the
  // store's default.
  static DizEvozidizOptions storeOptions();
  // The bundle's "CFBundleExecutable" when it is a plain file name, else the running program's name.
  static std::string executableName(const platform::Bundle& bundle);
  // Where the database file goes; creates its folder (with the missing parents) first. None, with
  // `error` filled (domain ZRVDatabaseManagerErrorDomain, code ZRVDatabaseManagerErrorDataFolder),
  // when the folder cannot be created.
  std::optional<std::filesystem::path> databasePath(platform::ErrorPtr* error = nullptr) const;

  // The closures the store is opened with (any thread).
  static DizEvozidizSerializer databaseSerializer();
  static DizEvozidizDeserializer databaseDeserializer();
  static DizEvozidizPreSanitizer databasePreSanitizer();
  static DizEvozidizPostSanitizer databasePostSanitizer();

  const DizEvozidiz::Ptr& database() const { return database_; }
  const DizEvozidizConnection::Ptr& mainDatabaseConnection() const { return mainDatabaseConnection_; }
  const DizEvozidizConnection::Ptr& backgroundDatabaseConnection() const { return backgroundDatabaseConnection_; }
  const platform::BundlePtr& bundle() const { return bundle_; }

  // The store's modified notification: posts the Will-update notification, moves the main
  // connection to the newest commit and posts the Did-update notification. Main thread.
  void dizEvozidizModified(const platform::NotificationPtr& notification);

  // ---- Views and index (ZRVDatabaseManagerViews.cpp) ----
  // New, unregistered extensions, as registerViews() registers them.
  static std::shared_ptr<DizEvozidizView> eventsView();
  static std::shared_ptr<DizEvozidizView> collectionsView();
  static std::shared_ptr<DizEvozidizFilteredView> collectionsAvailableView();
  static std::shared_ptr<DizEvozidizView> skinsView();
  static std::shared_ptr<DizEvozidizView> optionsView();
  static std::shared_ptr<DizEvozidizSecondaryIndex> eventsIndex();
  // The main list's mappings of "events_view": sections complete, active, archived; the archived
  // section is left out while empty, the other two are always shown. Not yet updated.
  static DizEvozidizViewMappings eventsMappings();

  // ---- Events (ZRVDatabaseManagerEvents.cpp) ----
  // Each change is one read-write transaction on the background connection and answers whether it
  // committed (a failed transaction keeps nothing and is logged).
  //
  // Returns every event being edited to active and removes every event being added, then stores a
  // new event (state adding, today at midnight with the seconds kept) wearing a random skin, or no
  // skin when there is none (its skinId stays empty). One commit.
  bool addEvent();
  // Stores the event as given under its uuid (the caller made its changes on a copy).
  bool saveEvent(const std::shared_ptr<ZRVEvent>& event);
  // Removes the event's uuid from "Events" (nothing for a missing event).
  bool deleteEvent(const ZRVEvent& event);
  // Sets the state of the event stored under the given event's uuid (its other stored values stay);
  // stores nothing when no event is stored there.
  bool setState(std::uint64_t state, const ZRVEvent& event);
  // Whether the main connection's snapshot holds an event being added (or being added or edited),
  // counted through the index.
  bool isAnyAddingEvent() const;
  bool isAnyEditingAddingEvent() const;
  // Returns edited events to active and removes events being added: in a transaction of its own,
  // or in the caller's.
  bool dropAllEditingAddingEvents();
  void dropAllEditingAddingEventsWithTransaction(DizEvozidizReadWriteTransaction& transaction);
  // Counts the events by state (complete 3; active 2 and 1; archived 4; events being added are in
  // no count) in a read transaction on the background connection, and calls the block with the
  // counts later, on the main queue.
  void eventsSummaryWithBlock(std::function<void(const std::shared_ptr<ZRVEventsSummary>&)> block);

  // ---- Skins, collections and options (ZRVDatabaseManagerSkins.cpp) ----
  // Merges the skin catalogue into the store, one read-write transaction per catalogue collection:
  // new collections and skins are stored, a collection's changed name is updated, nothing is
  // removed, and an unchanged catalogue writes (and commits) nothing. False when the catalogue
  // cannot be read or a transaction failed; elements that cannot be read are logged and skipped.
  bool syncSkins();
  // Stores the default triggers in one read-write transaction when "Options" is empty. False when
  // they were needed but could not be read, or the transaction failed.
  bool syncOptions();
  // Every collection, ordered by name.
  List<ZRVCollection> availableCollections() const;
  // The collection's skins, oldest first.
  List<ZRVSkin> skinsForCollection(const ZRVCollection& collection) const;
  std::shared_ptr<ZRVSkin> skinForEvent(const ZRVEvent& event) const;
  std::shared_ptr<ZRVCollection> collectionForSkin(const ZRVSkin& skin) const;
  // A skin drawn uniformly from the skins of every collection; null when there is none.
  std::shared_ptr<ZRVSkin> randomSkin() const;
  // Every trigger, newest first; only the active ones.
  List<ZRVOptionTrigger> allTriggers() const;
  List<ZRVOptionTrigger> availableTriggers() const;
  // Whole days since the earliest collection was stored (the first launch); 0 without collections.
  std::int64_t daysSinceFirstLaunch() const;
  // A mutable copy of the platform's review state; a new one (10 significant events to go) is
  // stored first when there is none (null, logged, when that write did not commit).
  std::shared_ptr<ZRVOptionReview> currentReviewStateForPlatform(std::uint64_t platformNumber);
  std::shared_ptr<ZRVOptionReview> getCurrentReviewState() { return currentReviewStateForPlatform(0); }
  // Records an answer on `review` (status, request date now, one more request; status 0 sets the
  // remaining significant events to 5) and stores a copy of it.
  bool updateReview(ZRVOptionReview& review, std::uint64_t status);
  // Counts one significant event down on `review` and stores a copy; nothing at 0 or below.
  bool decreaseSignificantEventsRemainForReview(ZRVOptionReview& review);
  // Removes every review state in one read-write transaction.
  bool removeAllReviews();

 private:
  // Only the set-up: create() opens the database and makes the connections every operation uses,
  // so a manager is made only through create() or sharedInstance().
  explicit ZRVDatabaseManager(ZRVDatabaseManagerSetup setup);

  bool setupDatabase(platform::ErrorPtr* error);
  void registerViews();
  // Runs a read-write transaction on the background connection; false (logged with `operation`)
  // when it did not commit.
  bool write(std::string_view operation, const std::function<void(DizEvozidizReadWriteTransaction&)>& block);
  // A property list among the bundle's resources; nil (logged) when it is missing or unreadable.
  platform::Value propertyListResource(std::string_view name) const;

  const ZRVDatabaseManagerSetup setup_;
  const platform::BundlePtr bundle_;
  DizEvozidiz::Ptr database_;
  DizEvozidizConnection::Ptr mainDatabaseConnection_;
  DizEvozidizConnection::Ptr backgroundDatabaseConnection_;
  platform::NotificationCenter::ObserverToken modifiedObserver_;
};
