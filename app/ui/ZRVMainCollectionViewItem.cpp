#include "app/ui/ZRVMainCollectionViewItem.h"

#include <algorithm>

#include "app/DateUtilities.h"
#include "app/ZRVClock.h"
#include "app/ui/ZRVLayout.h"
#include "app/ui/ZRVMainArchivedCollectionViewItem.h"
#include "app/ui/ZRVMainArchivedSectionHeaderView.h"
#include "app/ui/ZRVMainCompletedCollectionViewItem.h"
#include "app/ui/ZRVMainEditCollectionViewItem.h"
#include "app/ui/ZRVMainLargeCollectionViewItem.h"
#include "app/ui/ZRVMainMediumCollectionViewItem.h"
#include "app/ui/ZRVMainSmallCollectionViewItem.h"
#include "app/ui/ZRVMainTinyCollectionViewItem.h"
#include "app/ui/ZRVMainViewColors.h"
#include "app/ui/ZRVParticlesStarsImageView.h"
#include "app/ui/ZRVStyleKit.h"
#include "platform/runtime/format.h"
#include "platform/system/diagnostics.h"
#include "reactive/RFSignal.h"
#include "reactive/RFSubject.h"

namespace {

using WeakItem = std::weak_ptr<ZRVMainCollectionViewItem>;

WeakItem* newWeak(const WeakItem& item) { return new WeakItem(item); }
void deleteWeak(gpointer data, GClosure*) { delete static_cast<WeakItem*>(data); }
ZRVMainCollectionViewItemPtr lockWeak(gpointer data) { return static_cast<WeakItem*>(data)->lock(); }

}  // namespace

std::string_view ZRVMainCollectionViewItem::identifierForEvent(const ZRVEvent& event, platform::Date now) {
  switch (event.state()) {
    case ZRVEventStateAdding:
    case ZRVEventStateEditing:
      return ZRVMainEditItemIdentifier;
    case ZRVEventStateComplete:
      return ZRVMainCompletedItemIdentifier;
    case ZRVEventStateArchived:
      return ZRVMainArchivedItemIdentifier;
    default:
      break;
  }
  std::int64_t days = 0;
  if (auto date = event.date()) days = DateUtilities::daysBeforeDate(now, *date);
  days = std::max<std::int64_t>(days, 0);
  if (days == 0) return ZRVMainLargeItemIdentifier;
  if (days <= 30) return ZRVMainMediumItemIdentifier;
  if (days <= 60) return ZRVMainSmallItemIdentifier;
  return ZRVMainTinyItemIdentifier;
}

std::optional<double> ZRVMainCollectionViewItem::heightForIdentifier(std::string_view identifier) {
  if (identifier == ZRVMainEditItemIdentifier) return ZRVMainEditCollectionViewItem::height();
  if (identifier == ZRVMainCompletedItemIdentifier) return ZRVMainCompletedCollectionViewItem::height();
  if (identifier == ZRVMainArchivedItemIdentifier) return ZRVMainArchivedCollectionViewItem::height();
  if (identifier == ZRVMainLargeItemIdentifier) return ZRVMainLargeCollectionViewItem::height();
  if (identifier == ZRVMainMediumItemIdentifier) return ZRVMainMediumCollectionViewItem::height();
  if (identifier == ZRVMainSmallItemIdentifier) return ZRVMainSmallCollectionViewItem::height();
  if (identifier == ZRVMainTinyItemIdentifier) return ZRVMainTinyCollectionViewItem::height();
  if (identifier == ZRVMainArchivedSectionHeaderIdentifier) return ZRVMainArchivedSectionHeaderView::height();
  return std::nullopt;
}

ZRVMainCollectionViewItemPtr ZRVMainCollectionViewItem::makeWithIdentifier(std::string_view identifier) {
  if (identifier == ZRVMainEditItemIdentifier) return makeLoaded<ZRVMainEditCollectionViewItem>();
  if (identifier == ZRVMainCompletedItemIdentifier) return makeLoaded<ZRVMainCompletedCollectionViewItem>();
  if (identifier == ZRVMainArchivedItemIdentifier) return makeLoaded<ZRVMainArchivedCollectionViewItem>();
  if (identifier == ZRVMainLargeItemIdentifier) return makeLoaded<ZRVMainLargeCollectionViewItem>();
  if (identifier == ZRVMainMediumItemIdentifier) return makeLoaded<ZRVMainMediumCollectionViewItem>();
  if (identifier == ZRVMainSmallItemIdentifier) return makeLoaded<ZRVMainSmallCollectionViewItem>();
  if (identifier == ZRVMainTinyItemIdentifier) return makeLoaded<ZRVMainTinyCollectionViewItem>();
  return nullptr;
}

