#pragma once

// ZRVMainCompletedCollectionViewItem: the list item of a completed event: its name, date and skin
// picture (the animated picture outlet), no counter. Its action button deletes the event (action
// 3) and an extra archive button archives it (action 2); the archive button fades with the other
// extra buttons. Its picture plays the star particles each time the item appears; pauseEffects()
// stops them (the list's owner calls it when the item stops being shown). Row height 175.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainCompletedCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainCompletedCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 175; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void extraControlsShow(bool show, bool animated) override;
  void actionButtonDidTapped() override;
  void archiveButtonDidPressed();
  // Starts the star particles over the picture (when the item appears) / stops them.
  void fireEffects();
  void pauseEffects();

 protected:
  void viewDidLoad() override;

 private:
  ZRVMainCompletedCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainCompletedItemIdentifier, true) {}
  ZRVAnimationPtr archiveAnimation_;
};
