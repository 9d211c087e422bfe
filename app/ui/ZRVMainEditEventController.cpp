#include "app/ui/ZRVMainEditEventController.h"

#include <algorithm>
#include <string>

#include "app/DateUtilities.h"
#include "app/ZRVAnalytics.h"
#include "app/ZRVClock.h"
#include "app/ui/PellDatePicker.h"
#include "app/ui/ZRVImages.h"
#include "app/ui/ZRVLayout.h"

namespace {

// The calendar may always open in the editor.
struct ShowingPopoverDelegate final : PellDatePickerDelegate {
  bool datePickerShouldShowPopover(PellDatePicker&) override { return true; }
};

const std::shared_ptr<PellDatePickerDelegate>& showingPopoverDelegate() {
  static auto* delegate = new std::shared_ptr<PellDatePickerDelegate>(std::make_shared<ShowingPopoverDelegate>());
  return *delegate;
}

// Connects a signal to a member call on a controller held weakly: a signal that outlives the
// controller does nothing.
template <class Handler>
void connectWeak(GtkWidget* widget, const char* signal, std::weak_ptr<ZRVMainEditEventController> weak,
                 Handler handler) {
  struct Closure {
    std::weak_ptr<ZRVMainEditEventController> weak;
    Handler handler;
  };
  auto* closure = new Closure{std::move(weak), std::move(handler)};
  g_signal_connect_data(
      widget, signal, G_CALLBACK(+[](GObject*, gpointer data) {
        auto* c = static_cast<Closure*>(data);
        if (auto self = c->weak.lock()) c->handler(*self);
      }),
      closure, [](gpointer data, GClosure*) { delete static_cast<Closure*>(data); }, GConnectFlags(0));
}

// For signals with a GParamSpec (notify::...) the same, with the extra argument ignored.
template <class Handler>
void connectWeakNotify(GtkWidget* widget, const char* signal, std::weak_ptr<ZRVMainEditEventController> weak,
                       Handler handler) {
  struct Closure {
    std::weak_ptr<ZRVMainEditEventController> weak;
    Handler handler;
  };
  auto* closure = new Closure{std::move(weak), std::move(handler)};
  g_signal_connect_data(
      widget, signal, G_CALLBACK(+[](GObject*, GParamSpec*, gpointer data) {
        auto* c = static_cast<Closure*>(data);
        if (auto self = c->weak.lock()) c->handler(*self);
      }),
      closure, [](gpointer data, GClosure*) { delete static_cast<Closure*>(data); }, GConnectFlags(0));
}

}  // namespace

ZRVMainEditEventController::ZRVMainEditEventController(Key, ZRVDatabaseManager::Ptr databaseManager)
    : databaseManager_(std::move(databaseManager)) {}

ZRVMainEditEventController::~ZRVMainEditEventController() {
  if (monitor_) monitor_->stop();
  if (builder_) g_object_unref(builder_);
  if (view_) g_object_unref(view_);
}

ZRVMainEditEventController::Ptr ZRVMainEditEventController::create(ZRVDatabaseManager::Ptr databaseManager) {
  auto controller = platform::make<ZRVMainEditEventController>(Key{}, std::move(databaseManager));
  if (!controller->load()) return nullptr;
  return controller;
}

bool ZRVMainEditEventController::load() {
  GError* error = nullptr;
  builder_ = ZRVLoadLayout("ZRVMainEditCollectionViewItem", &error);
  if (!builder_) {
    if (error) g_warning("The editor's layout does not build: %s", error->message);
    g_clear_error(&error);
    return false;
  }
  view_ = GTK_WIDGET(g_object_ref(gtk_builder_get_object(builder_, "view")));
  setupSkinCollectionPopUp();
  // The name field on a half-transparent white.
  gtk_widget_add_css_class(outlet("eventNameTextField"), "editNameField");
  auto* picker = PellDatePicker::fromWidget(outlet("eventDatePicker"));
  picker->setPopoverDelegate(showingPopoverDelegate());
  picker->setPreferredPopoverEdge(3);
  connectControls();
  return true;
}

