#pragma once

// ZRVMainCompletedCollectionViewItem: the list item of a completed event: its name, date and skin
// picture (the animated picture outlet), no counter. Its action button deletes the event (action
// 3) and an extra archive button archives it (action 2); the archive button fades with the other
// extra buttons. Row height 175.
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

 protected:
  void viewDidLoad() override;

 private:
  ZRVMainCompletedCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainCompletedItemIdentifier, true) {}
  ZRVAnimationPtr archiveAnimation_;
};
