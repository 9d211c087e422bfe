// The views and the index the application keeps its lists in. None restricts the collections it
// sees: every stored row passes through the grouping closures, and the object's class decides.

#include <optional>
#include <string>

#include "DizEvozidiz/Extensions/FilteredViews/DizEvozidizFilteredView.h"
#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndex.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizView.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/database/ZRVDatabaseManagerInternal.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVOption.h"
#include "app/model/ZRVSkin.h"

using platform::Value;

namespace {

using Group = std::optional<std::string>;

template <class T>
int compareAscending(const T& first, const T& second) {
  if (first < second) return -1;
  return second < first ? 1 : 0;
}

// Rows of other classes never meet in one group; should they, they compare as the same.
template <class T, class Key>
int compareObjects(const Value& first, const Value& second, Key key) {
  auto a = first.as<T>();
  auto b = second.as<T>();
  if (!a || !b) return 0;
  return compareAscending(key(*a), key(*b));
}

DizEvozidizViewGrouping::Ptr groupingByClass(std::function<Group(const Value& object)> group) {
  return DizEvozidizViewGrouping::withRowBlock(
      [group = std::move(group)](DizEvozidizReadTransaction&, const std::string&, const std::string&,
                                 const Value& object, const Value&) { return group(object); });
}

using ObjectComparison = std::function<int(const std::string& group, const Value& first, const Value& second)>;

DizEvozidizViewSorting::Ptr sortingByObject(ObjectComparison compare) {
  return DizEvozidizViewSorting::withObjectBlock(
      [compare = std::move(compare)](DizEvozidizReadTransaction&, const std::string& group, const std::string&,
                                     const std::string&, const Value& first, const std::string&, const std::string&,
                                     const Value& second) { return compare(group, first, second); });
}

}  // namespace

std::shared_ptr<DizEvozidizView> ZRVDatabaseManager::eventsView() {
  auto grouping = groupingByClass([](const Value& object) -> Group {
    auto event = object.as<ZRVEvent>();
    if (!event) return std::nullopt;
    switch (event->state()) {
      case ZRVEventStateArchived:
        return std::string(ZRVEventsArchivedGroup);
      case ZRVEventStateComplete:
        return std::string(ZRVEventsCompleteGroup);
      default:
        return std::string(ZRVEventsActiveGroup);  // adding, editing, active, and anything unknown
    }
  });
  auto sorting = sortingByObject([](const std::string& group, const Value& first, const Value& second) {
    auto date = [](const ZRVEvent& event) { return event.date(); };
    if (group == ZRVEventsActiveGroup) {
      // An event being added goes to the top; the rest by date, the nearest first.
      auto event = first.as<ZRVEvent>();
      if (event && event->state() == ZRVEventStateAdding) return -1;
      return compareObjects<ZRVEvent>(first, second, date);
    }
    return compareObjects<ZRVEvent>(second, first, date);  // latest first
  });
  return DizEvozidizView::make(grouping, sorting, "3");
}

std::shared_ptr<DizEvozidizView> ZRVDatabaseManager::collectionsView() {
  auto grouping = groupingByClass([](const Value& object) -> Group {
    if (!object.as<ZRVCollection>()) return std::nullopt;
    return std::string(ZRVCollectionsAvailableGroup);
  });
  // A plain comparison of the names: byte by byte, so case-sensitive and the same in every locale.
  auto sorting = sortingByObject([](const std::string&, const Value& first, const Value& second) {
    return compareObjects<ZRVCollection>(first, second, [](const ZRVCollection& c) { return c.name(); });
  });
  return DizEvozidizView::make(grouping, sorting, "1");
}

std::shared_ptr<DizEvozidizFilteredView> ZRVDatabaseManager::collectionsAvailableView() {
  auto filtering = DizEvozidizViewFiltering::withObjectBlock(
      [](DizEvozidizReadTransaction&, const std::string& group, const std::string&, const std::string&, const Value&) {
        return group == ZRVCollectionsAvailableGroup;
      });
  return DizEvozidizFilteredView::make(std::string(ZRVCollectionsViewName), filtering, "1");
}

