// Changesets: what a commit hands to the other connections (internal) and to the application
// (external, the modified notification's user info), how a connection applies one to its caches,
// and the queries on received notifications.

#include <vector>

#include "DizEvozidiz/DizEvozidizConnectionInternal.h"
#include "DizEvozidiz/DizEvozidizExtensionInternal.h"
#include "DizEvozidiz/DizEvozidizLogInternal.h"
#include "DizEvozidiz/Utilities/DizMarkers.h"

const std::vector<std::string>& DizEvozidizConnection::internalChangesetKeys() {
  static const std::vector<std::string> keys = {"snapshot",
                                                "extensions",
                                                "registeredExtensions",
                                                "registeredMemoryTables",
                                                "extensionsOrder",
                                                "extensionDependencies",
                                                "notification",
                                                "objectChanges",
                                                "metadataChanges",
                                                "removedKeys",
                                                "removedCollections",
                                                "removedRowids",
                                                "allKeysRemoved",
                                                "modifiedExternally"};
  return keys;
}

const std::vector<std::string>& DizEvozidizConnection::externalChangesetKeys() {
  static const std::vector<std::string> keys = {
      "snapshot",        "connection",  "extensions",         "custom",         "objectChanges",
      "metadataChanges", "removedKeys", "removedCollections", "allKeysRemoved", "modifiedExternally"};
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Building (committing connection, inside its write transaction)

void DizEvozidizConnectionInternal::getInternalChangeset(platform::Value& internal, platform::Value& external) {
  assertOnConnectionQueue();
  platform::ValueDictionary in;
  platform::ValueDictionary ex;
  bool haveIn = false;
  bool haveEx = false;
  diz_detail::addToChangesets(*this, in, ex, haveIn, haveEx);
  // Published records are read from other threads: nothing may be left pending in them.
  if (objectChanges) objectChanges->map.finishPending();
  if (metadataChanges) metadataChanges->map.finishPending();

  const bool rowChanges =
      (objectChanges && !objectChanges->map.empty()) || (metadataChanges && !metadataChanges->map.empty()) ||
      (removedKeys && !removedKeys->set.empty()) || (removedCollections && !removedCollections->set.empty()) ||
      (removedRowids && !removedRowids->set.empty()) || allKeysRemoved;
  if (rowChanges) {
    haveIn = haveEx = true;
    // The external side carries set facades over the same containers, never the values.
    if (objectChanges && !objectChanges->map.empty()) {
      in.set("objectChanges", platform::Value(objectChanges));
      ex.set("objectChanges", platform::Value(DizSet::withMembers(objectChanges)));
    }
    if (metadataChanges && !metadataChanges->map.empty()) {
      in.set("metadataChanges", platform::Value(metadataChanges));
      ex.set("metadataChanges", platform::Value(DizSet::withMembers(metadataChanges)));
    }
    if (removedKeys && !removedKeys->set.empty()) {
      in.set("removedKeys", platform::Value(removedKeys));
      ex.set("removedKeys", platform::Value(DizSet::withMembers(removedKeys)));
    }
    if (removedCollections && !removedCollections->set.empty()) {
      in.set("removedCollections", platform::Value(removedCollections));
      ex.set("removedCollections", platform::Value(DizSet::withMembers(removedCollections)));
    }
    if (removedRowids && !removedRowids->set.empty()) in.set("removedRowids", platform::Value(removedRowids));
    if (allKeysRemoved) {
      in.set("allKeysRemoved", platform::Value(true));
      ex.set("allKeysRemoved", platform::Value(true));
    }
    if (externallyModified) {
      in.set("modifiedExternally", platform::Value(true));
      ex.set("modifiedExternally", platform::Value(true));
    }
  }
  internal = haveIn ? platform::Value(std::move(in)) : platform::Value();
  external = haveEx ? platform::Value(std::move(ex)) : platform::Value();
}

// ---------------------------------------------------------------------------------------------
// Receiving (this connection's queue)

void DizEvozidizConnectionInternal::noteCommittedChangeset(const platform::Value& changeset) {
  assertOnConnectionQueue();
  const std::uint64_t changesetSnapshot = changeset["snapshot"].asUInt64();
  if (changesetSnapshot <= snapshot_) return;
  if (longLivedReadTransaction_) {
    if (!isFastForwarding_) {
      pendingChangesets_.push_back(changeset);
      return;
    }
    processedChangesets_.push_back(changeset);
  }
  const std::uint64_t oldSnapshot = snapshot_;
  snapshot_ = changesetSnapshot;
  if (changesetSnapshot != oldSnapshot + 1) flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches | DizFlushMemoryState);
  processChangeset(changeset);
  diz_detail::noteCommittedChangeset(*this, changeset);
}

