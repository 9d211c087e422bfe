// The skin catalogue and the default triggers loaded from the application's resources, the lookups
// of skins, collections and triggers, and the review-request state.

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/database/ZRVDatabaseManagerInternal.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "app/model/ZRVSkin.h"
#include "model/MFJSONAdapter.h"
#include "platform/codecs/property_list.h"
#include "platform/runtime/format.h"
#include "platform/services/files.h"
#include "platform/system/console.h"

using platform::ErrorPtr;
using platform::Value;
using zrv_detail::databaseLog;
using zrv_detail::kManagerClassName;
using zrv_detail::traceOperation;

namespace {

constexpr std::string_view kCatalogueErrorDomain = "org.zorvel.Zorvel.databasemanager.catalogue";

bool isIdentifier(const Value& value) { return value.isString() && !value.asString().empty(); }

ErrorPtr missingIdentifierError(std::string_view what) {
  return platform::Error::withDescription(std::string(kCatalogueErrorDomain), 1,
                                          platform::format("The %@ has no \"id\" string", what));
}

// A catalogue object made by the JSON adapter; null, with the reason in `error`, when the adapter
// cannot map it or it names no identifier (an object without one would be stored anew at every
// launch under a fresh random uuid).
template <class T>
std::shared_ptr<T> catalogueObject(const Value& dictionary, std::string_view what, ErrorPtr& error) {
  if (!dictionary.isDictionary() || !isIdentifier(dictionary["id"])) {
    error = missingIdentifierError(what);
    return nullptr;
  }
  auto object = MFJSONAdapter::modelOfClass<T>(dictionary, &error);
  if (object && !object->uuid()) {
    error = missingIdentifierError(what);
    return nullptr;
  }
  return object;
}

// One catalogue element in the caller's read-write transaction: its collection and its new skins.
void mergeCatalogueCollection(DizEvozidizReadWriteTransaction& transaction, const Value& element) {
  ErrorPtr error;
  std::optional<std::string> collectionId;
  if (auto collection = catalogueObject<ZRVCollection>(element, "collection", error)) {
    collectionId = collection->uuid();
    auto stored = transaction.objectForKey(*collectionId, ZRVCollectionsCollection).as<ZRVCollection>();
    if (!stored) {
      transaction.setObject(Value(collection), *collectionId, ZRVCollectionsCollection);
    } else if (stored->name() != collection->name()) {
      auto copy = std::static_pointer_cast<ZRVCollection>(stored->copy());
      copy->setName(collection->name());
      transaction.setObject(Value(copy), *collectionId, ZRVCollectionsCollection);
    }
  } else {
    platform::consoleLog(platform::format("ZRVDatabaseManager+Skins creating collection error: %@", error));
  }

  const Value& skins = element["skins"];
  if (!skins.isArray()) return;
  for (const Value& entry : skins.asArray()) {
    // A skin already stored stays as it is, even when the catalogue renamed or moved it.
    if (isIdentifier(entry["id"]) && transaction.hasObjectForKey(entry["id"].asString(), ZRVSkinsCollection)) continue;
    ErrorPtr skinError;
    auto skin = catalogueObject<ZRVSkin>(entry, "skin", skinError);
    if (!skin) {
      platform::consoleLog(platform::format("ZRVDatabaseManager+Skins creating skin error: %@", skinError));
      continue;
    }
    skin->setCollectionId(collectionId);
    transaction.setObject(Value(skin), *skin->uuid(), ZRVSkinsCollection);
  }
}

// A built-in trigger from the default options; null (logged) for an entry that cannot be one.
std::shared_ptr<ZRVOptionTrigger> defaultTrigger(const Value& entry) {
  if (!entry.isDictionary() || !isIdentifier(entry["id"]) || !entry["unit"].isInteger() ||
      !entry["value"].isInteger() || entry["unit"].asInt64() < 0 || entry["value"].asInt64() < 0) {
    platform::consoleLog(platform::format("ZRVDatabaseManager+Options creating trigger error: %@", entry));
    return nullptr;
  }
  const Value& active = entry["active"];
  auto trigger = ZRVOptionTrigger::triggerWithUnit(entry["unit"].asUInt64(), entry["value"].asUInt64(),
                                                   ZRVOptionTriggerTypeBuiltIn,
                                                   (active.isBool() || active.isNumber()) && active.asBool());
  trigger->setUuid(entry["id"].asString());
  return trigger;
}

std::size_t randomIndex(std::size_t count) {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  return std::uniform_int_distribution<std::size_t>(0, count - 1)(engine);
}

// The last review state of the platform in the reviews group, in view order.
std::shared_ptr<ZRVOptionReview> storedReviewState(DizEvozidizReadTransaction& transaction,
                                                   std::uint64_t platformNumber) {
  std::shared_ptr<ZRVOptionReview> found;
  zrv_detail::enumerateGroup<ZRVOptionReview>(transaction, ZRVOptionsViewName, ZRVOptionsReviewsGroup,
                                              [&](const std::string&, std::shared_ptr<ZRVOptionReview> review) {
                                                if (review->platform() == platformNumber) found = std::move(review);
                                              });
  return found;
}

}  // namespace

