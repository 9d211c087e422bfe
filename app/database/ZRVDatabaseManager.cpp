#include "app/database/ZRVDatabaseManager.h"

#include "app/database/ZRVDatabaseManagerInternal.h"
#include "app/model/ZRVSyncableObject.h"
#include "platform/codecs/keyed_archiver.h"
#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/locks.h"
#include "platform/system/process.h"
#include "platform/system/this_thread.h"
#include "platform/system/thread_safety.h"

using platform::ErrorPtr;
using platform::Value;
using zrv_detail::databaseLog;
using zrv_detail::kManagerClassName;
using zrv_detail::traceOperation;

namespace {

// Both connections keep up to this many objects and no metadata (the application stores none).
constexpr std::uint64_t kObjectCacheLimit = 400;

ErrorPtr makeError(std::int64_t code, std::string description, const ErrorPtr& underlying = nullptr) {
  platform::ValueDictionary info;
  info.set(std::string(platform::kLocalizedDescriptionKey), Value(std::move(description)));
  if (underlying) info.set(std::string(platform::kUnderlyingErrorKey), Value(underlying));
  return platform::Error::make(std::string(ZRVDatabaseManagerErrorDomain), code, Value(std::move(info)));
}

void fail(platform::ErrorPtr* error, ErrorPtr made) {
  databaseLog(ZRVLogType::Error, "%{public}@ - %{public}@ : %{public}@", kManagerClassName, "setupDatabase",
              made->localizedDescription());
  if (error) *error = std::move(made);
}

}  // namespace

// ---- Making the manager ----

ZRVDatabaseManager::ZRVDatabaseManager(ZRVDatabaseManagerSetup setup)
    : setup_(std::move(setup)), bundle_(setup_.bundle ? setup_.bundle : platform::Bundle::main()) {}

ZRVDatabaseManager::~ZRVDatabaseManager() {
  if (modifiedObserver_) platform::NotificationCenter::defaultCenter()->removeObserver(modifiedObserver_);
}

const ZRVDatabaseManager::Ptr& ZRVDatabaseManager::sharedInstance() {
  static platform::Mutex mutex;
  // Never destroyed: the manager lives until the process ends.
  static Ptr* instance = new Ptr;
  platform::MutexLock lock(mutex);
  if (!*instance) {
    ErrorPtr error;
    Ptr made = create({}, &error);
    if (!made) {
      const std::string reason = error ? error->localizedDescription() : "The database could not be opened.";
      platform::Exception::raise(ZRVDatabaseManagerException, reason);
    }
    *instance = std::move(made);
  }
  return *instance;
}

ZRVDatabaseManager::Ptr ZRVDatabaseManager::create(ZRVDatabaseManagerSetup setup, platform::ErrorPtr* error) {
  Ptr manager = platform::make<ZRVDatabaseManager>(std::move(setup));
  if (!manager->setupDatabase(error)) return nullptr;
  return manager;
}

DizEvozidizOptions ZRVDatabaseManager::storeOptions() {
  DizEvozidizOptions options;
  options.enableMultiProcessSupport = true;
  return options;
}

std::string ZRVDatabaseManager::executableName(const platform::Bundle& bundle) {
  const Value& name = bundle.objectForInfoDictionaryKey("CFBundleExecutable");
  if (name.isString()) {
    const std::string& text = name.asString();
    // A name that is not a single path component would put the database somewhere else entirely.
    if (!text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos) return text;
  }
  return platform::ProcessInfo::processName();
}

std::optional<std::filesystem::path> ZRVDatabaseManager::databasePath(platform::ErrorPtr* error) const {
  const std::string name = executableName(*bundle_);
  std::filesystem::path directory = setup_.directory;
  if (directory.empty())
    directory = std::filesystem::path(platform::FileManager::defaultManager().applicationSupportDirectory()) / name;
  ErrorPtr underlying;
  if (!platform::FileManager::defaultManager().createDirectory(directory, true, &underlying)) {
    const std::string reason = underlying ? underlying->localizedDescription() : "unknown error";
    if (error)
      *error = makeError(
          ZRVDatabaseManagerErrorDataFolder,
          platform::format("Cannot create the data folder \"%@\" for the database: %@", directory.string(), reason),
          underlying);
    return std::nullopt;
  }
  return directory / (name + "Database.sqlite");
}

// ---- Closures of the store ----

DizEvozidizSerializer ZRVDatabaseManager::databaseSerializer() {
  return [](const std::string&, const std::string&, const Value& object) {
    return platform::KeyedArchiver::archivedData(object);
  };
}