std::shared_ptr<DizEvozidizView> ZRVDatabaseManager::skinsView() {
  auto grouping = groupingByClass([](const Value& object) -> Group {
    auto skin = object.as<ZRVSkin>();
    if (!skin || !skin->collectionId() || skin->collectionId()->empty()) return std::nullopt;
    return *skin->collectionId();
  });
  auto sorting = sortingByObject([](const std::string&, const Value& first, const Value& second) {
    return compareObjects<ZRVSkin>(first, second, [](const ZRVSkin& s) { return s.createdAt(); });  // oldest first
  });
  return DizEvozidizView::make(grouping, sorting, "2");
}

std::shared_ptr<DizEvozidizView> ZRVDatabaseManager::optionsView() {
  auto grouping = groupingByClass([](const Value& object) -> Group {
    if (object.as<ZRVOptionTrigger>()) return std::string(ZRVOptionsTriggersGroup);
    if (object.as<ZRVOptionReview>()) return std::string(ZRVOptionsReviewsGroup);
    return std::nullopt;
  });
  auto sorting = sortingByObject([](const std::string&, const Value& first, const Value& second) {
    return compareObjects<ZRVOption>(second, first, [](const ZRVOption& o) { return o.createdAt(); });  // newest first
  });
  return DizEvozidizView::make(grouping, sorting, "2");
}

std::shared_ptr<DizEvozidizSecondaryIndex> ZRVDatabaseManager::eventsIndex() {
  DizEvozidizSecondaryIndexSetup setup;
  setup.addColumn(std::string(ZRVEventsIndexStateColumn), DizSecondaryIndexTypeInteger);
  auto handler = DizEvozidizSecondaryIndexHandler::withObjectBlock(
      [](DizEvozidizReadTransaction&, DizSecondaryIndexValues& values, const std::string&, const std::string&,
         const Value& object) {
        // Other objects get no index row.
        if (auto event = object.as<ZRVEvent>()) values[std::string(ZRVEventsIndexStateColumn)] = Value(event->state());
      });
  return DizEvozidizSecondaryIndex::make(setup, handler);
}

DizEvozidizViewMappings ZRVDatabaseManager::eventsMappings() {
  DizEvozidizViewMappings mappings = DizEvozidizViewMappings::mappingsWithGroups(
      {std::string(ZRVEventsCompleteGroup), std::string(ZRVEventsActiveGroup), std::string(ZRVEventsArchivedGroup)},
      std::string(ZRVEventsViewName));
  mappings.setIsDynamicSection(false, std::string(ZRVEventsCompleteGroup));
  mappings.setIsDynamicSection(false, std::string(ZRVEventsActiveGroup));
  mappings.setIsDynamicSection(true, std::string(ZRVEventsArchivedGroup));
  return mappings;
}

void ZRVDatabaseManager::registerViews() {
  zrv_detail::traceOperation("registerViews");
  // Through the background connection, which carries every write: the store's own registration
  // connection would keep the database open for a while after the manager is gone.
  const DizEvozidizConnection::Ptr& connection = backgroundDatabaseConnection_;
  // A registration that fails is logged by the store; the application goes on without that list,
  // so the results are not needed.
  (void)database_->registerExtension(eventsView(), ZRVEventsViewName, connection);
  (void)database_->registerExtension(collectionsView(), ZRVCollectionsViewName, connection);
  (void)database_->registerExtension(collectionsAvailableView(), ZRVCollectionsAvailableViewName, connection);
  (void)database_->registerExtension(skinsView(), ZRVSkinsViewName, connection);
  (void)database_->registerExtension(optionsView(), ZRVOptionsViewName, connection);
  (void)database_->registerExtension(eventsIndex(), ZRVEventsIndexName, connection);
}
