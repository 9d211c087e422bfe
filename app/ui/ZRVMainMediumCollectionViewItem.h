#pragma once

// ZRVMainMediumCollectionViewItem: the list item of an active event with 1 to 30 days left: days, hours, minutes and
// seconds, each as a two-digit counter field; with the event's name, its date in the medium style and its skin picture.
// Row height 95.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainMediumCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainMediumCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 95; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void updateCounterLabels() override;

 private:
  ZRVMainMediumCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainMediumItemIdentifier, true) {}
};