namespace {

void applyToCache(DizEvozidizConnectionInternal::ObjectCache& cache, const DizChangedValues* changes,
                  const DizCollectionKeySet* removedKeys, const DizStringSet* removedCollections, bool allKeysRemoved,
                  std::int64_t policy) {
  auto apply = [&](const DizCollectionKeyPtr& key, const platform::Value& value) {
    if (DizNull::isNull(value)) {
      cache.removeObjectForKey(key);
    } else if (DizTouch::isTouch(value)) {
      // The cached value is still current.
    } else if (policy == DizEvozidizPolicyShare) {
      cache.setObject(value, key);
    } else if (policy == DizEvozidizPolicyCopy) {
      if (!value.isObject()) {
        cache.setObject(value, key);  // plain values are immutable: the value is its own copy
      } else {
        try {
          cache.setObject(platform::Value(value.asObject()->copy()), key);
        } catch (const platform::Exception&) {
          cache.removeObjectForKey(key);
        }
      }
    } else {
      cache.removeObjectForKey(key);
    }
  };

  const bool hasChanges = changes && !changes->map.empty();
  const bool hasRemovedKeys = removedKeys && !removedKeys->set.empty();
  const bool hasRemovedCollections = removedCollections && !removedCollections->set.empty();
  if (allKeysRemoved && !hasChanges) {
    cache.removeAllObjects();
  } else if (!allKeysRemoved && !hasRemovedKeys && !hasRemovedCollections && hasChanges) {
    for (const auto& [key, value] : changes->map)
      if (cache.containsKey(key)) apply(key, value);
  } else if (hasChanges || hasRemovedKeys || hasRemovedCollections || allKeysRemoved) {
    std::vector<DizCollectionKeyPtr> updates;
    std::vector<DizCollectionKeyPtr> evictions;
    cache.enumerateKeysWithBlock([&](const DizCollectionKeyPtr& key, bool&) {
      if (hasChanges && changes->map.contains(key))
        updates.push_back(key);
      else if (allKeysRemoved || (hasRemovedKeys && removedKeys->set.contains(key)) ||
               (hasRemovedCollections && removedCollections->set.contains(key->collection())))
        evictions.push_back(key);
    });
    cache.removeObjectsForKeys(evictions);
    for (const auto& key : updates) apply(key, changes->map.at(key));
  }
}

}  // namespace

void DizEvozidizConnectionInternal::processChangeset(const platform::Value& changeset) {
  assertOnConnectionQueue();
  if (auto registries = diz_detail::registriesFromChangeset(changeset, extensionState->registries))
    diz_detail::adoptRegistries(*this, std::move(registries));
  if (changeset["modifiedExternally"].asBool()) flushMemoryWithFlagsOnQueue(DizFlushMemoryCaches | DizFlushMemoryState);

  const auto objects = changeset["objectChanges"].as<DizChangedValues>();
  const auto metadata = changeset["metadataChanges"].as<DizChangedValues>();
  const auto keys = changeset["removedKeys"].as<DizCollectionKeySet>();
  const auto collections = changeset["removedCollections"].as<DizStringSet>();
  const auto rowids = changeset["removedRowids"].as<DizRowidHashSet>();
  const bool allRemoved = changeset["allKeysRemoved"].asBool();

  if (allRemoved) {
    keyCache.removeAllObjects();
  } else {
    if (rowids)
      for (std::int64_t rowid : rowids->set) keyCache.removeObjectForKey(rowid);
    if (collections && !collections->set.empty()) {
      std::vector<std::int64_t> drop;
      keyCache.enumerateKeysAndObjectsWithBlock([&](std::int64_t rowid, const DizCollectionKeyPtr& key, bool&) {
        if (collections->set.contains(key->collection())) drop.push_back(rowid);
      });
      keyCache.removeObjectsForKeys(drop);
    }
  }
  if (objectCache) applyToCache(*objectCache, objects.get(), keys.get(), collections.get(), allRemoved, objectPolicy_);
  if (metadataCache)
    applyToCache(*metadataCache, metadata.get(), keys.get(), collections.get(), allRemoved, metadataPolicy_);
}

