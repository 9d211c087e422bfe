#pragma once

// ZRVMainTinyCollectionViewItem: the list item of an active event with more than 60 days left:
// its name and skin picture (no date) and one counter: the whole counter years left with the
// caption "YEARS" and a plus sign while at least one year is left, else the days with "DAYS".
// Row height 45.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainTinyCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainTinyCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 45; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void updateCounterLabels() override;
  // Shows the years (with the plus sign) or the days.
  void updateLabelsWithYears(bool years);

 private:
  ZRVMainTinyCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainTinyItemIdentifier, true) {}
};
