#include "app/ui/ZRVPreferencesViewController.h"

#include <algorithm>
#include <charconv>

#include "DizEvozidiz/DizEvozidizTransaction.h"
#include "app/ui/ZRVLayout.h"

namespace {

std::shared_ptr<ZRVOptionTrigger> copyOf(const ZRVOptionTrigger& trigger) {
  return std::static_pointer_cast<ZRVOptionTrigger>(trigger.copy());
}

// The cell `id` of the preferences' layout file, built anew.
GtkWidget* makeCell(const char* id) {
  GtkBuilder* builder = gtk_builder_new();
  const char* ids[] = {id, nullptr};
  GError* error = nullptr;
  const std::string path = ZRVLayoutPath("ZRVPreferencesViewController");
  GtkWidget* cell = nullptr;
  ZRVRegisterControlTypes();
  if (gtk_builder_add_objects_from_resource(builder, path.c_str(), ids, &error))
    cell = GTK_WIDGET(g_object_ref(gtk_builder_get_object(builder, id)));
  else
    g_warning("The preferences' cell %s does not build: %s", id, error ? error->message : "");
  g_clear_error(&error);
  g_object_unref(builder);
  return cell;
}

// A control inside a cell, found by its widget name (the cell's outlet id).
GtkWidget* findNamed(GtkWidget* root, const char* name) {
  if (!root) return nullptr;
  if (g_strcmp0(gtk_buildable_get_buildable_id(GTK_BUILDABLE(root)), name) == 0) return root;
  for (GtkWidget* child = gtk_widget_get_first_child(root); child; child = gtk_widget_get_next_sibling(child))
    if (GtkWidget* found = findNamed(child, name)) return found;
  return nullptr;
}

}  // namespace

std::uint64_t ZRVPreferencesViewController::maximumValueForUnit(std::uint64_t unit) {
  // A hundred years in each unit: far enough ahead for any reminder, near enough that the
  // calendar arithmetic of the delivery date stays within its range.
  switch (unit) {
    case 4:
      return 100;
    case 8:
      return 100 * 12;
    case 16:
      return 36525;
    case 32:
      return 36525ull * 24;
    case 64:
      return 36525ull * 24 * 60;
    case 128:
      return 36525ull * 24 * 60 * 60;
    default:
      return 0;
  }
}

ZRVPreferencesViewController::ZRVPreferencesViewController(Key, ZRVDatabaseManager::Ptr databaseManager,
                                                           Delegate delegate)
    : databaseManager_(std::move(databaseManager)), delegate_(std::move(delegate)) {}

ZRVPreferencesViewController::~ZRVPreferencesViewController() {
  if (view_) g_object_unref(view_);
  if (builder_) g_object_unref(builder_);
}

ZRVPreferencesViewController::Ptr ZRVPreferencesViewController::create(ZRVDatabaseManager::Ptr databaseManager,
                                                                       Delegate delegate) {
  auto controller =
      platform::make<ZRVPreferencesViewController>(Key{}, std::move(databaseManager), std::move(delegate));
  if (!controller->load()) return nullptr;
  return controller;
}

bool ZRVPreferencesViewController::load() {
  builder_ = ZRVLoadLayout("ZRVPreferencesViewController");
  if (!builder_) return false;
  view_ = GTK_WIDGET(g_object_ref(gtk_builder_get_object(builder_, "view")));
  std::weak_ptr<ZRVPreferencesViewController> weak =
      std::static_pointer_cast<ZRVPreferencesViewController>(shared_from_this());
  using Holder = std::pair<std::weak_ptr<ZRVPreferencesViewController>, void (*)(ZRVPreferencesViewController&)>;
  auto connect = [&](GtkWidget* widget, const char* signal, void (*action)(ZRVPreferencesViewController&)) {
    g_signal_connect_data(
        widget, signal, G_CALLBACK(+[](GtkWidget*, gpointer data) {
          auto* holder = static_cast<Holder*>(data);
          if (auto self = holder->first.lock()) holder->second(*self);
        }),
        new Holder(weak, action), [](gpointer data, GClosure*) { delete static_cast<Holder*>(data); },
        GConnectFlags(0));
  };
  connect(outlet("addTriggerButton"), "clicked", [](auto& self) { self.addTriggerButtonDidPressed(); });
  connect(outlet("removeTriggerButton"), "clicked", [](auto& self) { self.removeTriggerButtonDidPressed(); });
  connect(outlet("applyButton"), "clicked", [](auto& self) {
    if (!self.applyButtonDidPressed()) g_warning("The notification settings could not be stored");
  });
  connect(outlet("cancelButton"), "clicked", [](auto& self) { self.cancelButtonDidPressed(); });
  connect(outlet("tableView"), "selected-rows-changed", [](auto& self) { self.tableViewSelectionDidChange(); });
  fetchTriggers();
  gtk_widget_set_sensitive(outlet("removeTriggerButton"), false);
  return true;
}

