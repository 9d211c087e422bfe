#pragma once

// ZRVMainLargeCollectionViewItem: the list item of an active event with less than one whole day left: hours, minutes
// and seconds, each as a two-digit counter field; with the event's name, its date in the medium style and its skin
// picture. Row height 175.
//
// Threads: main thread only.

#include <optional>

#include "app/ui/ZRVMainCollectionViewItem.h"

class ZRVMainLargeCollectionViewItem : public ZRVMainCollectionViewItem {
  ZORVEL_CLASS(ZRVMainLargeCollectionViewItem, ZRVMainCollectionViewItem)

 public:
  static std::optional<double> height() { return 175; }

  void updateWithEvent(const std::shared_ptr<ZRVEvent>& event, const std::shared_ptr<ZRVMainTimer>& timer) override;
  void updateCounterLabels() override;

 private:
  ZRVMainLargeCollectionViewItem() : ZRVMainCollectionViewItem(ZRVMainLargeItemIdentifier, true) {}
};