ZRVMainCollectionViewItem::ZRVMainCollectionViewItem(std::string_view layoutName, bool couldBeDimmed)
    : layoutName_(layoutName), couldBeDimmed_(couldBeDimmed) {}

ZRVMainCollectionViewItem::~ZRVMainCollectionViewItem() {
  if (tickSubscription_) tickSubscription_->dispose();
  if (controlsAnimation_) controlsAnimation_->cancel();
  if (dimAnimation_) dimAnimation_->cancel();
}

void ZRVMainCollectionViewItem::viewDidLoad() {
  GError* error = nullptr;
  GtkBuilder* builder = ZRVLoadLayout(layoutName_, &error);
  GtkWidget* content = nullptr;
  if (!builder) {
    ZORVEL_DIAGNOSTIC_ERROR(platform::format("The layout file %s cannot be loaded: %s", layoutName_.c_str(),
                                             error ? error->message : "unknown error"));
    g_clear_error(&error);
    builder = gtk_builder_new();
  } else {
    GObject* root = gtk_builder_get_object(builder, "view");
    content = root && GTK_IS_WIDGET(root) ? GTK_WIDGET(root) : nullptr;
  }
  if (!content) content = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  GSList* objects = gtk_builder_get_objects(builder);
  for (GSList* o = objects; o; o = o->next) {
    if (!GTK_IS_WIDGET(o->data)) continue;
    const char* id = gtk_buildable_get_buildable_id(GTK_BUILDABLE(o->data));
    if (id && std::string_view(id) != "view") outlets_[id] = platform::View::forWidget(GTK_WIDGET(o->data));
  }
  g_slist_free(objects);

  // The item's root: its content with the dim view laid over it.
  GtkWidget* root = gtk_overlay_new();
  gtk_overlay_set_child(GTK_OVERLAY(root), content);
  g_object_unref(builder);  // the content is now held by the root
  setView(platform::View::forWidget(root));

  WeakItem weak = weakSelf();
  GtkEventController* motion = gtk_event_controller_motion_new();
  g_signal_connect_data(motion, "enter", G_CALLBACK(+[](GtkEventControllerMotion*, double, double, gpointer data) {
                          if (auto item = lockWeak(data)) item->extraControlsShow(true, true);
                        }),
                        newWeak(weak), deleteWeak, GConnectFlags(0));
  g_signal_connect_data(motion, "leave", G_CALLBACK(+[](GtkEventControllerMotion*, gpointer data) {
                          if (auto item = lockWeak(data)) item->extraControlsShow(false, true);
                        }),
                        newWeak(weak), deleteWeak, GConnectFlags(0));
  gtk_widget_add_controller(root, motion);

  if (GtkWidget* button = outlet("actionButton")) {
    g_signal_connect_data(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                            if (auto item = lockWeak(data)) item->actionButtonDidTapped();
                          }),
                          newWeak(weak), deleteWeak, GConnectFlags(0));
  }
  if (GtkWidget* button = outlet("linkButton")) {
    g_signal_connect_data(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                            if (auto item = lockWeak(data)) item->linkButtonDidTapped();
                          }),
                          newWeak(weak), deleteWeak, GConnectFlags(0));
  }
  if (GtkWidget* button = outlet("shareButton")) {
    // Share acts on the press, not on the release.
    GtkGesture* press = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(press), GDK_BUTTON_PRIMARY);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(press), GTK_PHASE_CAPTURE);
    g_signal_connect_data(press, "pressed",
                          G_CALLBACK(+[](GtkGestureClick* gesture, int, double, double, gpointer data) {
                            gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
                            if (auto item = lockWeak(data)) item->shareButtonDidTapped();
                          }),
                          newWeak(weak), deleteWeak, GConnectFlags(0));
    gtk_widget_add_controller(button, GTK_EVENT_CONTROLLER(press));
  }

  extraControlsShow(false, false);
  if (couldBeDimmed_) {
    dimView_ = ZRVView::make();
    dimView_->setBackgroundColor(ZRVStyleKit::mainDimmedColor());
    gtk_overlay_add_overlay(GTK_OVERLAY(root), dimView_->widget());
  }
  setDimmed(false, false);
}

GtkWidget* ZRVMainCollectionViewItem::outlet(std::string_view id) const {
  auto found = outlets_.find(id);
  return found == outlets_.end() ? nullptr : found->second->widget();
}

std::string ZRVMainCollectionViewItem::labelText(std::string_view id) const {
  GtkWidget* label = outlet(id);
  return label && GTK_IS_LABEL(label) ? gtk_label_get_text(GTK_LABEL(label)) : "";
}

void ZRVMainCollectionViewItem::setLabelText(std::string_view id, const std::string& text) {
  GtkWidget* label = outlet(id);
  if (!label || !GTK_IS_LABEL(label)) return;
  if (text != gtk_label_get_text(GTK_LABEL(label))) gtk_label_set_text(GTK_LABEL(label), text.c_str());
}

void ZRVMainCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                const std::shared_ptr<ZRVMainTimer>& timer) {
  event_ = event;
  if (tickSubscription_) tickSubscription_->dispose();
  tickSubscription_ = nullptr;
  counter_ = event ? platform::make<ZRVMainItemCounter>(*event) : nullptr;
  if (counter_) counter_->updateWithCurrentDate(ZRVClock::now());
  updateCounterLabels();
  if (GtkWidget* link = outlet("linkButton")) gtk_widget_set_visible(link, event && event->link().has_value());
  if (!timer) return;
  WeakItem weak = weakSelf();
  tickSubscription_ = timer->tick()->deliverOnMainThread()->subscribeNext([weak](const platform::Value& value) {
    auto item = weak.lock();
    if (!item || !item->counter_ || !value.isDate()) return;
    // An item resting in its list's reuse pool is bound again before it is shown.
    if (!gtk_widget_get_child_visible(item->view()->widget())) return;
    item->counter_->updateWithCurrentDate(value.asDate());
    item->updateCounterLabels();
  });
}

void ZRVMainCollectionViewItem::fillNameDateAndSkin(bool withDate, std::string_view pictureOutlet) {
  setLabelText("nameLabel", event_ && event_->name() ? *event_->name() : std::string());
  if (withDate) {
    setLabelText("dateLabel",
                 event_ && event_->date() ? DateUtilities::mediumDateString(*event_->date()) : std::string());
  }
  GtkWidget* picture = outlet(pictureOutlet);
  GdkPaintable* paintable = picture && event_ && skinPictureLookup_ ? skinPictureLookup_(*event_) : nullptr;
  if (picture && GTK_IS_PICTURE(picture)) {
    gtk_picture_set_paintable(GTK_PICTURE(picture), paintable);
  } else if (ZRVParticlesStarsImageView* stars = ZRVParticlesStarsImageView::fromWidget(picture)) {
    stars->setImage(paintable);
  }
}

std::vector<GtkWidget*> ZRVMainCollectionViewItem::extraControls() const {
  std::vector<GtkWidget*> widgets;
  for (const char* id : {"actionButton", "linkButton", "shareButton"})
    if (GtkWidget* w = outlet(id)) widgets.push_back(w);
  return widgets;
}

ZRVAnimationPtr ZRVMainCollectionViewItem::fade(const std::vector<GtkWidget*>& widgets, double alpha, bool animated,
                                                double duration, ZRVAnimator::Completion completion) {
  std::vector<std::pair<platform::ViewPtr, double>> from;
  for (GtkWidget* w : widgets) from.emplace_back(platform::View::forWidget(w), gtk_widget_get_opacity(w));
  auto step = [from, alpha](double p) {
    for (const auto& [view, start] : from) gtk_widget_set_opacity(view->widget(), start + (alpha - start) * p);
  };
  if (!animated) {
    step(1);
    if (completion) completion(true);
    return nullptr;
  }
  return ZRVAnimator::animate(view()->widget(), duration, step, std::move(completion));
}

void ZRVMainCollectionViewItem::extraControlsShow(bool show, bool animated) {
  if (controlsAnimation_) controlsAnimation_->cancel();
  controlsAnimation_ = fade(extraControls(), show ? 1 : 0, animated, kExtraControlsDuration);
}

void ZRVMainCollectionViewItem::setDimmed(bool dimmed, bool animated) {
  if (!couldBeDimmed_ || !dimView_) return;
  if (dimAnimation_) dimAnimation_->cancel();
  if (!animated) {
    dimAnimation_ = nullptr;
    gtk_widget_set_opacity(dimView_->widget(), dimmed ? 1 : 0);
    dimView_->setUserInteractionEnabled(!dimmed);
    return;
  }
  ZRVViewPtr dimView = dimView_;
  dimAnimation_ = fade({dimView_->widget()}, dimmed ? 1 : 0, true, kDimDuration,
                       [dimView, dimmed](bool) { dimView->setUserInteractionEnabled(!dimmed); });
}

void ZRVMainCollectionViewItem::sendAction(std::uint64_t action) {
  if (auto delegate = actionDelegate_.lock()) delegate->mainCollectionViewItemDidActionType(*this, action);
}

void ZRVMainCollectionViewItem::actionButtonDidTapped() { sendAction(ZRVMainCollectionViewItemActionEdit); }
void ZRVMainCollectionViewItem::linkButtonDidTapped() { sendAction(ZRVMainCollectionViewItemActionOpenLink); }
void ZRVMainCollectionViewItem::shareButtonDidTapped() { sendAction(ZRVMainCollectionViewItemActionShare); }