GtkWidget* ZRVMainEditEventController::outlet(const char* name) const {
  return GTK_WIDGET(gtk_builder_get_object(builder_, name));
}

void ZRVMainEditEventController::setupSkinCollectionPopUp() {
  availableCollections_ = databaseManager_->availableCollections();
  GtkStringList* names = gtk_string_list_new(nullptr);
  for (const auto& collection : availableCollections_)
    gtk_string_list_append(names, collection->name().value_or("").c_str());
  gtk_drop_down_set_model(GTK_DROP_DOWN(outlet("skinCollectionPopUp")), G_LIST_MODEL(names));
  g_object_unref(names);
}

void ZRVMainEditEventController::connectControls() {
  std::weak_ptr<ZRVMainEditEventController> weak =
      std::static_pointer_cast<ZRVMainEditEventController>(shared_from_this());
  connectWeak(outlet("acceptButton"), "clicked", weak, [](auto& self) { self.acceptButtonDidPressed(); });
  connectWeak(outlet("cancelButton"), "clicked", weak, [](auto& self) { self.cancelButtonDidPressed(); });
  connectWeak(outlet("deleteButton"), "clicked", weak, [](auto& self) { self.deleteButtonDidPressed(); });
  connectWeak(outlet("nextSkinButton"), "clicked", weak, [](auto& self) { self.nextSkinButtonPressed(); });
  connectWeak(outlet("prevSkinButton"), "clicked", weak, [](auto& self) { self.prevSkinButtonPressed(); });
  connectWeak(outlet("eventNameTextField"), "changed", weak, [](auto& self) { self.nameDidChange(); });
  connectWeak(outlet("linkTextField"), "changed", weak, [](auto& self) { self.linkDidChange(); });
  connectWeak(outlet("eventTimeHourSpinButton"), "value-changed", weak, [](auto& self) { self.timePickerDidChange(); });
  connectWeak(outlet("eventTimeMinuteSpinButton"), "value-changed", weak,
              [](auto& self) { self.timePickerDidChange(); });
  connectWeakNotify(outlet("skinCollectionPopUp"), "notify::selected", weak,
                    [](auto& self) { self.skinCollectionPopUpDidChange(); });
  PellDatePicker::fromWidget(outlet("eventDatePicker"))->setOwnerAction([weak](PellDatePicker&) {
    if (auto self = weak.lock()) self->datePickerDidChange();
  });
}

// ---- Binding ----

void ZRVMainEditEventController::updateWithEvent(const ZRVEvent& event) {
  event_ = std::static_pointer_cast<ZRVEvent>(event.copy());
  validator_ = platform::make<ZRVMainEditEventValidator>(*event_);
  counter_ = platform::make<ZRVMainItemCounter>(*event_);
  counter_->updateWithCurrentDate(ZRVClock::now(), event_->date());
  updating_ = true;
  updateCounterLabels();
  updateDatePicker();
  updateNameTextField();
  updateLinkTextField();
  updateSkinCollectionPopUp();
  updatePageController();
  updateSkinSwitchButtons();
  updateButtons();
  updating_ = false;

  // One key monitor at a time, on the window the editor is in.
  if (monitor_) monitor_->stop();
  monitor_ = nullptr;
  if (GtkRoot* root = gtk_widget_get_root(view_)) {
    std::weak_ptr<ZRVMainEditEventController> weak =
        std::static_pointer_cast<ZRVMainEditEventController>(shared_from_this());
    monitor_ = ZRVEventMonitor::initLocal(ZRVEventMaskKeyDown, GTK_WIDGET(root),
                                          [weak](const ZRVMonitoredEvent& key) -> std::optional<ZRVMonitoredEvent> {
                                            auto self = weak.lock();
                                            if (!self || !self->event_) return key;
                                            if (key.keyCode == ZRVKeyCodeReturn) {
                                              // Like the accept button, which is disabled while the copy cannot be
                                              // saved.
                                              if (self->validator_->isEventCanBeSaved(*self->event_))
                                                self->acceptButtonDidPressed();
                                            } else if (key.keyCode == ZRVKeyCodeEscape) {
                                              self->cancelButtonDidPressed();
                                            }
                                            return key;
                                          });
    monitor_->start();
  }
  gtk_widget_grab_focus(outlet("eventNameTextField"));
}