// ---------------------------------------------------------------------------------------------
// Queries on notifications

namespace {

struct ChangesetView {
  std::shared_ptr<DizSet> objects;
  std::shared_ptr<DizSet> metadata;
  std::shared_ptr<DizSet> removedKeys;
  std::shared_ptr<DizSet> removedCollections;
  bool allKeysRemoved = false;
  bool modifiedExternally = false;
};

std::optional<ChangesetView> viewOf(const platform::NotificationPtr& notification, const char* query) {
  if (!notification) {
    DIZ_CONN_LOG_WARN("%@: %@ - notifications parameter contains non-NSNotification object", query);
    return std::nullopt;
  }
  const platform::Value& info = notification->userInfo();
  ChangesetView view;
  view.objects = info["objectChanges"].as<DizSet>();
  view.metadata = info["metadataChanges"].as<DizSet>();
  view.removedKeys = info["removedKeys"].as<DizSet>();
  view.removedCollections = info["removedCollections"].as<DizSet>();
  view.allKeysRemoved = info["allKeysRemoved"].asBool();
  view.modifiedExternally = info["modifiedExternally"].asBool();
  return view;
}

bool contains(const std::shared_ptr<DizSet>& set, const DizCollectionKeyPtr& key) {
  return set && set->containsObject(platform::Value(key));
}

bool anyKeyMatches(const std::shared_ptr<DizSet>& set, const std::function<bool(const DizCollectionKeyPtr&)>& matches) {
  if (!set) return false;
  bool found = false;
  set->enumerateObjectsUsingBlock([&](const platform::Value& member, bool& stop) {
    auto key = member.as<DizCollectionKey>();
    if (key && matches(key)) found = stop = true;
  });
  return found;
}

bool removedCollection(const ChangesetView& view, const std::string& collection) {
  return view.removedCollections && view.removedCollections->containsObject(platform::Value(collection));
}

}  // namespace

bool DizEvozidizConnection::hasChangeForCollection(const std::string& collection,
                                                   const std::vector<platform::NotificationPtr>& notifications,
                                                   bool includingObjectChanges, bool includingMetadataChanges) {
  auto inCollection = [&](const DizCollectionKeyPtr& key) { return key->collection() == collection; };
  for (const auto& notification : notifications) {
    auto view = viewOf(notification, "hasChangeForCollection:inNotifications:includingObjectChanges:metadataChanges:");
    if (!view) continue;
    if (includingObjectChanges && anyKeyMatches(view->objects, inCollection)) return true;
    if (includingMetadataChanges && anyKeyMatches(view->metadata, inCollection)) return true;
    if (anyKeyMatches(view->removedKeys, inCollection)) return true;
    if (removedCollection(*view, collection) || view->modifiedExternally || view->allKeysRemoved) return true;
  }
  return false;
}

bool DizEvozidizConnection::hasObjectChangeForCollection(const std::string& collection,
                                                         const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForCollection(collection, notifications, true, false);
}

bool DizEvozidizConnection::hasMetadataChangeForCollection(
    const std::string& collection, const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForCollection(collection, notifications, false, true);
}

bool DizEvozidizConnection::hasChangeForKey(const std::string& key, const std::string& collection,
                                            const std::vector<platform::NotificationPtr>& notifications,
                                            bool includingObjectChanges, bool includingMetadataChanges) {
  const DizCollectionKeyPtr collectionKey = DizCollectionKey::make(collection, key);
  for (const auto& notification : notifications) {
    auto view =
        viewOf(notification, "hasChangeForKey:inCollection:inNotifications:includingObjectChanges:metadataChanges:");
    if (!view) continue;
    if (includingObjectChanges && contains(view->objects, collectionKey)) return true;
    if (includingMetadataChanges && contains(view->metadata, collectionKey)) return true;
    if (contains(view->removedKeys, collectionKey)) return true;
    if (removedCollection(*view, collection) || view->modifiedExternally || view->allKeysRemoved) return true;
  }
  return false;
}

