#pragma once

// Text colours of the panel's labels: the style kit's colours put on a label as its attributes, so
// they hold whatever style sheet is installed.
//
// Threads: main thread only (it touches widgets).

#include <gtk/gtk.h>

namespace ZRVMainViewColors {

// Sets the text colour of a label (as its attributes; other attributes are replaced). Nothing for
// a widget that is not a label.
void setLabelTextColor(GtkWidget* label, const GdkRGBA& color);

}  // namespace ZRVMainViewColors