void ZRVMainEditEventController::prepareForReuse() {
  updating_ = true;
  gtk_editable_set_text(GTK_EDITABLE(outlet("eventNameTextField")), "");
  gtk_editable_set_text(GTK_EDITABLE(outlet("linkTextField")), "");
  updating_ = false;
  validator_ = nullptr;
  if (monitor_) monitor_->stop();
}

// ---- Refreshers ----

void ZRVMainEditEventController::updateCounterLabels() {
  const bool showYears = counter_->years() >= 1;
  gtk_widget_set_visible(outlet("yearsCounterLabel"), showYears);
  gtk_widget_set_visible(outlet("yearsNameLabel"), showYears);
  if (showYears)
    gtk_label_set_text(GTK_LABEL(outlet("yearsCounterLabel")),
                       counter_->stringValueForUnitType(ZRVMainItemCounterUnitYears).c_str());
  const std::pair<const char*, ZRVMainItemCounterUnitType> units[] = {
      {"daysCounterLabel", ZRVMainItemCounterUnitDays},
      {"hoursCounterLabel", ZRVMainItemCounterUnitHours},
      {"minutesCounterLabel", ZRVMainItemCounterUnitMinutes},
      {"secondsCounterLabel", ZRVMainItemCounterUnitSeconds},
  };
  for (const auto& [label, unit] : units)
    gtk_label_set_text(GTK_LABEL(outlet(label)), counter_->stringValueForUnitType(unit).c_str());
}

void ZRVMainEditEventController::updateDatePicker() {
  if (!event_->date()) return;
  const platform::Date date = *event_->date();
  const bool wasUpdating = updating_;
  updating_ = true;
  PellDatePicker::fromWidget(outlet("eventDatePicker"))->setDate(date);
  const platform::DateComponents parts =
      DateUtilities::currentCalendar().components(platform::CalendarUnitHour | platform::CalendarUnitMinute, date);
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(outlet("eventTimeHourSpinButton")), double(parts.hour));
  gtk_spin_button_set_value(GTK_SPIN_BUTTON(outlet("eventTimeMinuteSpinButton")), double(parts.minute));
  updating_ = wasUpdating;
}

void ZRVMainEditEventController::updateNameTextField() {
  if (event_->name()) gtk_editable_set_text(GTK_EDITABLE(outlet("eventNameTextField")), event_->name()->c_str());
}

void ZRVMainEditEventController::updateLinkTextField() {
  if (event_->link()) gtk_editable_set_text(GTK_EDITABLE(outlet("linkTextField")), event_->link()->c_str());
}

std::shared_ptr<ZRVCollection> ZRVMainEditEventController::collectionOfCopy() const {
  auto skin = databaseManager_->skinForEvent(*event_);
  return skin ? databaseManager_->collectionForSkin(*skin) : nullptr;
}

void ZRVMainEditEventController::updateSkinCollectionPopUp() {
  auto collection = event_->skinId() ? collectionOfCopy() : nullptr;
  if (!collection) {
    // No skin, or one the store no longer has: wear the first skin there is, or none.
    event_->setSkinId(std::nullopt);
    for (const auto& candidate : availableCollections_) {
      auto skins = databaseManager_->skinsForCollection(*candidate);
      if (skins.empty()) continue;
      event_->setSkinId(skins.front()->uuid());
      collection = candidate;
      break;
    }
  }
  if (!collection) return;
  auto found = std::find_if(availableCollections_.begin(), availableCollections_.end(),
                            [&](const auto& c) { return c->uuid() == collection->uuid(); });
  if (found != availableCollections_.end())
    gtk_drop_down_set_selected(GTK_DROP_DOWN(outlet("skinCollectionPopUp")),
                               guint(found - availableCollections_.begin()));
}

