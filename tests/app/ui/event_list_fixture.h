#pragma once

// The event list on screen, for the interface tests and the list benchmark: a panel-sized window
// whose scrolled window holds a ZRVListView fed by EventListSource, a data source over sections of
// events held in memory (complete, active, archived, as the application's view groups them). It
// chooses kinds and heights as the application does, binds real items to the events and a main
// timer, and gives the archived section (2) its header.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "app/ZRVClock.h"
#include "app/ZRVMainTimer.h"
#include "app/model/ZRVEvent.h"
#include "app/ui/ZRVMainArchivedSectionHeaderView.h"
#include "app/ui/ZRVMainCollectionViewItem.h"
#include "app/ui/ZRVMainCompletedCollectionViewItem.h"
#include "app/ui/list/ZRVListView.h"
#include "platform/dispatch/run_loop.h"

namespace zorvel::test {

inline std::shared_ptr<ZRVEvent> makeEvent(std::string name, ZRVEventState state, platform::Date date) {
  auto event = platform::make<ZRVEvent>();
  event->setName(std::move(name));
  event->setState(state);
  event->setDate(date);
  return event;
}

class EventListSource : public ZRVListDataSource {
 public:
  using Sections = std::vector<std::vector<std::shared_ptr<ZRVEvent>>>;

  Sections sections;
  std::shared_ptr<ZRVMainTimer> timer;
  // Items whose display ended, in order.
  std::vector<ZRVListItem*> ended;

  std::size_t numberOfSections(ZRVListView&) override { return sections.size(); }
  std::size_t numberOfItemsInSection(ZRVListView&, std::size_t section) override {
    return section < sections.size() ? sections[section].size() : 0;
  }
  std::string itemIdentifier(ZRVListView&, ZRVIndexPath ip) override {
    return std::string(ZRVMainCollectionViewItem::identifierForEvent(*event(ip), ZRVClock::now()));
  }
  double itemHeight(ZRVListView& list, ZRVIndexPath ip) override {
    return ZRVMainCollectionViewItem::heightForIdentifier(itemIdentifier(list, ip)).value_or(0);
  }
  ZRVListItemPtr itemForIndexPath(ZRVListView& list, ZRVIndexPath ip) override {
    auto item = std::dynamic_pointer_cast<ZRVMainCollectionViewItem>(list.makeItem(itemIdentifier(list, ip), ip));
    if (item) item->updateWithEvent(event(ip), timer);
    return item;
  }
  double headerHeight(ZRVListView&, std::size_t section) override {
    return section == 2 ? ZRVMainArchivedSectionHeaderView::height().value_or(0) : 0;
  }
  ZRVListItemPtr headerForSection(ZRVListView& list, std::size_t section) override {
    return list.makeHeader(std::string(ZRVMainArchivedSectionHeaderIdentifier), section);
  }
  // As the main view controller does: a completed item's particles stop when it leaves the screen.
  void didEndDisplayingItem(ZRVListView&, ZRVListItem& item, ZRVIndexPath) override {
    ended.push_back(&item);
    if (auto* completed = dynamic_cast<ZRVMainCompletedCollectionViewItem*>(&item)) completed->pauseEffects();
  }

  const std::shared_ptr<ZRVEvent>& event(ZRVIndexPath ip) const { return sections[ip.section][ip.item]; }
};

// Registers the item kinds and the header with the list.
inline void registerEventItems(ZRVListView& list) {
  for (std::string_view id : {ZRVMainEditItemIdentifier, ZRVMainCompletedItemIdentifier, ZRVMainArchivedItemIdentifier,
                              ZRVMainLargeItemIdentifier, ZRVMainMediumItemIdentifier, ZRVMainSmallItemIdentifier,
                              ZRVMainTinyItemIdentifier}) {
    list.registerItem(std::string(id), [id] { return ZRVMainCollectionViewItem::makeWithIdentifier(id); });
  }
  list.registerItem(std::string(ZRVMainArchivedSectionHeaderIdentifier),
                    [] { return ZRVMainArchivedSectionHeaderView::makeLoaded(); });
}

// A shown window of the panel's size with the list in a scrolled window.
class EventListWindow {
 public:
  explicit EventListWindow(std::shared_ptr<EventListSource> source, int width = 375, int height = 429)
      : source_(std::move(source)), list_(ZRVListView::make()) {
    window_ = gtk_window_new();
    gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
    GtkWidget* scrolled = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_NEVER, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scrolled), list_->view()->widget());
    gtk_window_set_child(GTK_WINDOW(window_), scrolled);
    registerEventItems(*list_);
    list_->setDataSource(source_);
    list_->reloadData();
    gtk_window_present(GTK_WINDOW(window_));
    clock_ = GDK_FRAME_CLOCK(g_object_ref(gtk_widget_get_frame_clock(window_)));
    handler_ = g_signal_connect_swapped(clock_, "after-paint",
                                        G_CALLBACK(+[](EventListWindow* self) { ++self->painted_; }), this);
    ready_ = platform::runMainLoopUntil([this] { return gtk_widget_get_mapped(window_) && painted_ > 0; }, 10);
    ready_ = ready_ && settle();
  }
  ~EventListWindow() {
    g_signal_handler_disconnect(clock_, handler_);
    g_object_unref(clock_);
    list_.reset();
    gtk_window_destroy(GTK_WINDOW(window_));
  }
  EventListWindow(const EventListWindow&) = delete;
  EventListWindow& operator=(const EventListWindow&) = delete;

  bool ready() const { return ready_; }
  GtkWidget* window() const { return window_; }
  const ZRVListViewPtr& list() const { return list_; }
  // Serves the main loop until the changes so far are laid out and painted, and the list's items
  // match its scroll position.
  bool settle() {
    const int before = painted_;
    gtk_widget_queue_resize(list_->view()->widget());
    if (!platform::runMainLoopUntil([&] { return painted_ > before; }, 10)) return false;
    list_->updateVisibleItems();
    const int again = painted_;
    return platform::runMainLoopUntil([&] { return painted_ > again; }, 10);
  }
  int paintedFrames() const { return painted_; }

 private:
  std::shared_ptr<EventListSource> source_;
  ZRVListViewPtr list_;
  GtkWidget* window_ = nullptr;
  GdkFrameClock* clock_ = nullptr;
  gulong handler_ = 0;
  int painted_ = 0;
  bool ready_ = false;
};

}  // namespace zorvel::test