// ---- Resources ----

Value ZRVDatabaseManager::propertyListResource(std::string_view name) const {
  std::optional<std::filesystem::path> path = bundle_->pathForResource(name, ZRVPropertyListResourceType);
  if (!path) {
    databaseLog(ZRVLogType::Error, "%{public}@ - %{public}@ : no resource %{public}@.plist in %{public}@",
                kManagerClassName, "propertyListResource", name, bundle_->bundlePath().string());
    return {};
  }
  ErrorPtr error;
  Value list;
  if (std::optional<platform::Bytes> bytes = platform::FileManager::defaultManager().readFile(*path, &error))
    list = platform::propertyListWithData(*bytes, nullptr, &error);
  if (list.isNil())
    databaseLog(ZRVLogType::Error, "%{public}@ - %{public}@ : cannot read %{public}@: %{public}@", kManagerClassName,
                "propertyListResource", path->string(), error);
  return list;
}

// ---- Loading at launch ----

bool ZRVDatabaseManager::syncSkins() {
  traceOperation("syncSkins");
  const Value catalogue = propertyListResource(ZRVSkinsDataResource);
  if (!catalogue.isArray()) return false;
  bool committed = true;
  for (const Value& element : catalogue.asArray()) {
    // A transaction that finds everything as the catalogue has it writes nothing, and so commits
    // nothing: no new snapshot, no notification.
    if (!write("syncSkins", [&](DizEvozidizReadWriteTransaction& t) { mergeCatalogueCollection(t, element); }))
      committed = false;
  }
  return committed;
}

bool ZRVDatabaseManager::syncOptions() {
  traceOperation("syncOptions");
  bool loaded = true;
  const bool committed = write("syncOptions", [&](DizEvozidizReadWriteTransaction& transaction) {
    // Loaded once in the life of a store: any option, a review state included, means it was.
    if (transaction.numberOfKeysInCollection(ZRVOptionsCollection) > 0) return;
    const Value defaults = propertyListResource(ZRVDefaultOptionsResource);
    const Value& triggers = defaults["triggers"];
    if (!triggers.isArray()) {
      loaded = false;
      return;
    }
    for (const Value& entry : triggers.asArray()) {
      if (auto trigger = defaultTrigger(entry))
        transaction.setObject(Value(trigger), *trigger->uuid(), ZRVOptionsCollection);
    }
  });
  return committed && loaded;
}

// ---- Lookups (main connection) ----

ZRVDatabaseManager::List<ZRVCollection> ZRVDatabaseManager::availableCollections() const {
  List<ZRVCollection> collections;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    collections = zrv_detail::objectsInAllGroups<ZRVCollection>(transaction, ZRVCollectionsAvailableViewName);
  });
  return collections;
}

ZRVDatabaseManager::List<ZRVSkin> ZRVDatabaseManager::skinsForCollection(const ZRVCollection& collection) const {
  List<ZRVSkin> skins;
  if (!collection.uuid() || collection.uuid()->empty()) return skins;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    skins = zrv_detail::objectsInGroup<ZRVSkin>(transaction, ZRVSkinsViewName, *collection.uuid());
  });
  return skins;
}

std::shared_ptr<ZRVSkin> ZRVDatabaseManager::skinForEvent(const ZRVEvent& event) const {
  std::shared_ptr<ZRVSkin> skin;
  if (!event.skinId()) return skin;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    skin = transaction.objectForKey(*event.skinId(), ZRVSkinsCollection).as<ZRVSkin>();
  });
  return skin;
}

std::shared_ptr<ZRVCollection> ZRVDatabaseManager::collectionForSkin(const ZRVSkin& skin) const {
  std::shared_ptr<ZRVCollection> collection;
  if (!skin.collectionId()) return collection;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    collection = transaction.objectForKey(*skin.collectionId(), ZRVCollectionsCollection).as<ZRVCollection>();
  });
  return collection;
}

