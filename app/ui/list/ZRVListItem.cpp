#include "app/ui/list/ZRVListItem.h"

ZRVListItem::~ZRVListItem() = default;