DizEvozidizDeserializer ZRVDatabaseManager::databaseDeserializer() {
  return [](const std::string&, const std::string&, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) return Value();
    // Bytes that are no archive of a known class read as no object.
    Value object = platform::KeyedUnarchiver::unarchivedObject(bytes);
    if (auto syncable = object.as<ZRVSyncableObject>()) syncable->makeImmutable();
    return object;
  };
}

DizEvozidizPreSanitizer ZRVDatabaseManager::databasePreSanitizer() {
  return [](const std::string&, const std::string&, const Value& object) {
    if (auto syncable = object.as<ZRVSyncableObject>()) syncable->makeImmutable();
    return object;
  };
}

DizEvozidizPostSanitizer ZRVDatabaseManager::databasePostSanitizer() {
  return [](const std::string&, const std::string&, const Value& object) {
    if (auto syncable = object.as<ZRVSyncableObject>()) syncable->clearChangedProperties();
  };
}

// ---- Set-up ----

bool ZRVDatabaseManager::setupDatabase(platform::ErrorPtr* error) {
  traceOperation("setupDatabase");
  ErrorPtr pathError;
  std::optional<std::filesystem::path> path = databasePath(&pathError);
  if (!path) {
    fail(error, pathError);
    return false;
  }

  database_ = DizEvozidiz::create(path->string(), databaseSerializer(), databaseDeserializer(), databasePreSanitizer(),
                                  databasePostSanitizer(), setup_.options.value_or(storeOptions()));
  if (!database_) {
    fail(error, makeError(ZRVDatabaseManagerErrorOpen,
                          platform::format("Cannot open the database \"%@\": the file cannot be opened as a "
                                           "database, or this program has it open already",
                                           path->string())));
    return false;
  }

  // The background connection carries every write, the registrations first.
  backgroundDatabaseConnection_ = database_->newConnection();
  backgroundDatabaseConnection_->setName("ZRVDatabaseManager background");
  backgroundDatabaseConnection_->setObjectCacheLimit(kObjectCacheLimit);
  backgroundDatabaseConnection_->setMetadataCacheEnabled(false);

  registerViews();

  // The cloud sync extension is registered here, once it exists: taken from the cloud manager,
  // kept as `cloudKitExtension`, suspended three times and registered asynchronously as
  // "cloud_kit" (a failed registration logged, the application going on without sync).

  mainDatabaseConnection_ = database_->newConnection();
  mainDatabaseConnection_->setName("ZRVDatabaseManager main");
  mainDatabaseConnection_->setObjectCacheLimit(kObjectCacheLimit);
  mainDatabaseConnection_->setMetadataCacheEnabled(false);
  mainDatabaseConnection_->enableExceptionsForImplicitlyEndingLongLivedReadTransaction();
  mainDatabaseConnection_->beginLongLivedReadTransaction();

  std::weak_ptr<ZRVDatabaseManager> weakSelf = std::static_pointer_cast<ZRVDatabaseManager>(shared_from_this());
  modifiedObserver_ = platform::NotificationCenter::defaultCenter()->addObserver(
      std::string(DizEvozidizModifiedNotification), database_, nullptr,
      [weakSelf](const platform::NotificationPtr& notification) {
        if (auto self = weakSelf.lock()) self->dizEvozidizModified(notification);
      });
  return true;
}

// ---- After every commit ----

void ZRVDatabaseManager::dizEvozidizModified(const platform::NotificationPtr&) {
  ZORVEL_ASSERT_THREAD(platform::isMainThread(), "ZRVDatabaseManager moves the main connection on the main thread");
  auto center = platform::NotificationCenter::defaultCenter();
  const platform::ObjectPtr self = shared_from_this();
  center->post(std::string(UIDatabaseConnectionWillUpdateNotification), self);
  std::vector<platform::NotificationPtr> notifications = mainDatabaseConnection_->beginLongLivedReadTransaction();
  platform::ValueArray changes;
  changes.reserve(notifications.size());
  for (auto& notification : notifications) changes.push_back(Value(std::move(notification)));
  platform::ValueDictionary userInfo;
  userInfo.set(std::string(UIDatabaseConnectionChangeNotificationsKey), Value(std::move(changes)));
  center->post(std::string(UIDatabaseConnectionDidUpdateNotification), self, Value(std::move(userInfo)));
}

// ---- Shared by the operations ----

bool ZRVDatabaseManager::write(std::string_view operation,
                               const std::function<void(DizEvozidizReadWriteTransaction&)>& block) {
  ErrorPtr error;
  if (backgroundDatabaseConnection_->readWriteWithBlock(block, &error)) return true;
  databaseLog(ZRVLogType::Error, "%{public}@ - %{public}@ : transaction failed: %{public}@", kManagerClassName,
              operation, error ? error->localizedDescription() : std::string("unknown error"));
  return false;
}