std::shared_ptr<ZRVSkin> ZRVDatabaseManager::randomSkin() const {
  List<ZRVSkin> skins;
  for (const auto& collection : availableCollections()) {
    List<ZRVSkin> inCollection = skinsForCollection(*collection);
    skins.insert(skins.end(), inCollection.begin(), inCollection.end());
  }
  if (skins.empty()) return nullptr;
  return skins[randomIndex(skins.size())];
}

ZRVDatabaseManager::List<ZRVOptionTrigger> ZRVDatabaseManager::allTriggers() const {
  List<ZRVOptionTrigger> triggers;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    triggers = zrv_detail::objectsInGroup<ZRVOptionTrigger>(transaction, ZRVOptionsViewName, ZRVOptionsTriggersGroup);
  });
  return triggers;
}

ZRVDatabaseManager::List<ZRVOptionTrigger> ZRVDatabaseManager::availableTriggers() const {
  List<ZRVOptionTrigger> triggers = allTriggers();
  std::erase_if(triggers, [](const auto& trigger) { return !trigger->active(); });
  return triggers;
}

std::int64_t ZRVDatabaseManager::daysSinceFirstLaunch() const {
  std::optional<platform::Date> first;
  for (const auto& collection : availableCollections()) {
    if (collection->createdAt() && (!first || *collection->createdAt() < *first)) first = collection->createdAt();
  }
  return first ? DateUtilities::daysBeforeDate(*first, ZRVClock::now()) : 0;
}

// ---- Review state ----

std::shared_ptr<ZRVOptionReview> ZRVDatabaseManager::currentReviewStateForPlatform(std::uint64_t platformNumber) {
  traceOperation("currentReviewStateForPlatform:");
  std::shared_ptr<ZRVOptionReview> review;
  mainDatabaseConnection_->readWithBlock(
      [&](DizEvozidizReadTransaction& transaction) { review = storedReviewState(transaction, platformNumber); });
  if (!review) {
    const bool stored = write("currentReviewStateForPlatform:", [&](DizEvozidizReadWriteTransaction& transaction) {
      // One stored since the main connection's snapshot (a call before the Did-update notification)
      // is taken rather than doubled.
      review = storedReviewState(transaction, platformNumber);
      if (review) return;
      review = platform::make<ZRVOptionReview>();
      review->setPlatform(platformNumber);
      review->setSignificantEventsRemain(kNewReviewSignificantEvents);
      transaction.setObject(Value(review), *review->uuid(), ZRVOptionsCollection);
    });
    if (!stored) return nullptr;
  }
  return std::static_pointer_cast<ZRVOptionReview>(review->copy());
}

bool ZRVDatabaseManager::updateReview(ZRVOptionReview& review, std::uint64_t status) {
  traceOperation("updateReview:status:");
  review.setStatus(status);
  review.setLastRequestDate(ZRVClock::now());
  review.setNumberOfRequests(review.numberOfRequests() + 1);
  if (status == 0) review.setSignificantEventsRemain(kDeclinedReviewSignificantEvents);
  if (!review.uuid()) return false;
  auto copy = review.copy();
  return write("updateReview:status:", [&](DizEvozidizReadWriteTransaction& transaction) {
    transaction.setObject(Value(copy), *review.uuid(), ZRVOptionsCollection);
  });
}

bool ZRVDatabaseManager::decreaseSignificantEventsRemainForReview(ZRVOptionReview& review) {
  traceOperation("decreaseSignificantEventsRemainForReview:");
  if (review.significantEventsRemain() <= 0) return true;
  review.setSignificantEventsRemain(review.significantEventsRemain() - 1);
  if (!review.uuid()) return false;
  auto copy = review.copy();
  return write("decreaseSignificantEventsRemainForReview:", [&](DizEvozidizReadWriteTransaction& transaction) {
    transaction.setObject(Value(copy), *review.uuid(), ZRVOptionsCollection);
  });
}

bool ZRVDatabaseManager::removeAllReviews() {
  traceOperation("removeAllReviews");
  return write("removeAllReviews", [&](DizEvozidizReadWriteTransaction& transaction) {
    std::vector<std::string> keys;
    zrv_detail::enumerateGroup<ZRVOptionReview>(
        transaction, ZRVOptionsViewName, ZRVOptionsReviewsGroup,
        [&](const std::string& key, const std::shared_ptr<ZRVOptionReview>&) { keys.push_back(key); });
    for (const std::string& key : keys) transaction.removeObjectForKey(key, ZRVOptionsCollection);
  });
}