void ZRVPreferencesViewController::fetchTriggers() {
  triggers_.clear();
  for (const auto& trigger : databaseManager_->allTriggers()) triggers_.push_back(copyOf(*trigger));
  reloadRows();
}

void ZRVPreferencesViewController::reloadRows() {
  GtkListBox* table = GTK_LIST_BOX(outlet("tableView"));
  while (GtkListBoxRow* row = gtk_list_box_get_row_at_index(table, 0)) gtk_list_box_remove(table, GTK_WIDGET(row));
  for (const auto& trigger : triggers_) gtk_list_box_append(table, makeRow(trigger));
}

GtkWidget* ZRVPreferencesViewController::makeRow(const std::shared_ptr<ZRVOptionTrigger>& trigger) {
  GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  const bool user = trigger->type() == ZRVOptionTriggerTypeUser;
  for (const char* id : {"Enabled Cell", "Value Cell", user ? "Unit Cell User" : "Unit Cell System", "When Cell"}) {
    if (GtkWidget* cell = makeCell(id)) {
      gtk_box_append(GTK_BOX(row), cell);
      g_object_unref(cell);
    }
  }
  std::weak_ptr<ZRVPreferencesViewController> weak =
      std::static_pointer_cast<ZRVPreferencesViewController>(shared_from_this());
  std::weak_ptr<ZRVOptionTrigger> weakTrigger = trigger;
  // Enabled.
  GtkWidget* check = findNamed(row, "checkButton");
  gtk_check_button_set_active(GTK_CHECK_BUTTON(check), trigger->active());
  g_signal_connect_data(
      check, "toggled", G_CALLBACK(+[](GtkCheckButton* button, gpointer data) {
        if (auto t = static_cast<std::weak_ptr<ZRVOptionTrigger>*>(data)->lock())
          t->setActive(gtk_check_button_get_active(button));
      }),
      new std::weak_ptr<ZRVOptionTrigger>(weakTrigger),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVOptionTrigger>*>(data); }, GConnectFlags(0));
  // Unit.
  const auto units = ZRVOptionTrigger::availableUnits();
  if (GtkWidget* popUp = findNamed(row, "unitPopUpButton")) {
    GtkStringList* names = gtk_string_list_new(nullptr);
    guint selected = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
      gtk_string_list_append(names, ZRVOptionTrigger::nameForUnit(units[i]).value_or("").c_str());
      if (units[i] == trigger->unit()) selected = guint(i);
    }
    gtk_drop_down_set_model(GTK_DROP_DOWN(popUp), G_LIST_MODEL(names));
    g_object_unref(names);
    gtk_drop_down_set_selected(GTK_DROP_DOWN(popUp), selected);
    g_signal_connect_data(
        popUp, "notify::selected", G_CALLBACK(+[](GtkDropDown* dropDown, GParamSpec*, gpointer data) {
          auto t = static_cast<std::weak_ptr<ZRVOptionTrigger>*>(data)->lock();
          const auto all = ZRVOptionTrigger::availableUnits();
          const guint index = gtk_drop_down_get_selected(dropDown);
          if (!t || index >= all.size()) return;
          // A value the new unit cannot express is brought down to its largest.
          t->setUnit(all[index]);
          t->setValue(std::min(t->value(), maximumValueForUnit(all[index])));
        }),
        new std::weak_ptr<ZRVOptionTrigger>(weakTrigger),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVOptionTrigger>*>(data); }, GConnectFlags(0));
  }
  if (GtkWidget* unitText = findNamed(row, "unitSystemTextField"))
    gtk_label_set_text(GTK_LABEL(unitText), ZRVOptionTrigger::nameForUnit(trigger->unit()).value_or("").c_str());
  // Value.
  GtkWidget* value = findNamed(row, "valueTextField");
  gtk_editable_set_text(GTK_EDITABLE(value), std::to_string(trigger->value()).c_str());
  gtk_editable_set_editable(GTK_EDITABLE(value), user);
  gtk_widget_set_can_focus(value, user);
  using Holder = std::weak_ptr<ZRVPreferencesViewController>;
  g_signal_connect_data(
      value, "activate", G_CALLBACK(+[](GtkWidget* entry, gpointer data) {
        auto self = static_cast<Holder*>(data)->lock();
        if (!self) return;
        if (auto row = self->rowOfWidget(entry)) self->valueUpdated(*row);
      }),
      new Holder(weak), [](gpointer data, GClosure*) { delete static_cast<Holder*>(data); }, GConnectFlags(0));
  // When.
  gtk_label_set_text(GTK_LABEL(findNamed(row, "whenTextField")), "before");
  return row;
}

std::optional<std::size_t> ZRVPreferencesViewController::rowOfWidget(GtkWidget* widget) const {
  GtkWidget* row = gtk_widget_get_ancestor(widget, GTK_TYPE_LIST_BOX_ROW);
  if (!row) return std::nullopt;
  return std::size_t(gtk_list_box_row_get_index(GTK_LIST_BOX_ROW(row)));
}

