#include "app/ui/ZRVMainEditCollectionViewItem.h"

void ZRVMainEditCollectionViewItem::updateWithEvent(const std::shared_ptr<ZRVEvent>& event,
                                                    const std::shared_ptr<ZRVMainTimer>& timer) {
  ZRVMainCollectionViewItem::updateWithEvent(event, timer);
  setLabelText("nameLabel", event && event->name() ? *event->name() : std::string());
}
