#include "app/ui/ZRVMainLargeCollectionViewItem.h"

void ZRVMainLargeCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                     const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  fillNameDateAndSkin(true, "skinImageView");
}

void ZRVMainLargeCollectionViewItem::updateCounterLabels() {
  if (!counter_) return;
  setLabelText("hoursCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitHours));
  setLabelText("minutesCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitMinutes));
  setLabelText("secondsCounterLabel", counter_->stringValueForUnitType(ZRVMainItemCounterUnitSeconds));
}
