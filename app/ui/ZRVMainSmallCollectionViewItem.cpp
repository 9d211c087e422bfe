#include "app/ui/ZRVMainSmallCollectionViewItem.h"

void ZRVMainSmallCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                     const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  fillNameDateAndSkin(true, "skinImageView");
}

void ZRVMainSmallCollectionViewItem::updateCounterLabels() {
  if (!counter_) return;
  setLabelText("daysCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitDays));
}
