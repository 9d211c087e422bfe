// Creating, storing, deleting and changing events, and counting them by state through the index.

#include <string>
#include <vector>

#include "DizEvozidiz/Extensions/SecondaryIndex/DizEvozidizSecondaryIndexTransaction.h"
#include "DizEvozidiz/Utilities/DizEvozidizQuery.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/database/ZRVDatabaseManagerInternal.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVEventsSummary.h"
#include "app/model/ZRVSkin.h"
#include "platform/services/operation_queue.h"

using platform::Value;
using zrv_detail::traceOperation;

namespace {

constexpr const char* kCountFunction = "COUNT(state)";

// The aggregate of the events index; 0 when the index is missing or the query failed (logged by
// the index).
std::int64_t countEvents(DizEvozidizReadTransaction& transaction, const DizEvozidizQueryPtr& query) {
  auto index = std::dynamic_pointer_cast<DizEvozidizSecondaryIndexTransaction>(transaction.ext(ZRVEventsIndexName));
  if (!index || !query) return 0;
  const Value count = index->performAggregateQuery(query);
  return count.isNumber() ? count.asInt64() : 0;
}

std::int64_t countEventsInState(DizEvozidizReadTransaction& transaction, std::uint64_t state) {
  return countEvents(transaction,
                     DizEvozidizQuery::queryWithAggregateFunction(kCountFunction, "WHERE state = ?", state));
}

std::int64_t countEventsInStates(DizEvozidizReadTransaction& transaction, std::initializer_list<std::uint64_t> states) {
  platform::ValueArray numbers;
  for (std::uint64_t state : states) numbers.push_back(Value(state));
  return countEvents(transaction, DizEvozidizQuery::queryWithAggregateFunction(kCountFunction, "WHERE state IN (?)",
                                                                               Value(std::move(numbers))));
}

}  // namespace

bool ZRVDatabaseManager::addEvent() {
  traceOperation("addEvent");
  // Read before the transaction, from the main connection's snapshot.
  std::shared_ptr<ZRVSkin> skin = randomSkin();
  return write("addEvent", [&](DizEvozidizReadWriteTransaction& transaction) {
    dropAllEditingAddingEventsWithTransaction(transaction);
    auto event = platform::make<ZRVEvent>();
    // Without any skin the event wears none; the interface shows it without a picture.
    if (skin) event->setSkinId(skin->uuid());
    transaction.setObject(Value(event), *event->uuid(), ZRVEventsCollection);
  });
}

bool ZRVDatabaseManager::saveEvent(const std::shared_ptr<ZRVEvent>& event) {
  traceOperation("saveEvent:");
  if (!event || !event->uuid()) return false;
  return write("saveEvent:", [&](DizEvozidizReadWriteTransaction& transaction) {
    transaction.setObject(Value(event), *event->uuid(), ZRVEventsCollection);
  });
}

bool ZRVDatabaseManager::deleteEvent(const ZRVEvent& event) {
  traceOperation("deleteEvent:");
  if (!event.uuid()) return false;
  const std::string key = *event.uuid();
  return write("deleteEvent:", [&](DizEvozidizReadWriteTransaction& transaction) {
    transaction.removeObjectForKey(key, ZRVEventsCollection);
  });
}

bool ZRVDatabaseManager::setState(std::uint64_t state, const ZRVEvent& event) {
  traceOperation("setState:forEvent:");
  if (!event.uuid()) return false;
  const std::string key = *event.uuid();
  return write("setState:forEvent:", [&](DizEvozidizReadWriteTransaction& transaction) {
    auto stored = transaction.objectForKey(key, ZRVEventsCollection).as<ZRVEvent>();
    if (!stored) return;
    auto copy = std::static_pointer_cast<ZRVEvent>(stored->copy());
    copy->setState(state);
    transaction.setObject(Value(copy), key, ZRVEventsCollection);
  });
}

bool ZRVDatabaseManager::isAnyAddingEvent() const {
  std::int64_t count = 0;
  mainDatabaseConnection_->readWithBlock(
      [&](DizEvozidizReadTransaction& transaction) { count = countEventsInState(transaction, ZRVEventStateAdding); });
  return count > 0;
}

bool ZRVDatabaseManager::isAnyEditingAddingEvent() const {
  std::int64_t count = 0;
  mainDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    count = countEventsInStates(transaction, {ZRVEventStateAdding, ZRVEventStateEditing});
  });
  return count > 0;
}

bool ZRVDatabaseManager::dropAllEditingAddingEvents() {
  traceOperation("dropAllEditingAddingEvents");
  return write("dropAllEditingAddingEvents", [&](DizEvozidizReadWriteTransaction& transaction) {
    dropAllEditingAddingEventsWithTransaction(transaction);
  });
}

void ZRVDatabaseManager::dropAllEditingAddingEventsWithTransaction(DizEvozidizReadWriteTransaction& transaction) {
  // Gathered first, written afterwards: writing to a group while walking it would end the walk.
  std::vector<std::pair<std::string, std::shared_ptr<ZRVEvent>>> editing;
  std::vector<std::string> adding;
  zrv_detail::enumerateAllGroups<ZRVEvent>(transaction, ZRVEventsViewName,
                                           [&](const std::string& key, std::shared_ptr<ZRVEvent> event) {
                                             if (event->state() == ZRVEventStateEditing)
                                               editing.emplace_back(key, std::move(event));
                                             else if (event->state() == ZRVEventStateAdding)
                                               adding.push_back(key);
                                           });
  for (const auto& [key, event] : editing) {
    auto copy = std::static_pointer_cast<ZRVEvent>(event->copy());
    copy->setState(ZRVEventStateActive);
    transaction.setObject(Value(copy), key, ZRVEventsCollection);
  }
  for (const std::string& key : adding) transaction.removeObjectForKey(key, ZRVEventsCollection);
}

void ZRVDatabaseManager::eventsSummaryWithBlock(std::function<void(const std::shared_ptr<ZRVEventsSummary>&)> block) {
  auto summary = platform::make<ZRVEventsSummary>();
  backgroundDatabaseConnection_->readWithBlock([&](DizEvozidizReadTransaction& transaction) {
    summary->setCompleteEventsCount(countEventsInState(transaction, ZRVEventStateComplete));
    summary->setActiveEventsCount(countEventsInStates(transaction, {ZRVEventStateActive, ZRVEventStateEditing}));
    summary->setArchiveEventsCount(countEventsInState(transaction, ZRVEventStateArchived));
  });
  if (!block) return;
  platform::OperationQueue::mainQueue()->addOperationWithBlock(
      [block = std::move(block), summary = std::move(summary)] { block(summary); });
}
