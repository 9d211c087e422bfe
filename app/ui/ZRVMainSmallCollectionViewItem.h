#pragma once

// ZRVMainSmallCollectionViewItem: the list item of an active event with 31 to 60 days left: days, each as a two-digit
// counter field; with the event's name, its date in the medium style and its skin picture. Row height 64.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainSmallCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainSmallCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 64; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void updateCounterLabels() override;

 private:
  ZRVMainSmallCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainSmallItemIdentifier, true) {}
};
