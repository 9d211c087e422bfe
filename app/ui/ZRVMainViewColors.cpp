#include "app/ui/ZRVMainViewColors.h"

#include <algorithm>
#include <cmath>

namespace ZRVMainViewColors {

void setLabelTextColor(GtkWidget* label, const GdkRGBA& color) {
  if (!GTK_IS_LABEL(label)) return;
  auto channel = [](float v) { return static_cast<guint16>(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535)); };
  PangoAttrList* attributes = pango_attr_list_new();
  pango_attr_list_insert(attributes,
                         pango_attr_foreground_new(channel(color.red), channel(color.green), channel(color.blue)));
  pango_attr_list_insert(attributes, pango_attr_foreground_alpha_new(channel(color.alpha)));
  gtk_label_set_attributes(GTK_LABEL(label), attributes);
  pango_attr_list_unref(attributes);
}

}  // namespace ZRVMainViewColors