GtkWidget* ZRVPreferencesViewController::cellControl(std::size_t row, const char* name) const {
  GtkListBoxRow* listRow = gtk_list_box_get_row_at_index(GTK_LIST_BOX(outlet("tableView")), int(row));
  return listRow ? findNamed(GTK_WIDGET(listRow), name) : nullptr;
}

void ZRVPreferencesViewController::selectRow(std::optional<std::size_t> row) {
  GtkListBox* table = GTK_LIST_BOX(outlet("tableView"));
  if (!row) {
    gtk_list_box_unselect_all(table);
  } else {
    gtk_list_box_select_row(table, gtk_list_box_get_row_at_index(table, int(*row)));
  }
  tableViewSelectionDidChange();
}

void ZRVPreferencesViewController::tableViewSelectionDidChange() {
  GtkListBoxRow* selected = gtk_list_box_get_selected_row(GTK_LIST_BOX(outlet("tableView")));
  bool removable = false;
  if (selected) {
    const auto index = std::size_t(gtk_list_box_row_get_index(selected));
    removable = index < triggers_.size() && triggers_[index]->type() == ZRVOptionTriggerTypeUser;
  }
  gtk_widget_set_sensitive(outlet("removeTriggerButton"), removable);
}

void ZRVPreferencesViewController::addTriggerButtonDidPressed() {
  auto trigger = ZRVOptionTrigger::triggerWithUnit(16, 1, ZRVOptionTriggerTypeUser, true);
  triggers_.insert(triggers_.begin(), trigger);
  gtk_list_box_insert(GTK_LIST_BOX(outlet("tableView")), makeRow(trigger), 0);
}

void ZRVPreferencesViewController::removeTriggerButtonDidPressed() {
  GtkListBox* table = GTK_LIST_BOX(outlet("tableView"));
  GtkListBoxRow* selected = gtk_list_box_get_selected_row(table);
  if (!selected) return;
  const auto index = std::size_t(gtk_list_box_row_get_index(selected));
  if (index >= triggers_.size() || triggers_[index]->type() != ZRVOptionTriggerTypeUser) return;
  triggers_.erase(triggers_.begin() + std::ptrdiff_t(index));
  gtk_list_box_remove(table, GTK_WIDGET(selected));
  tableViewSelectionDidChange();
}

void ZRVPreferencesViewController::valueUpdated(std::size_t row) {
  if (row >= triggers_.size()) return;
  auto& trigger = triggers_[row];
  GtkWidget* field = cellControl(row, "valueTextField");
  if (!field || trigger->type() != ZRVOptionTriggerTypeUser) return;
  const std::string text = gtk_editable_get_text(GTK_EDITABLE(field));
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  const std::uint64_t maximum = maximumValueForUnit(trigger->unit());
  if (error == std::errc() && end == text.data() + text.size() && value > 0 && value <= maximum) {
    trigger->setValue(value);
    valueMessage_.clear();
  } else {
    valueMessage_ = "Enter a whole number from 1 to " + std::to_string(maximum) + " " +
                    ZRVOptionTrigger::nameForUnit(trigger->unit()).value_or("") + ".";
  }
  gtk_widget_set_tooltip_text(field, valueMessage_.empty() ? nullptr : valueMessage_.c_str());
  gtk_editable_set_text(GTK_EDITABLE(field), std::to_string(trigger->value()).c_str());
}

bool ZRVPreferencesViewController::applyButtonDidPressed() {
  auto remaining = databaseManager_->allTriggers();
  std::vector<std::shared_ptr<ZRVOptionTrigger>> changed;
  std::vector<std::shared_ptr<ZRVOptionTrigger>> added;
  for (const auto& trigger : triggers_) {
    auto found = std::find_if(remaining.begin(), remaining.end(),
                              [&](const auto& stored) { return stored->uuid() == trigger->uuid(); });
    if (found == remaining.end()) {
      added.push_back(copyOf(*trigger));
      continue;
    }
    const auto& stored = *found;
    if (stored->value() != trigger->value() || stored->unit() != trigger->unit() ||
        stored->active() != trigger->active())
      changed.push_back(copyOf(*trigger));
    remaining.erase(found);
  }
  const bool committed =
      databaseManager_->backgroundDatabaseConnection()->readWriteWithBlock([&](DizEvozidizReadWriteTransaction& t) {
        for (const auto* list : {&changed, &added})
          for (const auto& trigger : *list)
            t.setObject(platform::Value(trigger), *trigger->uuid(), ZRVOptionsCollection);
        for (const auto& trigger : remaining) t.removeObjectForKey(*trigger->uuid(), ZRVOptionsCollection);
      });
  if (!committed) return false;
  if (delegate_) delegate_(*this, Outcome::Accepted);
  return true;
}

void ZRVPreferencesViewController::cancelButtonDidPressed() {
  if (delegate_) delegate_(*this, Outcome::Cancelled);
}
