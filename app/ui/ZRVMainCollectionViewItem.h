#pragma once

// ZRVMainCollectionViewItem: the base of the event list's items. An item shows one event: its name,
// its date and skin picture, and, for the countdown kinds, a countdown redrawn on every tick of the
// main timer. When the pointer enters it its extra buttons (edit or delete, open link, share) fade
// in, and out again when it leaves. While an event is being added or edited every item but the
// editor is dimmed: a ZRVView covers it and swallows its clicks. Button presses go to the action
// delegate as numbered actions (ZRVMainCollectionViewItemAction); an item never writes to the store.
//
// Kinds: the subclasses, one per identifier below, each with its fixed row height (height()), its
// layout file "ui/<identifier>.ui" (root widget id "view"; the other ids are the outlet names) and
// the outlets it fills. identifierForEvent() chooses the kind of an event as the list shows it.
//
// Binding (updateWithEvent): a new counter for the event, counted from ZRVClock::now(); the counter
// labels; the link button hidden exactly when the event has no link; and a subscription to the
// timer's ticks, delivered on the main thread, that recounts and redraws the counter labels. The
// subscription holds the item weakly; binding again or the item's end disposes of it. An item in
// its list's reuse pool (hidden there) skips the ticks until it is bound again.
//
// Threads: main thread only.

#include <gtk/gtk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/ZRVMainItemCounter.h"
#include "app/ZRVMainTimer.h"
#include "app/model/ZRVEvent.h"
#include "app/ui/ZRVView.h"
#include "app/ui/list/ZRVAnimator.h"
#include "app/ui/list/ZRVListItem.h"
#include "platform/system/date.h"
#include "reactive/RFDisposable.h"

class ZRVMainCollectionViewItem;
using ZRVMainCollectionViewItemPtr = std::shared_ptr<ZRVMainCollectionViewItem>;

enum ZRVMainCollectionViewItemAction : std::uint64_t {
  ZRVMainCollectionViewItemActionEdit = 0,
  ZRVMainCollectionViewItemActionOpenLink = 1,
  ZRVMainCollectionViewItemActionArchive = 2,
  ZRVMainCollectionViewItemActionDelete = 3,
  ZRVMainCollectionViewItemActionShare = 4,
};

// Receives the items' button presses (the main view controller).
class ZRVMainCollectionViewItemDelegate {
 public:
  virtual ~ZRVMainCollectionViewItemDelegate() = default;
  virtual void mainCollectionViewItemDidActionType(ZRVMainCollectionViewItem& item, std::uint64_t action) = 0;
};

// The identifiers of the kinds (also their layout files' and classes' names).
inline constexpr std::string_view ZRVMainEditItemIdentifier = "ZRVMainEditCollectionViewItem";
inline constexpr std::string_view ZRVMainCompletedItemIdentifier = "ZRVMainCompletedCollectionViewItem";
inline constexpr std::string_view ZRVMainArchivedItemIdentifier = "ZRVMainArchivedCollectionViewItem";
inline constexpr std::string_view ZRVMainLargeItemIdentifier = "ZRVMainLargeCollectionViewItem";
inline constexpr std::string_view ZRVMainMediumItemIdentifier = "ZRVMainMediumCollectionViewItem";
inline constexpr std::string_view ZRVMainSmallItemIdentifier = "ZRVMainSmallCollectionViewItem";
inline constexpr std::string_view ZRVMainTinyItemIdentifier = "ZRVMainTinyCollectionViewItem";
inline constexpr std::string_view ZRVMainArchivedSectionHeaderIdentifier = "ZRVMainArchivedSectionHeaderView";

class ZRVMainCollectionViewItem : public ZRVListItem {
  ZORVEL_CLASS(ZRVMainCollectionViewItem, ZRVListItem)

 public:
  // The picture of an event's skin (borrowed for the call; nullptr for none).
  using SkinPictureLookup = std::function<GdkPaintable*(const ZRVEvent&)>;
  static constexpr double kExtraControlsDuration = 0.5;
  static constexpr double kDimDuration = 0.3;