void ZRVMainEditEventController::updatePageController() {
  GtkStack* stack = GTK_STACK(outlet("pageControllerView"));
  while (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(stack))) gtk_stack_remove(stack, child);
  pagerSkins_.clear();
  selectedIndex_ = 0;
  auto collection = collectionOfCopy();
  if (!collection) return;
  pagerSkins_ = databaseManager_->skinsForCollection(*collection);
  for (std::size_t i = 0; i < pagerSkins_.size(); ++i) {
    GtkBuilder* page = ZRVLoadLayout("ZRVMainEditSkinViewController");
    if (!page) continue;
    GtkWidget* pageView = GTK_WIDGET(gtk_builder_get_object(page, "view"));
    if (GdkTexture* image = ZRVImageNamed(pagerSkins_[i]->name().value_or("")))
      gtk_picture_set_paintable(GTK_PICTURE(gtk_builder_get_object(page, "skinImageView")), GDK_PAINTABLE(image));
    gtk_stack_add_named(stack, pageView, pagerSkins_[i]->uuid().value_or("").c_str());
    g_object_unref(page);
    if (pagerSkins_[i]->uuid() == event_->skinId()) selectedIndex_ = i;
  }
  gtk_stack_set_visible_child_name(stack, pagerSkins_[selectedIndex_]->uuid().value_or("").c_str());
}

void ZRVMainEditEventController::updateSkinSwitchButtons() {
  gtk_widget_set_sensitive(outlet("prevSkinButton"), !pagerSkins_.empty() && selectedIndex_ > 0);
  gtk_widget_set_sensitive(outlet("nextSkinButton"), !pagerSkins_.empty() && selectedIndex_ + 1 < pagerSkins_.size());
}

void ZRVMainEditEventController::updateButtons() {
  if (!validator_ || !event_) return;
  gtk_widget_set_visible(outlet("deleteButton"), validator_->isEventCanBeDeleted(*event_));
  const bool canSave = validator_->isEventCanBeSaved(*event_);
  gtk_widget_set_sensitive(outlet("acceptButton"), canSave);
  gtk_widget_set_opacity(outlet("acceptButton"), canSave ? 1.0 : 0.3);
}

// ---- Control changes ----

void ZRVMainEditEventController::nameDidChange() {
  if (updating_ || !event_) return;
  event_->setName(std::string(gtk_editable_get_text(GTK_EDITABLE(outlet("eventNameTextField")))));
  updateButtons();
}

void ZRVMainEditEventController::linkDidChange() {
  if (updating_ || !event_) return;
  std::string text = gtk_editable_get_text(GTK_EDITABLE(outlet("linkTextField")));
  // Text that is no address leaves no link.
  if (text.empty() || !g_uri_is_valid(text.c_str(), G_URI_FLAGS_NONE, nullptr))
    event_->setLink(std::nullopt);
  else
    event_->setLink(std::move(text));
  updateButtons();
}

void ZRVMainEditEventController::datePickerDidChange() {
  if (updating_ || !event_) return;
  auto* picker = PellDatePicker::fromWidget(outlet("eventDatePicker"));
  const platform::Date current = event_->date().value_or(ZRVClock::now());
  event_->setDate(DateUtilities::replaceDatePart(current, picker->date()));
  counter_->updateWithCurrentDate(ZRVClock::now(), event_->date());
  updateCounterLabels();
  if (picker->isPopoverShown()) picker->closePopover();
  updateButtons();
}

void ZRVMainEditEventController::timePickerDidChange() {
  if (updating_ || !event_) return;
  const platform::Date current = event_->date().value_or(ZRVClock::now());
  const auto hour = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(outlet("eventTimeHourSpinButton")));
  const auto minute = gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(outlet("eventTimeMinuteSpinButton")));
  platform::DateComponents parts = DateUtilities::currentCalendar().components(
      platform::CalendarUnitYear | platform::CalendarUnitMonth | platform::CalendarUnitDay, current);
  parts.hour = hour;
  parts.minute = minute;
  parts.second = 0;
  if (auto time = DateUtilities::currentCalendar().dateFromComponents(parts))
    event_->setDate(DateUtilities::replaceTimePart(current, *time));
  counter_->updateWithCurrentDate(ZRVClock::now(), event_->date());
  updateCounterLabels();
  updateButtons();
}

