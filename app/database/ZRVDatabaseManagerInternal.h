#pragma once

#ifndef ZORVEL_INTERNAL_app_database
#error "app/database/ZRVDatabaseManagerInternal.h is internal to the database manager"
#endif

// What the database manager's source files share: its log lines and the reading of a view's
// groups. Any thread (the view readers inside the transaction they are given).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "DizEvozidiz/Extensions/Views/DizEvozidizViewTransaction.h"
#include "app/ZRVLogManager.h"

namespace zrv_detail {

inline constexpr std::string_view kManagerClassName = "ZRVDatabaseManager";

// A line in the "Database" category, formatted only when the journal takes it.
template <class... Args>
void databaseLog(ZRVLogType type, std::string_view format, const Args&... args) {
  ZRVLogHandlePtr log = ZRVLogManager::sharedInstance()->database_log();
  if (log && log->isEnabled(type)) log->log(type, format, args...);
}

// The trace every operation of the manager starts with: "ZRVDatabaseManager - <operation>".
inline void traceOperation(std::string_view operation) {
  databaseLog(ZRVLogType::Info, "%{public}@ - %{public}@", kManagerClassName, operation);
}

// The view transaction of a registered view; null when the view is missing.
inline std::shared_ptr<DizEvozidizViewTransaction> viewTransaction(DizEvozidizReadTransaction& transaction,
                                                                   std::string_view view) {
  return std::dynamic_pointer_cast<DizEvozidizViewTransaction>(transaction.ext(view));
}

// Calls `block` with the key and object of every row of class T in one group of a view, in view
// order. The block must not write to the view.
template <class T, class Block>
void enumerateGroup(DizEvozidizReadTransaction& transaction, std::string_view view, std::string_view group,
                    const Block& block) {
  auto viewTransaction = zrv_detail::viewTransaction(transaction, view);
  if (!viewTransaction) return;
  viewTransaction->enumerateKeysAndObjectsInGroup(
      std::string(group), 0, std::nullopt, {},
      [&](const std::string&, const std::string& key, const platform::Value& object, std::uint64_t, bool&) {
        if (auto typed = object.as<T>()) block(key, std::move(typed));
      });
}

// The same over every group of the view, group by group.
template <class T, class Block>
void enumerateAllGroups(DizEvozidizReadTransaction& transaction, std::string_view view, const Block& block) {
  auto viewTransaction = zrv_detail::viewTransaction(transaction, view);
  if (!viewTransaction) return;
  for (const std::string& group : viewTransaction->allGroups()) enumerateGroup<T>(transaction, view, group, block);
}

// Every object of class T in one group of a view, in view order.
template <class T>
std::vector<std::shared_ptr<T>> objectsInGroup(DizEvozidizReadTransaction& transaction, std::string_view view,
                                               std::string_view group) {
  std::vector<std::shared_ptr<T>> objects;
  enumerateGroup<T>(transaction, view, group,
                    [&](const std::string&, std::shared_ptr<T> object) { objects.push_back(std::move(object)); });
  return objects;
}

// Every object of class T in every group of a view, group by group.
template <class T>
std::vector<std::shared_ptr<T>> objectsInAllGroups(DizEvozidizReadTransaction& transaction, std::string_view view) {
  std::vector<std::shared_ptr<T>> objects;
  enumerateAllGroups<T>(transaction, view,
                        [&](const std::string&, std::shared_ptr<T> object) { objects.push_back(std::move(object)); });
  return objects;
}

}  // namespace zrv_detail