  // The kind of an event: the editor for states 0 and 1, completed for 3, archived for 4, and for
  // any other state by the whole days left at `now` (seconds to the date / 86,400, truncated, a
  // past date counting 0): 0 Large, 1-30 Medium, 31-60 Small, above 60 Tiny.
  static std::string_view identifierForEvent(const ZRVEvent& event, platform::Date now);
  // The row height of a kind (the header's too); nullopt for an unknown identifier.
  static std::optional<double> heightForIdentifier(std::string_view identifier);
  // A new item of the kind, its view loaded; nullptr for an unknown identifier or header.
  static ZRVMainCollectionViewItemPtr makeWithIdentifier(std::string_view identifier);
  // The base kind has no height.
  static std::optional<double> height() { return std::nullopt; }

  ~ZRVMainCollectionViewItem() override;

  const std::shared_ptr<ZRVMainItemCounter>& counter() const { return counter_; }
  const std::shared_ptr<ZRVEvent>& event() const { return event_; }
  void setActionDelegate(std::weak_ptr<ZRVMainCollectionViewItemDelegate> delegate) {
    actionDelegate_ = std::move(delegate);
  }
  void setSkinPictureLookup(SkinPictureLookup lookup) { skinPictureLookup_ = std::move(lookup); }

  // Binds the item to the event and the timer's ticks (see above); kinds fill their outlets after.
  virtual void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer);
  // Writes the counter's values into the kind's counter labels.
  virtual void updateCounterLabels() {}
  // Fades the extra buttons in or out (0.5 s, ease-out) or sets them at once.
  virtual void extraControlsShow(bool show, bool animated);
  // Shows or hides the dim view (0.3 s, ease-out, or at once); nothing when !couldBeDimmed().
  void setDimmed(bool dimmed, bool animated);
  bool couldBeDimmed() const { return couldBeDimmed_; }
  // The dim view (nullptr for the editor).
  const ZRVViewPtr& dimView() const { return dimView_; }

  // Button actions.
  virtual void actionButtonDidTapped();
  void linkButtonDidTapped();
  void shareButtonDidTapped();

  // The outlet of the layout file with that id, or nullptr.
  GtkWidget* outlet(std::string_view id) const;
  // The texts of a label outlet ("" for none).
  std::string labelText(std::string_view id) const;

  void prepareForReuse() override {}

 protected:
  ZRVMainCollectionViewItem(std::string_view layoutName, bool couldBeDimmed);
  // Called once after construction: loads the layout file, sets up hover tracking, the buttons and
  // the dim view, and hides the extra buttons.
  virtual void viewDidLoad();
  template <class T>
  static std::shared_ptr<T> makeLoaded() {
    auto item = platform::make<T>();
    static_cast<ZRVMainCollectionViewItem&>(*item).viewDidLoad();
    return item;
  }
  void setLabelText(std::string_view id, const std::string& text);
  // The name, date and skin picture, as every kind but the archived one shows them.
  void fillNameDateAndSkin(bool withDate, std::string_view pictureOutlet);
  void sendAction(std::uint64_t action);
  // The widgets whose opacity extraControlsShow sets.
  std::vector<GtkWidget*> extraControls() const;
  // Animates the widgets' opacity to `alpha` over `duration`.
  ZRVAnimationPtr fade(const std::vector<GtkWidget*>& widgets, double alpha, bool animated, double duration,
                       ZRVAnimator::Completion completion = nullptr);
  std::weak_ptr<ZRVMainCollectionViewItem> weakSelf() {
    return std::static_pointer_cast<ZRVMainCollectionViewItem>(shared_from_this());
  }

  std::shared_ptr<ZRVEvent> event_;
  std::shared_ptr<ZRVMainItemCounter> counter_;
  SkinPictureLookup skinPictureLookup_;

 private:
  std::string layoutName_;
  bool couldBeDimmed_;
  std::map<std::string, platform::ViewPtr, std::less<>> outlets_;
  ZRVViewPtr dimView_;
  std::weak_ptr<ZRVMainCollectionViewItemDelegate> actionDelegate_;
  RFDisposablePtr tickSubscription_;
  ZRVAnimationPtr controlsAnimation_;
  ZRVAnimationPtr dimAnimation_;
};