bool DizEvozidizConnection::hasObjectChangeForKey(const std::string& key, const std::string& collection,
                                                  const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForKey(key, collection, notifications, true, false);
}

bool DizEvozidizConnection::hasMetadataChangeForKey(const std::string& key, const std::string& collection,
                                                    const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForKey(key, collection, notifications, false, true);
}

bool DizEvozidizConnection::hasChangeForAnyKeys(const std::unordered_set<std::string>& keys,
                                                const std::string& collection,
                                                const std::vector<platform::NotificationPtr>& notifications,
                                                bool includingObjectChanges, bool includingMetadataChanges) {
  if (keys.empty()) return false;
  auto matches = [&](const DizCollectionKeyPtr& key) {
    return key->collection() == collection && keys.contains(key->key());
  };
  for (const auto& notification : notifications) {
    auto view = viewOf(notification,
                       "hasChangeForAnyKeys:inCollection:inNotifications:includingObjectChanges:metadataChanges:");
    if (!view) continue;
    if (includingObjectChanges && anyKeyMatches(view->objects, matches)) return true;
    if (includingMetadataChanges && anyKeyMatches(view->metadata, matches)) return true;
    if (anyKeyMatches(view->removedKeys, matches)) return true;
    if (removedCollection(*view, collection) || view->modifiedExternally || view->allKeysRemoved) return true;
  }
  return false;
}

bool DizEvozidizConnection::hasObjectChangeForAnyKeys(const std::unordered_set<std::string>& keys,
                                                      const std::string& collection,
                                                      const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForAnyKeys(keys, collection, notifications, true, false);
}

bool DizEvozidizConnection::hasMetadataChangeForAnyKeys(const std::unordered_set<std::string>& keys,
                                                        const std::string& collection,
                                                        const std::vector<platform::NotificationPtr>& notifications) {
  return hasChangeForAnyKeys(keys, collection, notifications, false, true);
}

bool DizEvozidizConnection::didClearCollection(const std::string& collection,
                                               const std::vector<platform::NotificationPtr>& notifications) {
  for (const auto& notification : notifications) {
    auto view = viewOf(notification, "didClearCollection:inNotifications:");
    if (!view) continue;
    if (removedCollection(*view, collection) || view->modifiedExternally || view->allKeysRemoved) return true;
  }
  return false;
}

bool DizEvozidizConnection::didClearAllCollectionsInNotifications(
    const std::vector<platform::NotificationPtr>& notifications) {
  for (const auto& notification : notifications) {
    auto view = viewOf(notification, "didClearAllCollectionsInNotifications:");
    if (!view) continue;
    if (view->modifiedExternally || view->allKeysRemoved) return true;
  }
  return false;
}

void DizEvozidizConnection::enumerateChangedCollectionKeysInNotifications(
    const std::vector<platform::NotificationPtr>& notifications,
    const std::function<void(const DizCollectionKeyPtr&, bool&)>& block) {
  if (!block) return;
  DizCollectionKeyHashSet reported;
  bool stopped = false;
  for (const auto& notification : notifications) {
    auto view = viewOf(notification, "enumerateChangedCollectionKeysInNotifications:usingBlock:");
    if (!view) continue;
    for (const auto* set : {&view->objects, &view->metadata, &view->removedKeys}) {
      if (!*set) continue;
      (*set)->enumerateObjectsUsingBlock([&](const platform::Value& member, bool& stop) {
        auto key = member.as<DizCollectionKey>();
        if (!key || reported.contains(key)) return;
        block(key, stopped);
        if (stopped)
          stop = true;
        else
          reported.insert(key);
      });
      if (stopped) return;
    }
  }
}

void DizEvozidizConnection::enumerateChangedKeysInCollection(
    const std::string& collection, const std::vector<platform::NotificationPtr>& notifications,
    const std::function<void(const std::string&, bool&)>& block) {
  if (!block) return;
  enumerateChangedCollectionKeysInNotifications(notifications, [&](const DizCollectionKeyPtr& key, bool& stop) {
    if (key->collection() == collection) block(key->key(), stop);
  });
}