void ZRVMainEditEventController::skinCollectionPopUpDidChange() {
  if (updating_ || !event_) return;
  const guint index = gtk_drop_down_get_selected(GTK_DROP_DOWN(outlet("skinCollectionPopUp")));
  if (index >= availableCollections_.size()) return;
  const auto& chosen = availableCollections_[index];
  auto current = collectionOfCopy();
  if (!current || current->uuid() != chosen->uuid()) {
    auto skins = databaseManager_->skinsForCollection(*chosen);
    event_->setSkinId(skins.empty() ? std::nullopt : skins.front()->uuid());
    updatePageController();
    updateSkinSwitchButtons();
  }
  updateButtons();
}

void ZRVMainEditEventController::nextSkinButtonPressed() {
  if (!event_ || pagerSkins_.empty()) return;
  selectedIndex_ = std::min(selectedIndex_ + 1, pagerSkins_.size() - 1);
  event_->setSkinId(pagerSkins_[selectedIndex_]->uuid());
  gtk_stack_set_visible_child_name(GTK_STACK(outlet("pageControllerView")),
                                   pagerSkins_[selectedIndex_]->uuid().value_or("").c_str());
  updateSkinSwitchButtons();
  updateButtons();
}

void ZRVMainEditEventController::prevSkinButtonPressed() {
  if (!event_ || pagerSkins_.empty()) return;
  selectedIndex_ = selectedIndex_ > 0 ? selectedIndex_ - 1 : 0;
  event_->setSkinId(pagerSkins_[selectedIndex_]->uuid());
  gtk_stack_set_visible_child_name(GTK_STACK(outlet("pageControllerView")),
                                   pagerSkins_[selectedIndex_]->uuid().value_or("").c_str());
  updateSkinSwitchButtons();
  updateButtons();
}

// ---- Accept, cancel, delete ----

void ZRVMainEditEventController::acceptButtonDidPressed() {
  if (!event_ || !validator_) return;
  send(validator_->isEventHasChanges(*event_) ? ZRVMainEditActionAccept : ZRVMainEditActionCancel);
}

void ZRVMainEditEventController::cancelButtonDidPressed() { send(ZRVMainEditActionCancel); }

void ZRVMainEditEventController::deleteButtonDidPressed() { send(ZRVMainEditActionDelete); }

void ZRVMainEditEventController::send(ZRVMainEditAction action) {
  if (!event_) return;
  if (monitor_) monitor_->stop();
  auto self = std::static_pointer_cast<ZRVMainEditEventController>(shared_from_this());
  auto event = event_;
  if (editingDelegate_) {
    editingDelegate_(*this, action, event);
  } else if (!carryOut(*databaseManager_, action, *event)) {
    g_warning("The editor's action %llu did not reach the store", static_cast<unsigned long long>(action));
  }
}

bool ZRVMainEditEventController::carryOut(ZRVDatabaseManager& manager, ZRVMainEditAction action,
                                          const ZRVEvent& event) {
  switch (action) {
    case ZRVMainEditActionAccept: {
      auto copy = std::static_pointer_cast<ZRVEvent>(event.copy());
      if (copy->state() == ZRVEventStateAdding) copy->setCreatedAt(ZRVClock::now());
      copy->setState(ZRVEventStateActive);
      if (!manager.saveEvent(copy)) return false;
      // Only a skin the store has is reported.
      if (auto skin = manager.skinForEvent(*copy)) {
        if (auto collection = manager.collectionForSkin(*skin))
          ZRVAnalytics::sharedSink().logCustomEvent(
              "Skin selected", {{"skin", skin->name().value_or("")}, {"collection", collection->name().value_or("")}});
      }
      return true;
    }
    case ZRVMainEditActionCancel:
      if (event.state() != ZRVEventStateAdding) return manager.setState(ZRVEventStateActive, event);
      return manager.deleteEvent(event);
    case ZRVMainEditActionDelete:
      return manager.deleteEvent(event);
  }
  return false;
}
