#pragma once

// The preferences screen: the list of notification triggers. Built-in triggers can be switched on
// and off; triggers the user added can also have their value and unit changed and be removed. The
// screen works on copies of the stored triggers; Apply writes the differences in one read-write
// transaction (changed and added triggers stored, removed ones deleted), Cancel drops the copies.
//
// A value must be a whole number from 1 to the most the unit allows (100 years, or as long in the
// other units) so that a notification's date can still be computed; anything else is refused with
// a message and the field shows the previous value again.
//
// Failure: applyButtonDidPressed() answers false when the transaction did not commit; the delegate
// is then not told and the working list stays for another try.
// Threads: main thread only; the transaction runs synchronously on the background connection.

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVOption.h"
#include "platform/runtime/object.h"

class ZRVPreferencesViewController : public platform::Object {
  ZORVEL_CLASS(ZRVPreferencesViewController, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVPreferencesViewController>;
  enum class Outcome { Accepted, Cancelled };
  using Delegate = std::function<void(ZRVPreferencesViewController&, Outcome)>;

  // The largest value a trigger may have in a unit (4 years, 8 months, 16 days, 32 hours, 64 minutes,
  // 128 seconds); 0 for an unknown unit.
  static std::uint64_t maximumValueForUnit(std::uint64_t unit);

  // Loads the screen and fetches the triggers; null when the layout file does not build.
  static Ptr create(ZRVDatabaseManager::Ptr databaseManager, Delegate delegate = nullptr);
  ~ZRVPreferencesViewController() override;

  GtkWidget* view() const { return view_; }
  GtkWidget* outlet(const char* name) const { return GTK_WIDGET(gtk_builder_get_object(builder_, name)); }
  const std::vector<std::shared_ptr<ZRVOptionTrigger>>& triggers() const { return triggers_; }
  // A cell's control in a row ("checkButton", "unitPopUpButton", "unitSystemTextField",
  // "valueTextField", "whenTextField"); null when the row has no such cell.
  GtkWidget* cellControl(std::size_t row, const char* name) const;
  // The message shown for the last refused value; empty when the last value was taken.
  const std::string& valueMessage() const { return valueMessage_; }

  void selectRow(std::optional<std::size_t> row);
  void addTriggerButtonDidPressed();
  void removeTriggerButtonDidPressed();
  [[nodiscard]] bool applyButtonDidPressed();
  void cancelButtonDidPressed();
  // The value cell of `row` finished editing with its current text.
  void valueUpdated(std::size_t row);

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVPreferencesViewController(Key, ZRVDatabaseManager::Ptr databaseManager, Delegate delegate);

 private:
  struct Row;
  bool load();
  void fetchTriggers();
  void reloadRows();
  GtkWidget* makeRow(const std::shared_ptr<ZRVOptionTrigger>& trigger);
  void tableViewSelectionDidChange();
  std::optional<std::size_t> rowOfWidget(GtkWidget* widget) const;

  ZRVDatabaseManager::Ptr databaseManager_;
  Delegate delegate_;
  GtkBuilder* builder_ = nullptr;
  GtkWidget* view_ = nullptr;
  std::vector<std::shared_ptr<ZRVOptionTrigger>> triggers_;
  std::string valueMessage_;
};
