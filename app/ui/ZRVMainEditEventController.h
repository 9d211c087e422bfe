#pragma once

// ZRVMainEditEventController: the content of the event editor — name, link, date and time, the
// skin collection and the pager through its skins, the countdown, and accept, cancel and delete.
// The list's editor item hosts its view (view()) and binds an event with updateWithEvent(); the
// controller then works on a private copy and never writes to the store itself: accept, cancel and
// delete go to its editing delegate, which by default carries them out on the store through the
// database manager (carryOut()).
//
// While bound, Return and Escape in the editor's window act as accept and cancel (a local key
// monitor on the window the view is in when it is bound). Return accepts only when the copy can be
// saved (a name and a date later than now), as the disabled accept button does.
//
// A skin the store does not know (removed from the catalogue) or no skin at all: the copy wears
// the first skin of the first collection, or no skin when there are none; the editor shows what
// the copy wears and never an entry that does not exist.
//
// Failure: carryOut() reports whether the store committed; a failed write is logged by the
// database manager and the event stays as stored.
// Threads: main thread only: the controls, the key monitor's handler and the delegate run there.

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/ZRVMainEditEventValidator.h"
#include "app/ZRVMainItemCounter.h"
#include "app/database/ZRVDatabaseManager.h"
#include "app/model/ZRVCollection.h"
#include "app/model/ZRVEvent.h"
#include "app/model/ZRVSkin.h"
#include "app/ui/ZRVEventMonitor.h"
#include "platform/runtime/object.h"

enum ZRVMainEditAction : std::uint64_t {
  ZRVMainEditActionAccept = 0,
  ZRVMainEditActionCancel = 1,
  ZRVMainEditActionDelete = 2,
};

class ZRVMainEditEventController : public platform::Object {
  ZORVEL_CLASS(ZRVMainEditEventController, platform::Object)

 public:
  using Ptr = std::shared_ptr<ZRVMainEditEventController>;
  // Told of an accept, cancel or delete with the working copy.
  using EditingDelegate =
      std::function<void(ZRVMainEditEventController&, ZRVMainEditAction, const std::shared_ptr<ZRVEvent>&)>;

  // Loads the editor's layout file; null when it does not build.
  static Ptr create(ZRVDatabaseManager::Ptr databaseManager);
  ~ZRVMainEditEventController() override;

  // The editor's root widget, for the item to host.
  GtkWidget* view() const { return view_; }
  GtkWidget* outlet(const char* name) const;

  // Binds the editor to a copy of `event`; the view should be in its window, whose keys the
  // editor then watches.
  void updateWithEvent(const ZRVEvent& event);
  // Empties the fields, drops the validator and stops the key monitor (the item is reused).
  void prepareForReuse();

  const std::shared_ptr<ZRVEvent>& event() const { return event_; }
  const std::shared_ptr<ZRVMainEditEventValidator>& validator() const { return validator_; }
  bool isKeyMonitorStarted() const { return monitor_ && monitor_->isStarted(); }

  // Replaces the default delegate (carryOut on the controller's database manager).
  void setEditingDelegate(EditingDelegate delegate) { editingDelegate_ = std::move(delegate); }

  // What an editing action does to the store: accept stores the copy as active (a new event gets
  // its creation date now) and reports the skin chosen; cancel returns an edited event to active
  // and removes a new one; delete removes the event. One commit each; false when it failed.
  [[nodiscard]] static bool carryOut(ZRVDatabaseManager& manager, ZRVMainEditAction action, const ZRVEvent& event);

  // The control actions (also what the buttons and keys call).
  void acceptButtonDidPressed();
  void cancelButtonDidPressed();
  void deleteButtonDidPressed();
  void nextSkinButtonPressed();
  void prevSkinButtonPressed();

  // The pager: the skins of the copy's collection and the selected index.
  const std::vector<std::shared_ptr<ZRVSkin>>& pagerSkins() const { return pagerSkins_; }
  std::size_t selectedSkinIndex() const { return selectedIndex_; }

 private:
  struct Key {
    explicit Key() = default;
  };

 public:
  ZRVMainEditEventController(Key, ZRVDatabaseManager::Ptr databaseManager);

 private:
  bool load();
  void setupSkinCollectionPopUp();
  void connectControls();
  void updateCounterLabels();
  void updateDatePicker();
  void updateNameTextField();
  void updateLinkTextField();
  void updateSkinCollectionPopUp();
  void updatePageController();
  void updateSkinSwitchButtons();
  void updateButtons();
  void nameDidChange();
  void linkDidChange();
  void datePickerDidChange();
  void timePickerDidChange();
  void skinCollectionPopUpDidChange();
  void send(ZRVMainEditAction action);
  std::shared_ptr<ZRVCollection> collectionOfCopy() const;

  ZRVDatabaseManager::Ptr databaseManager_;
  GtkWidget* view_ = nullptr;  // held (a reference of ours); the outlets are its descendants
  GtkBuilder* builder_ = nullptr;
  std::vector<std::shared_ptr<ZRVCollection>> availableCollections_;
  std::vector<std::shared_ptr<ZRVSkin>> pagerSkins_;
  std::size_t selectedIndex_ = 0;
  std::shared_ptr<ZRVEvent> event_;
  std::shared_ptr<ZRVMainEditEventValidator> validator_;
  std::shared_ptr<ZRVMainItemCounter> counter_;
  ZRVEventMonitor::Ptr monitor_;
  EditingDelegate editingDelegate_;
  // Set while the controller itself fills the controls, so their change signals are not edits.
  bool updating_ = false;
};
