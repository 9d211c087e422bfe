#include "app/ui/ZRVMainCompletedCollectionViewItem.h"

#include "app/ui/ZRVParticlesStarsImageView.h"

void ZRVMainCompletedCollectionViewItem::viewDidLoad() {
  ZRVMainCollectionViewItem::viewDidLoad();
  // The particles play each time the item appears.
  g_signal_connect_data(
      view()->widget(), "map", G_CALLBACK(+[](GtkWidget*, gpointer data) {
        auto item = static_cast<std::weak_ptr<ZRVMainCollectionViewItem>*>(data)->lock();
        if (item) std::static_pointer_cast<ZRVMainCompletedCollectionViewItem>(item)->fireEffects();
      }),
      new std::weak_ptr<ZRVMainCollectionViewItem>(weakSelf()),
      [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVMainCollectionViewItem>*>(data); },
      GConnectFlags(0));
  if (GtkWidget* button = outlet("archiveButton")) {
    std::weak_ptr<ZRVMainCollectionViewItem> weak = weakSelf();
    g_signal_connect_data(
        button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
          auto item = static_cast<std::weak_ptr<ZRVMainCollectionViewItem>*>(data)->lock();
          if (item) std::static_pointer_cast<ZRVMainCompletedCollectionViewItem>(item)->archiveButtonDidPressed();
        }),
        new std::weak_ptr<ZRVMainCollectionViewItem>(weak),
        [](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<ZRVMainCollectionViewItem>*>(data); },
        GConnectFlags(0));
  }
}

void ZRVMainCompletedCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                         const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  fillNameDateAndSkin(true, "animatedSkinImageView");
}

void ZRVMainCompletedCollectionViewItem::extraControlsShow(bool show, bool animated) {
  ZRVMainCollectionViewItem::extraControlsShow(show, animated);
  if (archiveAnimation_) archiveAnimation_->cancel();
  if (GtkWidget* button = outlet("archiveButton"))
    archiveAnimation_ = fade({button}, show ? 1 : 0, animated, kExtraControlsDuration);
}

void ZRVMainCompletedCollectionViewItem::actionButtonDidTapped() { sendAction(ZRVMainCollectionViewItemActionDelete); }

void ZRVMainCompletedCollectionViewItem::archiveButtonDidPressed() {
  sendAction(ZRVMainCollectionViewItemActionArchive);
}

void ZRVMainCompletedCollectionViewItem::fireEffects() {
  if (ZRVParticlesStarsImageView* stars = ZRVParticlesStarsImageView::fromWidget(outlet("animatedSkinImageView")))
    stars->fire();
}

void ZRVMainCompletedCollectionViewItem::pauseEffects() {
  if (ZRVParticlesStarsImageView* stars = ZRVParticlesStarsImageView::fromWidget(outlet("animatedSkinImageView")))
    stars->stop();
}
